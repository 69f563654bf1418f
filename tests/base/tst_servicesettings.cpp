#include "ServiceSettings.h"

#include <QtTest>

#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>

using namespace Orvane::Zendral;

namespace {

// Writes `text` as the whole settings file at `path`.
void WriteFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), qint64(text.size()));
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The keys of README's settings table, in the order they are listed.
QStringList ReadmeKeys()
{
    QFile file(QStringLiteral(ZENDRAL_SOURCE_DIR "/README.md"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    const int start = text.indexOf(QStringLiteral("\n## Settings\n"));
    const int end = text.indexOf(QStringLiteral("\n## "), start + 1);
    QStringList keys;
    const QRegularExpression row(QStringLiteral("^\\| `([^`]+)` \\|"), QRegularExpression::MultilineOption);
    auto match = row.globalMatch(text.mid(start, end - start));
    while (match.hasNext())
        keys << match.next().captured(1);
    return keys;
}

} // namespace

// Every test works on INI files in its own temporary folder; the per-user
// store (in the test's own configuration folder) is only looked at to show
// that it stays untouched.
class TestServiceSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir folder;
    QString FilePath(const char *name) const { return folder.filePath(QLatin1String(name)); }

private slots:
    void initTestCase() { QVERIFY(folder.isValid()); }

    void defaultsOfAnEmptyFile()
    {
        const ServiceSettings settings = ServiceSettings::FromFile(FilePath("empty.conf"));
        const ServiceConfig c = settings.Read();
        const QMap<QString, int> numbers{
            {"worker/port", 10088}, {"worker/max_connect", 10}, {"worker/next_update_seconds", 3},
            {"worker/engine_grace_seconds", 60}, {"worker/retry_delay_seconds", 30},
            {"worker/max_jobs_per_client", 10000}, {"worker/min_free_disk_mb", 1024}, {"worker/max_failed_runs", 3},
            {"worker/max_connect_per_address", 32}, {"worker/frame_timeout_seconds", 60},
            {"worker/idle_timeout_seconds", 600}, {"worker/max_inflight_mb", 1024}, {"maxWorkerCount", 1},
            {"worker/min_upload_kbps", 1}, {"worker/max_sessions", 200}, {"worker/max_unsent_mb", 256},
            {"config/pick_job_interval", 5}, {"config/auto_update_interval", 86400}, {"store/lease_seconds", 30},
            {"store/inline_max_kb", 256}, {"http/port", 10089}};
        const QString host = QSysInfo::machineHostName();
        const QMap<QString, QString> texts{
            {"worker/engine", "DizoVezevi"}, {"worker/allowed_clients", ""}, {"language", ""},
            {"store/backend", "files"}, {"store/connection", ""}, {"store/password_file", ""},
            {"store/node", host.isEmpty() ? QStringLiteral("zendral") : host}, {"log/level", "info"},
            {"log/files", "true"}, {"admin/socket", ""}, {"http/listen", "127.0.0.1"},
            {"http/allowed_clients", ""}};
        QCOMPARE(int(ServiceSettings::Keys().size()), numbers.size() + texts.size());
        for (const ServiceSettings::Key &key : ServiceSettings::Keys()) {
            const QString name = QLatin1String(key.name);
            if (key.intField)
                QVERIFY2(numbers.contains(name) && c.*key.intField == numbers[name], key.name);
            else
                QVERIFY2(texts.contains(name) && c.*key.textField == texts[name], key.name);
        }
        QVERIFY(!c.SharedStore());
        QCOMPARE(settings.Validate(), QStringList());
        QVERIFY(!QFile::exists(FilePath("empty.conf"))); // reading writes nothing
    }

    // A number outside its range is clamped, except the port; something
    // that is no number takes the default. Validate names each with the
    // value used.
    void numbersOutsideTheirRange_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("used");
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *key, const char *stored, int used, const char *problem) {
            QTest::addRow("%s=%s", key, stored) << key << stored << used << problem;
        };
        row("worker/port", "65535", 65535, "");
        row("worker/port", "0", 10088, "worker/port: 0 is not a number from 1 to 65535; 10088 is used");
        row("worker/port", "65536", 10088, "worker/port: 65536 is not a number from 1 to 65535; 10088 is used");
        row("worker/port", "ab1", 10088, "worker/port: \"ab1\" is not a whole number from 1 to 65535; 10088 is used");
        row("worker/max_connect", "100", 100, "");
        row("worker/max_connect", "0", 1, "worker/max_connect: 0 is not a number from 1 to 100; 1 is used");
        row("worker/max_connect", "101", 100, "worker/max_connect: 101 is not a number from 1 to 100; 100 is used");
        row("config/pick_job_interval", "0", 1, "config/pick_job_interval: 0 is not a number of at least 1; 1 is used");
        row("worker/next_update_seconds", "-3", -3, "");
        row("store/lease_seconds", "1", 2, "store/lease_seconds: 1 is not a number from 2 to 3600; 2 is used");
        row("store/lease_seconds", "99999999999", 30,
            "store/lease_seconds: \"99999999999\" is not a whole number from 2 to 3600; 30 is used");
    }

    void numbersOutsideTheirRange()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(int, used);
        QFETCH(QString, problem);
        const QString path = FilePath("range.conf");
        QFile::remove(path);
        {
            QSettings raw(path, QSettings::IniFormat);
            raw.setValue(key, stored);
        }
        const ServiceSettings settings = ServiceSettings::FromFile(path);
        const ServiceSettings::Key *entry = ServiceSettings::Find(key);
        QVERIFY(entry && entry->intField);
        QCOMPARE(settings.Read().*entry->intField, used);
        QCOMPARE(settings.Validate(), problem.isEmpty() ? QStringList() : QStringList{problem});
    }

    // Text as an operator writes it by hand: lists the INI format splits at
    // commas are joined again, blanks trimmed, the backend's case ignored.
    void textWrittenByHand()
    {
        const QString path = FilePath("text.conf");
        WriteFile(path, "[worker]\n"
                        "allowed_clients=192.168.1.0/24, 10.0.0.5\n"
                        "engine=\"  /opt/nest/engine  \"\n"
                        "[store]\n"
                        "backend=\" PostgreSQL \"\n"
                        "connection=host=db port=5432, user=zendral\n");
        const ServiceSettings settings = ServiceSettings::FromFile(path);
        const ServiceConfig c = settings.Read();
        QCOMPARE(c.allowedClients, QStringLiteral("192.168.1.0/24,10.0.0.5"));
        QCOMPARE(c.engine, QStringLiteral("/opt/nest/engine"));
        QCOMPARE(c.storeBackend, QStringLiteral("postgresql"));
        QCOMPARE(c.storeConnection, QStringLiteral("host=db port=5432 user=zendral"));
        QCOMPARE(settings.Validate(), QStringList());

        WriteFile(path, "[store]\nbackend=postgres\n");
        QCOMPARE(ServiceSettings::FromFile(path).Read().storeBackend, QStringLiteral("files"));
        QCOMPARE(ServiceSettings::FromFile(path).Validate(),
                 QStringList{"store/backend: \"postgres\" is not one of files, postgresql; files is used"});
    }

    // The dialog's writes: a bad value is refused with a readable reason and
    // nothing is stored; a good one is stored in the instance's own file
    // (its folder made when missing), never in the per-user store.
    void writeChecksTheValue()
    {
        const QString path = FilePath("sub/dialog.conf");
        ServiceSettings settings = ServiceSettings::FromFile(path);
        QString problem;
        QVERIFY(!settings.Write(QStringLiteral("worker/port"), QStringLiteral("ab1"), &problem));
        QCOMPARE(problem, QStringLiteral("worker/port: \"ab1\" is not a whole number from 1 to 65535"));
        QVERIFY(!settings.Write(QStringLiteral("worker/max_connect"), 101, &problem)); // refused, not clamped
        QCOMPARE(problem, QStringLiteral("worker/max_connect: 101 is not a number from 1 to 100"));
        QVERIFY(!settings.Write(QStringLiteral("store/backend"), QStringLiteral("mysql"), &problem));
        QCOMPARE(problem, QStringLiteral("store/backend: \"mysql\" is not one of files, postgresql"));
        QVERIFY(!settings.Write(QStringLiteral("worker/prot"), 1, &problem));
        QCOMPARE(problem, QStringLiteral("worker/prot: no such setting"));

        QVERIFY(settings.Write(QStringLiteral("worker/port"), QStringLiteral(" 10089 ")));
        QVERIFY(settings.Write(QStringLiteral("store/backend"), QStringLiteral("PostgreSQL")));
        QVERIFY(settings.Write(QStringLiteral("worker/allowed_clients"), QStringLiteral("10.0.0.0/8, 10.1.2.3")));
        QVERIFY(settings.Sync());
        QCOMPARE(settings.FileName(), path);
        QCOMPARE(QSettings(path, QSettings::IniFormat).allKeys().size(), 3);
        const ServiceConfig c = ServiceSettings::FromFile(path).Read();
        QCOMPARE(c.port, 10089);
        QCOMPARE(c.storeBackend, QStringLiteral("postgresql"));
        QCOMPARE(c.allowedClients, QStringLiteral("10.0.0.0/8, 10.1.2.3"));
        QVERIFY(!QFile::exists(ServiceSettings::UserSettings().FileName()));
    }

    // Defaults the operator should find in the file are written when
    // missing, the lease only with the shared queue; values already there
    // stay. At exit only the running values of the kept keys are written.
    void writtenKeys()
    {
        const QString path = FilePath("written.conf");
        WriteFile(path, "[worker]\nmax_failed_runs=7\n");
        ServiceSettings settings = ServiceSettings::FromFile(path);
        settings.WriteMissingDefaults();
        QVERIFY(settings.Sync());
        QSettings raw(path, QSettings::IniFormat);
        QStringList expected{"worker/allowed_clients",        "worker/engine_grace_seconds",
                             "worker/frame_timeout_seconds",  "worker/idle_timeout_seconds",
                             "worker/max_connect_per_address", "worker/max_failed_runs",
                             "worker/max_inflight_mb",        "worker/max_jobs_per_client",
                             "worker/max_sessions",           "worker/max_unsent_mb",
                             "worker/min_free_disk_mb",       "worker/min_upload_kbps",
                             "worker/retry_delay_seconds"};
        QCOMPARE(raw.allKeys(), expected);
        QCOMPARE(raw.value(QStringLiteral("worker/max_failed_runs")).toInt(), 7);
        QCOMPARE(raw.value(QStringLiteral("worker/max_inflight_mb")).toInt(), 1024);

        QVERIFY(settings.Write(QStringLiteral("store/backend"), QStringLiteral("postgresql")));
        settings.WriteMissingDefaults();
        ServiceConfig running = settings.Read();
        running.pickJobInterval = 9;
        running.nextUpdateSeconds = 4;
        running.port = 1234; // not a key kept at exit
        settings.WriteBack(running);
        QVERIFY(settings.Sync());
        raw.sync();
        QCOMPARE(raw.value(QStringLiteral("store/lease_seconds")).toInt(), 30);
        QCOMPARE(raw.value(QStringLiteral("config/pick_job_interval")).toInt(), 9);
        QCOMPARE(raw.value(QStringLiteral("worker/next_update_seconds")).toInt(), 4);
        QVERIFY(!raw.contains(QStringLiteral("worker/port")));
        QCOMPARE(ServiceSettings::FromFile(path).Read().pickJobInterval, 9);
    }

    // Two layers: the read-only file wins, a key it lacks comes from the
    // state file, and everything the service writes goes to the state file;
    // the read-only file is never touched. The new log keys read as given.
    void layersReadBothAndWriteOnlyTheState()
    {
        const QString etc = FilePath("etc.conf");
        const QString state = FilePath("state.conf");
        {
            QSettings file(etc, QSettings::IniFormat);
            file.setValue(QStringLiteral("worker/port"), 2000);
            file.setValue(QStringLiteral("log/level"), QStringLiteral("Debug"));
            file.setValue(QStringLiteral("log/files"), false);
            QSettings kept(state, QSettings::IniFormat);
            kept.setValue(QStringLiteral("worker/port"), 3000);
            kept.setValue(QStringLiteral("worker/engine"), QStringLiteral("/opt/engine"));
        }
        const QByteArray before = FileBytes(etc);
        {
            ServiceSettings layers = ServiceSettings::FromFiles(etc, state);
            QCOMPARE(layers.FileName(), etc);
            QCOMPARE(layers.WrittenFileName(), state);
            const ServiceConfig config = layers.Read();
            QCOMPARE(config.port, 2000);
            QCOMPARE(config.engine, QStringLiteral("/opt/engine"));
            QVERIFY(config.LogDebug());
            QVERIFY(!config.LogFiles());
            layers.WriteMissingDefaults();
            ServiceConfig running = config;
            running.pickJobInterval = 7;
            layers.WriteBack(running);
            QVERIFY(layers.Sync());
        }
        QCOMPARE(FileBytes(etc), before);
        QSettings kept(state, QSettings::IniFormat);
        QCOMPARE(kept.value(QStringLiteral("config/pick_job_interval")).toInt(), 7);
        QCOMPARE(kept.value(QStringLiteral("worker/max_failed_runs")).toInt(), 3);
        QCOMPARE(kept.value(QStringLiteral("worker/port")).toInt(), 3000);
        const ServiceConfig defaults = ServiceSettings::FromFile(FilePath("none.conf")).Read();
        QVERIFY(!defaults.LogDebug());
        QVERIFY(defaults.LogFiles());
    }

    // The packaged /etc file shows every key, commented out at its default
    // under its group, except log/files, which the service sets to false,
    // and admin/socket, which the unit's runtime folder holds.
    void packagedFileListsEveryKeyAtItsDefault()
    {
        QFile file(QStringLiteral(ZENDRAL_SOURCE_DIR "/packaging/zendral.conf"));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        QMap<QString, QString> shown;
        QStringList order;
        QString group;
        const QRegularExpression entry(QStringLiteral("^#?([A-Za-z_]+)=(.*)$"));
        for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char('[')))
                group = line.mid(1, line.size() - 2);
            const QRegularExpressionMatch match = entry.match(line);
            if (match.hasMatch() && !line.startsWith(QLatin1String("#  ")))
                order << (group == QLatin1String("General") ? QString() : group + QLatin1Char('/')) + match.captured(1);
            if (match.hasMatch() && !line.startsWith(QLatin1String("#  ")))
                shown.insert((group == QLatin1String("General") ? QString() : group + QLatin1Char('/'))
                                 + match.captured(1),
                             (line.startsWith(QLatin1Char('#')) ? QString() : QStringLiteral("set:")) + match.captured(2));
        }
        const ServiceConfig defaults = ServiceSettings::Defaults();
        for (const ServiceSettings::Key &key : ServiceSettings::Keys()) {
            const QString name = QLatin1String(key.name);
            QVERIFY2(shown.contains(name), qPrintable(name));
            QString value = key.intField ? QString::number(defaults.*key.intField) : defaults.*key.textField;
            if (name == QLatin1String("store/node") || name == QLatin1String("language"))
                value.clear(); // the host's name and the system's language: shown empty
            if (name == QLatin1String("log/files"))
                value = QStringLiteral("set:false");
            if (name == QLatin1String("admin/socket"))
                value = QStringLiteral("set:/run/zendral/admin");
            QCOMPARE(shown.value(name), value);
        }
        QCOMPARE(shown.size(), int(ServiceSettings::Keys().size()));
        QCOMPARE(order.value(0), QStringLiteral("worker/engine")); // the first thing an operator sets
    }

    // README's settings table and the class list the same keys.
    void readmeListsEveryKey()
    {
        QStringList readme = ReadmeKeys();
        QStringList known;
        for (const ServiceSettings::Key &key : ServiceSettings::Keys())
            known << QLatin1String(key.name);
        known << ServiceSettings::WindowKeys();
        readme.sort();
        known.sort();
        QCOMPARE(readme, known);
    }
};

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Orvane"));
    // A store of this run's own, so that no earlier run's file can be taken
    // for one written now.
    app.setApplicationName(QStringLiteral("ZendralSettingsTest-%1").arg(QCoreApplication::applicationPid()));
    TestServiceSettings test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_servicesettings.moc"
