#pragma once

#include <QByteArray>

namespace Orvane {

// Carries where an exception was thrown: the throwing function's signature,
// the source file and the line. Set by ORVANE_THROW at the throw site.
// The texts are kept as shared byte arrays, so copying never throws.
class ThrowSite
{
public:
    virtual ~ThrowSite() = default;

    void setThrowSite(const char *function, const char *file, int line)
    {
        siteFunction = QByteArray(function);
        siteFile = QByteArray(file);
        siteLine = line;
    }

    // Empty texts and line 0 when no site was set.
    const QByteArray &function() const { return siteFunction; }
    const QByteArray &file() const { return siteFile; }
    int line() const { return siteLine; }

private:
    QByteArray siteFunction;
    QByteArray siteFile;
    int siteLine = 0;
};

// Returns the exception with its throw site filled in; used by ORVANE_THROW.
template <typename E>
E withThrowSite(E error, const char *function, const char *file, int line)
{
    error.setThrowSite(function, file, line);
    return error;
}

} // namespace Orvane

// Throws an exception of the given type (built from a QString message) that
// records the current function, file and line.
#define ORVANE_THROW(Type, text) \
    throw ::Orvane::withThrowSite(Type(text), Q_FUNC_INFO, __FILE__, __LINE__)
