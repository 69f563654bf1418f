// A stand-in for the updater in tests: appends one line to a record file, a
// compact JSON object {"program": its own path, "arguments": [...]}, then
// exits with a chosen code.
// Tests copy it beside the program under test, so its behaviour comes from
// the environment:
//   ZENDRAL_STUB_UPDATER_RECORD    file to append to (nothing recorded if unset)
//   ZENDRAL_STUB_UPDATER_EXIT      exit code (default 0)
//   ZENDRAL_STUB_UPDATER_SLEEP_MS  wait before exiting, to act as a hung
//                                  updater (at most 10 minutes)
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    const QString record = qEnvironmentVariable("ZENDRAL_STUB_UPDATER_RECORD");
    if (!record.isEmpty()) {
        QFile file(record);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return 100;
        QJsonObject line;
        line.insert(QStringLiteral("program"), QCoreApplication::applicationFilePath());
        line.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(arguments));
        file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }

    const int sleep_ms = qEnvironmentVariableIntValue("ZENDRAL_STUB_UPDATER_SLEEP_MS");
    if (sleep_ms > 0)
        QThread::msleep(qMin(sleep_ms, 600000));

    return qEnvironmentVariableIntValue("ZENDRAL_STUB_UPDATER_EXIT");
}
