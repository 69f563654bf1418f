// zendral-stub-engine: a stand-in nesting engine for tests and trials.
//
// Command line (as the service builds it; unknown options are ignored):
//   -f <marker file>  -t <seconds>  -l <locale>  -p ""  -g 0  -s 1
//
// Prints progress messages on standard output, each one compact JSON object
// on a line of its own, written in one piece and flushed, with the keys
// "path", "efficiency", "time_limit", "time_elapsed", "next_update". The last
// message has time_elapsed == time_limit (the -t value) and next_update 0.
// Before each message the result document "<marker file>.engine.xml" beside
// the marker file is rewritten (temporary file, then rename): UTF-8 XML,
// root MARKER_DOCUMENT with HEADER (input name, size) and MARKER (efficiency,
// iteration, a few PIECE children). Nothing else goes to standard output.
// A missing -f file: message on standard error, exit code 2.
//
// Environment:
//   ZENDRAL_STUB_MESSAGES  number of messages (default: -t, clamped to 1..20)
//   ZENDRAL_STUB_PAUSE_MS  pause between messages in ms (default 1000)
//   ZENDRAL_STUB_EXIT      exit code at the end (default 0)
//   ZENDRAL_STUB_MODE      normal (default) | malformed (half a JSON object,
//                          then plain text, then exit) | hang (one message,
//                          then sleep until killed) | noresult (reports a
//                          "path" but never writes it) | nopath (messages
//                          without "path", no result document) | rewrite
//                          (as normal, then after a pause writes the result
//                          once more, with iteration messages + 1, and exits)
//                          | pairs (as normal, but the messages go out two
//                          in one write, with a line of plain text before
//                          each pair)
//   ZENDRAL_STUB_IGNORE_TERM  1: ignore SIGTERM (only a kill ends it)
//   ZENDRAL_STUB_START_LOG    a file to which each start appends a line
//   ZENDRAL_STUB_RUN_LOG      a file to which each run appends "start" and,
//                          when it ends by itself, "end" lines with the time
//                          (ms since the epoch), the process id and the
//                          marker file's name
//   ZENDRAL_STUB_STDERR       a line written to standard error just before the
//                          engine exits by itself (\n in it starts a new line)

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringList>
#include <QThread>
#include <QXmlStreamWriter>

#include <csignal>
#include <cstdio>

namespace {

struct Options
{
    QString markerFile;
    int seconds = 10;
    int messages = 0;
    int pauseMs = 1000;
    int exitCode = 0;
    QString mode = QStringLiteral("normal");
};

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariable(name).toInt(&ok);
    return ok ? value : fallback;
}

Options parseOptions(const QStringList &args)
{
    Options options;
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("-f") && hasValue)
            options.markerFile = args.at(++i);
        else if (arg == QLatin1String("-t") && hasValue)
            options.seconds = qMax(0, args.at(++i).toInt());
        else if ((arg == QLatin1String("-l") || arg == QLatin1String("-p")
                  || arg == QLatin1String("-g") || arg == QLatin1String("-s"))
                 && hasValue)
            ++i; // accepted, without effect on the stand-in
    }
    options.messages = envInt("ZENDRAL_STUB_MESSAGES", qBound(1, options.seconds, 20));
    options.messages = qMax(1, options.messages);
    options.pauseMs = qMax(0, envInt("ZENDRAL_STUB_PAUSE_MS", 1000));
    options.exitCode = envInt("ZENDRAL_STUB_EXIT", 0);
    const QString mode = qEnvironmentVariable("ZENDRAL_STUB_MODE");
    if (!mode.isEmpty())
        options.mode = mode;
    return options;
}

// Grows from 0.60 towards 0.90 (reached at the last message), 4 decimals.
double efficiencyAt(const Options &options, int iteration)
{
    const double value = 0.60 + 0.30 * double(iteration) / options.messages;
    return qRound(value * 10000) / 10000.0;
}

// One piece, then flushed, so that the reader gets each message whole.
void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

bool writeResult(const QString &resultPath, const QFileInfo &input, double efficiency,
                 int iteration)
{
    QSaveFile file(resultPath); // temporary name, then rename: never half a file
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("MARKER_DOCUMENT"));
    xml.writeStartElement(QStringLiteral("HEADER"));
    xml.writeAttribute(QStringLiteral("source"), input.fileName());
    xml.writeAttribute(QStringLiteral("size"), QString::number(input.size()));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("MARKER"));
    xml.writeAttribute(QStringLiteral("efficiency"), QString::number(efficiency, 'f', 4));
    xml.writeAttribute(QStringLiteral("iteration"), QString::number(iteration));
    for (int piece = 1; piece <= 3; ++piece) {
        xml.writeStartElement(QStringLiteral("PIECE"));
        xml.writeAttribute(QStringLiteral("id"), QString::number(piece));
        xml.writeAttribute(QStringLiteral("x"), QString::number(piece * 10 + iteration));
        xml.writeAttribute(QStringLiteral("y"), QString::number(piece * 5));
        xml.writeAttribute(QStringLiteral("rotation"), QString::number((iteration % 2) * 180));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return file.commit();
}

QByteArray message(const Options &options, const QString &resultPath, int iteration)
{
    const double share = double(iteration) / options.messages;
    QJsonObject object;
    if (options.mode != QLatin1String("nopath"))
        object.insert(QStringLiteral("path"), resultPath);
    object.insert(QStringLiteral("efficiency"), efficiencyAt(options, iteration));
    object.insert(QStringLiteral("time_limit"), options.seconds);
    object.insert(QStringLiteral("time_elapsed"), options.seconds * share);
    const bool last = iteration == options.messages;
    object.insert(QStringLiteral("next_update"), last ? 0 : qMax(1, (options.pauseMs + 999) / 1000));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

int runMalformed(const Options &options, const QString &resultPath)
{
    writeOut("{\"path\":\"" + resultPath.toUtf8() + "\",\"efficiency\":0.5");
    QThread::msleep(options.pauseMs);
    writeOut("engine warming up, please wait\n");
    return options.exitCode;
}

int runMessages(const Options &options, const QFileInfo &input, const QString &resultPath)
{
    const bool writeFile = options.mode == QLatin1String("normal")
                           || options.mode == QLatin1String("hang")
                           || options.mode == QLatin1String("rewrite")
                           || options.mode == QLatin1String("pairs");
    const bool pairs = options.mode == QLatin1String("pairs");
    QByteArray pending; // pairs: the first message of a pair waits for the second
    for (int i = 1; i <= options.messages; ++i) {
        const double efficiency = efficiencyAt(options, i);
        if (writeFile && !writeResult(resultPath, input, efficiency, i)) {
            std::fprintf(stderr, "can not write result file %s\n", qUtf8Printable(resultPath));
            return 3;
        }
        if (pairs && i % 2 == 1 && i < options.messages) {
            pending = "engine note: next pair\n" + message(options, resultPath, i);
            continue;
        }
        writeOut(pending + message(options, resultPath, i));
        pending.clear();
        if (options.mode == QLatin1String("hang")) {
            for (;;)
                QThread::sleep(1); // until killed
        }
        if (i < options.messages)
            QThread::msleep(options.pauseMs);
    }
    // The final result differs from the one the last message announced.
    if (options.mode == QLatin1String("rewrite")) {
        QThread::msleep(options.pauseMs);
        const int final = options.messages + 1;
        if (!writeResult(resultPath, input, efficiencyAt(options, options.messages), final))
            return 3;
    }
    return options.exitCode;
}

} // namespace

void logStart()
{
    const QString path = qEnvironmentVariable("ZENDRAL_STUB_START_LOG");
    if (path.isEmpty())
        return;
    if (FILE *log = std::fopen(qUtf8Printable(path), "a")) {
        std::fprintf(log, "%lld\n", QCoreApplication::applicationPid());
        std::fclose(log);
    }
}

// A line of the run log: what happened, when, to which marker file.
void logRun(const char *what, const QString &markerFile)
{
    const QString path = qEnvironmentVariable("ZENDRAL_STUB_RUN_LOG");
    if (path.isEmpty())
        return;
    if (FILE *log = std::fopen(qUtf8Printable(path), "a")) {
        std::fprintf(log, "%s %lld %lld %s\n", what, QDateTime::currentMSecsSinceEpoch(),
                     QCoreApplication::applicationPid(), qUtf8Printable(QFileInfo(markerFile).fileName()));
        std::fclose(log);
    }
}

// The engine's last words on standard error, as a failing engine would
// leave them (a missing licence, a bad document).
void writeStderrLine()
{
    QByteArray line = qgetenv("ZENDRAL_STUB_STDERR");
    if (line.isEmpty())
        return;
    line.replace("\\n", "\n");
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIntValue("ZENDRAL_STUB_IGNORE_TERM") == 1)
        std::signal(SIGTERM, SIG_IGN);
    logStart();
    const Options options = parseOptions(QCoreApplication::arguments());
    const QFileInfo input(options.markerFile);
    if (options.markerFile.isEmpty() || !input.isFile()) {
        std::fprintf(stderr, "marker file not found: %s\n", qUtf8Printable(options.markerFile));
        return 2;
    }
    const QString resultPath = input.absoluteFilePath() + QStringLiteral(".engine.xml");
    logRun("start", options.markerFile);
    const int code = options.mode == QLatin1String("malformed") ? runMalformed(options, resultPath)
                                                                : runMessages(options, input, resultPath);
    logRun("end", options.markerFile);
    writeStderrLine();
    return code;
}
