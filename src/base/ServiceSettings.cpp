#include "ServiceSettings.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSysInfo>

#include <limits>

namespace Orvane {
namespace Zendral {

namespace {

using Key = ServiceSettings::Key;
using Written = ServiceSettings::Written;
using OutOfRange = ServiceSettings::OutOfRange;
constexpr int Lowest = std::numeric_limits<int>::min();
constexpr int Highest = std::numeric_limits<int>::max();

Key Number(const char *name, int ServiceConfig::*field, int fallback, int minimum, int maximum, Written written,
           OutOfRange outOfRange = OutOfRange::Clamp)
{
    Key key;
    key.name = name;
    key.written = written;
    key.intField = field;
    key.defaultNumber = fallback;
    key.minimum = minimum;
    key.maximum = maximum;
    key.outOfRange = outOfRange;
    return key;
}

Key Text(const char *name, QString ServiceConfig::*field, Written written, QString (*fallback)() = nullptr,
         const char *choices = nullptr, const char *listJoin = ",")
{
    Key key;
    key.name = name;
    key.written = written;
    key.textField = field;
    key.defaultText = fallback;
    key.choices = choices;
    key.listJoin = listJoin;
    return key;
}

QString DefaultEngine()
{
    return QStringLiteral("DizoVezevi");
}

QString DefaultBackend()
{
    return QStringLiteral("files");
}

QString DefaultLogLevel()
{
    return QStringLiteral("info");
}

QString DefaultHttpListen()
{
    return QStringLiteral("127.0.0.1");
}

QString DefaultLogFiles()
{
    return QStringLiteral("true");
}

// This node's name in the shared queue: the host name, else "zendral".
QString HostName()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("zendral") : host;
}

// The table: names, defaults and ranges as the service has always used them.
std::vector<Key> MakeKeys()
{
    using C = ServiceConfig;
    return {
        Number("worker/port", &C::port, 10088, 1, 65535, Written::ByOperator, OutOfRange::UseDefault),
        Number("worker/max_connect", &C::maxConnect, 10, 1, 100, Written::ByOperator),
        Text("worker/engine", &C::engine, Written::ByOperator, DefaultEngine),
        Number("worker/next_update_seconds", &C::nextUpdateSeconds, 3, Lowest, Highest, Written::AtExit),
        Number("worker/engine_grace_seconds", &C::engineGraceSeconds, 60, 0, Highest, Written::WhenMissing),
        Number("worker/retry_delay_seconds", &C::retryDelaySeconds, 30, 0, Highest, Written::WhenMissing),
        Number("worker/max_jobs_per_client", &C::maxJobsPerClient, 10000, 0, Highest, Written::WhenMissing),
        Number("worker/min_free_disk_mb", &C::minFreeDiskMb, 1024, 0, Highest, Written::WhenMissing),
        Number("worker/max_failed_runs", &C::maxFailedRuns, 3, 1, Highest, Written::WhenMissing),
        Number("worker/max_connect_per_address", &C::maxConnectPerAddress, 32, 1, Highest, Written::WhenMissing),
        Number("worker/frame_timeout_seconds", &C::frameTimeoutSeconds, 60, 1, Highest, Written::WhenMissing),
        Number("worker/idle_timeout_seconds", &C::idleTimeoutSeconds, 600, 1, Highest, Written::WhenMissing),
        Number("worker/max_inflight_mb", &C::maxInflightMb, 1024, 1, Highest, Written::WhenMissing),
        Text("worker/allowed_clients", &C::allowedClients, Written::WhenMissing),
        Number("worker/min_upload_kbps", &C::minUploadKbps, 1, 1, Highest, Written::WhenMissing),
        Number("worker/max_sessions", &C::maxSessions, 200, 2, 1000, Written::WhenMissing),
        Number("worker/max_unsent_mb", &C::maxUnsentMb, 256, 1, Highest, Written::WhenMissing),
        Number("maxWorkerCount", &C::maxWorkerCount, 1, 0, Highest, Written::ByOperator),
        // A timer of 0 s would fire on every pass of the event loop.
        Number("config/pick_job_interval", &C::pickJobInterval, 5, 1, Highest, Written::AtExit),
        Number("config/auto_update_interval", &C::autoUpdateInterval, 86400, 1, Highest, Written::AtExit),
        Text("language", &C::language, Written::ByOperator),
        Text("store/backend", &C::storeBackend, Written::ByOperator, DefaultBackend, "files|postgresql"),
        // libpq's pairs are separated by blanks, so a list is joined with one.
        Text("store/connection", &C::storeConnection, Written::ByOperator, nullptr, nullptr, " "),
        Text("store/password_file", &C::storePasswordFile, Written::ByOperator),
        Number("store/lease_seconds", &C::storeLeaseSeconds, 30, 2, 3600, Written::WhenMissing),
        Text("store/node", &C::storeNode, Written::ByOperator, HostName),
        // Half the journal's largest record: the Base64 text is 4/3 of it.
        Number("store/inline_max_kb", &C::storeInlineMaxKb, 256, 0, 8192, Written::ByOperator),
        Text("log/level", &C::logLevel, Written::ByOperator, DefaultLogLevel, "info|debug"),
        Text("log/files", &C::logFiles, Written::ByOperator, DefaultLogFiles, "true|false"),
        // Empty: the default that AdminSocketPath gives, found when used.
        Text("admin/socket", &C::adminSocket, Written::ByOperator),
        // The status page and metrics (read-only HTTP); port 0 turns them off.
        Number("http/port", &C::httpPort, 10089, 0, 65535, Written::ByOperator, OutOfRange::UseDefault),
        Text("http/listen", &C::httpListen, Written::ByOperator, DefaultHttpListen),
        Text("http/allowed_clients", &C::httpAllowedClients, Written::ByOperator),
    };
}

// "from 1 to 100", "of at least 1", or nothing for an unbounded key.
QString RangeText(const Key &key)
{
    if (key.minimum == Lowest && key.maximum == Highest)
        return QString();
    if (key.maximum == Highest)
        return ServiceSettings::tr("of at least %1").arg(key.minimum);
    return ServiceSettings::tr("from %1 to %2").arg(key.minimum).arg(key.maximum);
}

enum class NumberState { Fine, NotANumber, OutOfRange };

// Parses `text` as a whole number of the key's range into *number.
NumberState ParseNumber(const Key &key, const QString &text, int *number)
{
    bool ok = false;
    *number = text.trimmed().toInt(&ok, 10);
    if (!ok)
        return NumberState::NotANumber;
    return *number < key.minimum || *number > key.maximum ? NumberState::OutOfRange : NumberState::Fine;
}

// Why `text` is refused, e.g. 'worker/port: "ab1" is not a whole number from
// 1 to 65535'.
QString NumberProblem(const Key &key, const QString &text, NumberState state, int number)
{
    const QString range = RangeText(key);
    if (state == NumberState::NotANumber)
        return ServiceSettings::tr("%1: \"%2\" is not a whole number %3")
            .arg(QLatin1String(key.name), text, range)
            .trimmed();
    return ServiceSettings::tr("%1: %2 is not a number %3").arg(QLatin1String(key.name)).arg(number).arg(range);
}

QStringList Choices(const Key &key)
{
    return QString::fromLatin1(key.choices).split(QLatin1Char('|'));
}

// The stored text: a list the INI format split at commas is joined again.
QString StoredText(const QVariant &value, const Key &key)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1String(key.listJoin)).trimmed();
    return value.toString().trimmed();
}

// Why `value` may not be stored under the key, or an empty text with
// *stored set to the value to store. An empty text key stands for its
// default.
QString Checked(const Key &key, const QVariant &value, QVariant *stored)
{
    const QString text = StoredText(value, key);
    if (key.intField) {
        int number = 0;
        const NumberState state = ParseNumber(key, text, &number);
        *stored = number;
        return state == NumberState::Fine ? QString() : NumberProblem(key, text, state, number);
    }
    *stored = key.choices ? text.toLower() : text;
    if (key.choices && !text.isEmpty() && !Choices(key).contains(stored->toString()))
        return ServiceSettings::tr("%1: \"%2\" is not one of %3")
            .arg(QLatin1String(key.name), text, Choices(key).join(QStringLiteral(", ")));
    return QString();
}

} // namespace

ServiceSettings::ServiceSettings(std::unique_ptr<QSettings> settings, std::unique_ptr<QSettings> readOnly)
    : settings(std::move(settings))
    , readOnly(std::move(readOnly))
{
}

ServiceSettings::ServiceSettings(ServiceSettings &&) noexcept = default;
ServiceSettings &ServiceSettings::operator=(ServiceSettings &&) noexcept = default;
ServiceSettings::~ServiceSettings() = default;

ServiceSettings ServiceSettings::UserSettings()
{
    return ServiceSettings(std::make_unique<QSettings>());
}

ServiceSettings ServiceSettings::FromFile(const QString &path)
{
    return ServiceSettings(std::make_unique<QSettings>(path, QSettings::IniFormat));
}

ServiceSettings ServiceSettings::FromFiles(const QString &configPath, const QString &statePath)
{
    return ServiceSettings(std::make_unique<QSettings>(statePath, QSettings::IniFormat),
                           std::make_unique<QSettings>(configPath, QSettings::IniFormat));
}

QVariant ServiceSettings::Value(const QString &name) const
{
    if (readOnly && readOnly->contains(name))
        return readOnly->value(name);
    return settings->value(name);
}

bool ServiceSettings::Contains(const QString &name) const
{
    return (readOnly && readOnly->contains(name)) || settings->contains(name);
}

const std::vector<Key> &ServiceSettings::Keys()
{
    static const std::vector<Key> keys = MakeKeys(); // constant after its first use
    return keys;
}

const Key *ServiceSettings::Find(const QString &name)
{
    for (const Key &key : Keys()) {
        if (name == QLatin1String(key.name))
            return &key;
    }
    return nullptr;
}

ServiceConfig ServiceSettings::Defaults()
{
    ServiceConfig config;
    for (const Key &key : Keys()) {
        if (key.intField)
            config.*key.intField = key.defaultNumber;
        else
            config.*key.textField = key.defaultText ? key.defaultText() : QString();
    }
    return config;
}

QString ServiceSettings::FileName() const
{
    return readOnly ? readOnly->fileName() : settings->fileName();
}

QString ServiceSettings::WrittenFileName() const
{
    return settings->fileName();
}

int ServiceSettings::ReadNumber(const Key &key, QString *problem) const
{
    const QVariant value = Value(QLatin1String(key.name));
    if (!value.isValid())
        return key.defaultNumber;
    const QString text = StoredText(value, key);
    int number = 0;
    const NumberState state = ParseNumber(key, text, &number);
    if (state == NumberState::Fine)
        return number;
    const bool clamp = state == NumberState::OutOfRange && key.outOfRange == OutOfRange::Clamp;
    const int used = clamp ? qBound(key.minimum, number, key.maximum) : key.defaultNumber;
    if (problem)
        *problem = tr("%1; %2 is used").arg(NumberProblem(key, text, state, number)).arg(used);
    return used;
}

QString ServiceSettings::ReadText(const Key &key, QString *problem) const
{
    QVariant text;
    const QString why = Checked(key, Value(QLatin1String(key.name)), &text);
    if (!why.isEmpty()) {
        if (problem)
            *problem = tr("%1; %2 is used").arg(why, key.defaultText());
        text.clear();
    }
    return text.toString().isEmpty() && key.defaultText ? key.defaultText() : text.toString();
}

ServiceConfig ServiceSettings::Read() const
{
    ServiceConfig config;
    for (const Key &key : Keys()) {
        if (key.intField)
            config.*key.intField = ReadNumber(key, nullptr);
        else
            config.*key.textField = ReadText(key, nullptr);
    }
    return config;
}

QStringList ServiceSettings::Validate() const
{
    QStringList problems;
    for (const QSettings *store : {readOnly.get(), settings.get()}) {
        if (store && store->status() == QSettings::AccessError)
            problems << tr("%1: the settings cannot be read").arg(store->fileName());
        else if (store && store->status() == QSettings::FormatError)
            problems << tr("%1: not a settings file; the defaults are used").arg(store->fileName());
    }
    for (const Key &key : Keys()) {
        QString problem;
        if (key.intField)
            ReadNumber(key, &problem);
        else
            ReadText(key, &problem);
        if (!problem.isEmpty())
            problems << problem;
    }
    return problems;
}

QVariant ServiceSettings::Stored(const QString &key) const
{
    return Value(key);
}

bool ServiceSettings::Write(const QString &name, const QVariant &value, QString *problem)
{
    const Key *key = Find(name);
    QVariant stored;
    const QString why = key ? Checked(*key, value, &stored) : tr("%1: no such setting").arg(name);
    if (problem)
        *problem = why;
    if (!why.isEmpty())
        return false;
    settings->setValue(name, stored);
    return true;
}

void ServiceSettings::WriteMissingDefaults()
{
    // The lease matters only to the shared queue; other services' files do
    // not get a [store] group.
    const bool shared = ReadText(*Find(QStringLiteral("store/backend")), nullptr) == QLatin1String("postgresql");
    const ServiceConfig defaults = Defaults();
    for (const Key &key : Keys()) {
        const QString name = QLatin1String(key.name);
        if (key.written != Written::WhenMissing || Contains(name))
            continue;
        if (name.startsWith(QLatin1String("store/")) && !shared)
            continue;
        if (key.intField)
            settings->setValue(name, defaults.*key.intField);
        else
            settings->setValue(name, defaults.*key.textField);
    }
}

void ServiceSettings::WriteBack(const ServiceConfig &running)
{
    for (const Key &key : Keys()) {
        if (key.written != Written::AtExit)
            continue;
        if (key.intField)
            settings->setValue(QLatin1String(key.name), running.*key.intField);
        else
            settings->setValue(QLatin1String(key.name), running.*key.textField);
    }
}

const char *const ServiceSettings::WindowGeometryKey = "window/geometry";
const char *const ServiceSettings::JobTableStateKey = "window/job_table";

QStringList ServiceSettings::WindowKeys()
{
    return {QLatin1String(WindowGeometryKey), QLatin1String(JobTableStateKey)};
}

QByteArray ServiceSettings::WindowState(const char *key) const
{
    const QVariant value = settings->value(QLatin1String(key));
    return value.type() == QVariant::ByteArray ? value.toByteArray() : QByteArray();
}

void ServiceSettings::SetWindowState(const char *key, const QByteArray &state)
{
    settings->setValue(QLatin1String(key), state);
}

bool ServiceSettings::Sync()
{
    settings->sync();
    return settings->status() == QSettings::NoError;
}

} // namespace Zendral
} // namespace Orvane
