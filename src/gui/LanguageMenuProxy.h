#pragma once

#include <QMap>
#include <QObject>
#include <QString>

class QAction;
class QEvent;
class QMenu;

namespace Orvane {
namespace Zendral {

// Fills a language menu with one checkable entry per language that the
// application offers, marks the language in use and switches the interface
// language when the operator picks an entry. A child of the menu.
//
// Thread: GUI thread only.
class LanguageMenuProxy : public QObject
{
    Q_OBJECT
public:
    explicit LanguageMenuProxy(QObject *parent = nullptr);
    ~LanguageMenuProxy() override;

    // Builds the entries in the menu; the proxy belongs to the menu.
    static LanguageMenuProxy *create(QMenu *menu);

    // The entry made for a language code (the last one for a shared code).
    QAction *action(const QString &code) const { return actions.value(code); }

public slots:
    void itemSelected(const QString code);

protected:
    // The automatic entry's text follows the interface language (the menu
    // passes LanguageChange on to its children).
    bool event(QEvent *event) override;

private:
    static QString storedCode();

    QMap<QString, QAction *> actions;
};

} // namespace Zendral
} // namespace Orvane
