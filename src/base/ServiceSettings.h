#pragma once

#include "ServiceConfig.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <vector>

class QSettings;

namespace Orvane {
namespace Zendral {

// The service's settings store and the one table of its keys: each key's
// default, its range and how a value outside it is treated. Made once at
// start-up, either on the per-user store (UserSettings: QSettings with the
// application's organisation and name, the registry on Windows) or on an
// INI file given by path (FromFile, for "--config FILE"), and passed to
// whoever reads or writes settings.
//
// Reading: Read() turns every key into a plain ServiceConfig and writes
// nothing. A value that is not a whole number takes the key's default; a
// number outside its range is clamped to it, except the port, which then
// takes its default. Text is trimmed, a list the INI format split at commas
// is joined again, an empty text takes the key's default text (if it has
// one), and a store/backend other than its choices takes its default.
// Validate() names every value not taken as written, so that start-up can
// log them.
//
// Thread: an instance, and the QSettings it owns, is used only on the thread
// that made it (the start-up/GUI thread): QSettings objects must not be used
// from two threads at once. Hand other threads a ServiceConfig copy.
class ServiceSettings
{
    Q_DECLARE_TR_FUNCTIONS(ServiceSettings) // texts for the operator

public:
    // How a number outside the key's range is treated.
    enum class OutOfRange { Clamp, UseDefault };
    // When the service writes the key itself.
    enum class Written {
        ByOperator,    // only by the operator (dialog, menu or the file itself)
        WhenMissing,   // its default, so that the operator finds it in the file
        AtExit,        // the running value, when the window closes
    };

    // One key of the table. Whole-number keys have `intField` and a range,
    // text keys `textField`.
    struct Key
    {
        const char *name = nullptr;
        Written written = Written::ByOperator;
        int ServiceConfig::*intField = nullptr;
        int defaultNumber = 0;
        int minimum = 0;
        int maximum = 0;
        OutOfRange outOfRange = OutOfRange::Clamp;
        QString ServiceConfig::*textField = nullptr;
        QString (*defaultText)() = nullptr; // for an empty value; null: empty
        const char *listJoin = nullptr;      // joins a value the INI format split at commas
        const char *choices = nullptr;       // allowed values, '|'-separated, lower case
    };

    static ServiceSettings UserSettings();
    // The INI file at `path`; it is made when the first value is written.
    static ServiceSettings FromFile(const QString &path);
    // Two INI files in layers: `configPath` is read only and wins (the
    // operator's file, e.g. in /etc); a key it does not set is read from
    // `statePath`, which takes every value the service writes.
    static ServiceSettings FromFiles(const QString &configPath, const QString &statePath);

    ServiceSettings(ServiceSettings &&) noexcept;
    ServiceSettings &operator=(ServiceSettings &&) noexcept;
    ~ServiceSettings();

    // The table, in README's order; constant once built on first use.
    static const std::vector<Key> &Keys();
    static const Key *Find(const QString &name);
    // Every key with its default; the host name for store/node.
    static ServiceConfig Defaults();

    // The file (or registry path) read and written; with layers, the file
    // read first.
    QString FileName() const;
    // The file written to (FileName() without layers).
    QString WrittenFileName() const;
    ServiceConfig Read() const;
    // One line per value that Read() does not take as written, and for a
    // settings file that cannot be read; empty when all is well.
    QStringList Validate() const;

    // The value stored under the key as it stands (null when none), for an
    // editor that shows what the operator wrote.
    QVariant Stored(const QString &key) const;
    // Checks `value` against the key's rules and stores it; a value outside
    // the range is refused here, not clamped. False, with *problem, when
    // refused. For the Connection Settings dialog and the Language menu.
    bool Write(const QString &key, const QVariant &value, QString *problem = nullptr);
    // Writes the default of each "WhenMissing" key that is not in the store
    // (store/lease_seconds only with the shared queue).
    void WriteMissingDefaults();
    // Writes the keys kept at exit from `running`: config/pick_job_interval,
    // config/auto_update_interval and worker/next_update_seconds.
    void WriteBack(const ServiceConfig &running);
    // Writes pending changes to the store; false when that failed.
    bool Sync();

    // The window's own state, kept between its starts: the main window's
    // geometry (QWidget::saveGeometry) and the job table's column widths and
    // order (QHeaderView::saveState). Opaque bytes, not service settings, so
    // they are not in Keys() or ServiceConfig; README's table lists them too.
    static const char *const WindowGeometryKey; // "window/geometry"
    static const char *const JobTableStateKey;  // "window/job_table"
    static QStringList WindowKeys();
    // The stored bytes, empty when none (or not bytes).
    QByteArray WindowState(const char *key) const;
    void SetWindowState(const char *key, const QByteArray &state);

private:
    explicit ServiceSettings(std::unique_ptr<QSettings> settings, std::unique_ptr<QSettings> readOnly = {});

    // The stored value: the read-only layer's, else the written store's.
    QVariant Value(const QString &name) const;
    bool Contains(const QString &name) const;

    // The key's value as Read() takes it; *problem (when given) says why it
    // differs from the stored value.
    int ReadNumber(const Key &key, QString *problem) const;
    QString ReadText(const Key &key, QString *problem) const;

    std::unique_ptr<QSettings> settings;  // written, and read where readOnly has no value
    std::unique_ptr<QSettings> readOnly;  // null without layers
};

} // namespace Zendral
} // namespace Orvane
