// zendral-client: submits, lists, watches, moves, removes and picks up jobs
// of a Zendral job service from the command line.

#include "ClientCommands.h"
#include "ClientConnection.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMap>
#include <QTextStream>

#include <cstdio>

using namespace Orvane::Zendral;

namespace {

// %1: the program's name as it was typed.
const char Usage[] =
    "Usage: %1 [--host H] [--port P] COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  add FILE [--work TEXT] [--name TEXT] [--time SECONDS] [--wait [-o FILE]]\n"
    "      submit a marker document and print the job id. The window shows the work\n"
    "      and job name (default name: the file's name without its last suffix).\n"
    "      --wait: wait until the job ends, then pick up its result\n"
    "      (default <job id>.xml, '-' for standard output)\n"
    "  list [JOB_NAME] [--json]\n"
    "      list this client's jobs: work, name, state, queue position, progress,\n"
    "      efficiency, start in local time. --json prints the service's list as it is;\n"
    "      JOB_NAME (a record name as in that list) adds that running job's current marker\n"
    "  watch [JOB_ID]\n"
    "      follow one job, or all of this client's jobs, until they end (Ctrl+C stops)\n"
    "  pickup JOB_ID [-o FILE] [--force]\n"
    "      fetch the result of a finished job (default <job id>.xml, '-' for standard\n"
    "      output); this ends the job. A job that has not finished is refused and kept;\n"
    "      --force takes its current result and ends it\n"
    "  move JOB_ID up|down|top|bottom\n"
    "      move a waiting job in the queue\n"
    "  remove JOB_ID\n"
    "      remove a job (a running engine is stopped)\n"
    "\n"
    "JOB_ID is the id that add printed, with or without braces, or a beginning of it\n"
    "that only one of this client's jobs has.\n"
    "\n"
    "Options:\n"
    "  --host H   service host (default $ZENDRAL_HOST, else 127.0.0.1)\n"
    "  --port P   service port (default $ZENDRAL_PORT, else 10088)\n"
    "  --help     show this help\n"
    "  --version  show the program's version\n"
    "\n"
    "Exit codes:\n"
    "  0   done; add --wait: the job finished and its result is saved;\n"
    "      watch: every followed job finished (or there were none)\n"
    "  1   not done: the service refused the request; a job id matched no job or several;\n"
    "      pickup of a job that has not finished; the job failed or left the queue\n"
    "      (add --wait, watch); a file could not be read or written\n"
    "  2   the service could not be reached, or the connection broke or carried an\n"
    "      unexpected reply\n"
    "  64  usage error\n"
    "Ctrl+C ends the client at once; a job it was waiting for stays queued.\n";

[[noreturn]] void UsageError(const QString &message)
{
    throw ClientError{ExitUsage, message + QStringLiteral("\n(see %1 --help)").arg(QCoreApplication::applicationName())};
}

// Positional arguments each command takes: minimum and maximum.
const QMap<QString, QPair<int, int>> &Arity()
{
    static const QMap<QString, QPair<int, int>> arity{
        {QStringLiteral("add"), {1, 1}},    {QStringLiteral("list"), {0, 1}},
        {QStringLiteral("watch"), {0, 1}},  {QStringLiteral("pickup"), {1, 1}},
        {QStringLiteral("move"), {2, 2}},   {QStringLiteral("remove"), {1, 1}}};
    return arity;
}

// The commands an option belongs to.
const QMap<QString, QStringList> &OptionOwners()
{
    static const QMap<QString, QStringList> owners{
        {QStringLiteral("--time"), {QStringLiteral("add")}},
        {QStringLiteral("--work"), {QStringLiteral("add")}},
        {QStringLiteral("--name"), {QStringLiteral("add")}},
        {QStringLiteral("--wait"), {QStringLiteral("add")}},
        {QStringLiteral("--json"), {QStringLiteral("list")}},
        {QStringLiteral("--force"), {QStringLiteral("pickup")}},
        {QStringLiteral("-o"), {QStringLiteral("add"), QStringLiteral("pickup")}}};
    return owners;
}

int ToNumber(const QString &text, const QString &option, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < minimum || value > maximum)
        UsageError(QStringLiteral("%1: expected a whole number from %2 to %3, got '%4'").arg(option).arg(minimum).arg(maximum).arg(text));
    return value;
}

QString NonEmpty(const QString &value, const QString &option)
{
    if (value.isEmpty())
        UsageError(QStringLiteral("%1 must not be empty").arg(option));
    return value;
}

// Fills in the service's address where the command line left it out (empty
// host, port 0): from ZENDRAL_HOST and ZENDRAL_PORT, else the defaults.
void ApplyDefaults(ClientOptions &options)
{
    if (options.host.isEmpty())
        options.host = qEnvironmentVariable("ZENDRAL_HOST", QStringLiteral("127.0.0.1"));
    if (options.host.isEmpty())
        options.host = QStringLiteral("127.0.0.1");
    if (options.port == 0) {
        const QString port = qEnvironmentVariable("ZENDRAL_PORT");
        options.port = port.isEmpty() ? quint16(10088) : quint16(ToNumber(port, QStringLiteral("ZENDRAL_PORT"), 1, 65535));
    }
}

// The client's options; QCommandLineParser reads them, the checks below
// give the client's own messages and exit codes.
struct OptionSet
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QString()};
    QCommandLineOption version{QStringLiteral("version"), QString()};
    QCommandLineOption host{QStringLiteral("host"), QString(), QStringLiteral("H")};
    QCommandLineOption port{QStringLiteral("port"), QString(), QStringLiteral("P")};
    QCommandLineOption time{QStringLiteral("time"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption work{QStringLiteral("work"), QString(), QStringLiteral("TEXT")};
    QCommandLineOption name{QStringLiteral("name"), QString(), QStringLiteral("TEXT")};
    QCommandLineOption wait{QStringLiteral("wait"), QString()};
    QCommandLineOption json{QStringLiteral("json"), QString()};
    QCommandLineOption force{QStringLiteral("force"), QString()};
    QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")};
};

// The argument as given ("-x", "--xyz=1") that the parser found unknown.
QString UnknownArgument(const QStringList &args, const QString &name)
{
    for (int i = 1; i < args.size(); ++i) {
        QString bare = args.at(i);
        while (bare.startsWith(QLatin1Char('-')))
            bare.remove(0, 1);
        if (args.at(i).startsWith(QLatin1Char('-')) && bare.section(QLatin1Char('='), 0, 0) == name)
            return args.at(i);
    }
    return name;
}

// Runs the parser over `args`: usage errors for unknown options and for an
// option whose value is missing (only the last argument can lack one).
void ParseArguments(QCommandLineParser &parser, const OptionSet &set, const QStringList &args)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({set.help, set.version, set.host, set.port, set.time, set.work, set.name, set.wait, set.json,
                       set.force, set.output});
    if (parser.parse(args))
        return;
    if (!parser.unknownOptionNames().isEmpty())
        UsageError(QStringLiteral("unknown option: %1").arg(UnknownArgument(args, parser.unknownOptionNames().first())));
    UsageError(QStringLiteral("%1 needs a value").arg(args.last()));
}

// Copies the options' values into `options`, checked.
void ReadOptions(const QCommandLineParser &parser, const OptionSet &set, ClientOptions &options)
{
    if (parser.isSet(set.host))
        options.host = NonEmpty(parser.value(set.host), QStringLiteral("--host"));
    if (parser.isSet(set.port))
        options.port = quint16(ToNumber(parser.value(set.port), QStringLiteral("--port"), 1, 65535));
    if (parser.isSet(set.time))
        options.time = ToNumber(parser.value(set.time), QStringLiteral("--time"), 0, 1000000000);
    if (parser.isSet(set.work))
        options.work = NonEmpty(parser.value(set.work), QStringLiteral("--work"));
    if (parser.isSet(set.name))
        options.name = NonEmpty(parser.value(set.name), QStringLiteral("--name"));
    options.wait = parser.isSet(set.wait);
    options.json = parser.isSet(set.json);
    options.force = parser.isSet(set.force);
    if (parser.isSet(set.output))
        options.output = NonEmpty(parser.value(set.output), QStringLiteral("-o"));
}

// The command-bound options the command line gave ("-o" for -o/--output).
QStringList GivenCommandOptions(const QCommandLineParser &parser)
{
    QStringList given;
    for (const QString &option : OptionOwners().keys()) {
        QString bare = option;
        while (bare.startsWith(QLatin1Char('-')))
            bare.remove(0, 1);
        if (parser.isSet(bare))
            given << option;
    }
    return given;
}

// What the command line asks for besides a command.
enum class Asked { Command, Help, Version };

// Parses the command line into `options` (for Asked::Command).
Asked Parse(const QStringList &args, ClientOptions &options)
{
    QCommandLineParser parser;
    const OptionSet set;
    ParseArguments(parser, set, args);
    if (parser.isSet(set.help))
        return Asked::Help;
    if (parser.isSet(set.version))
        return Asked::Version;
    ReadOptions(parser, set, options);
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        UsageError(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    if (!Arity().contains(options.command))
        UsageError(QStringLiteral("unknown command: %1").arg(options.command));
    for (const QString &option : GivenCommandOptions(parser)) {
        if (!OptionOwners().value(option).contains(options.command))
            UsageError(QStringLiteral("%1 is an option of '%2'").arg(option, OptionOwners().value(option).join(QStringLiteral("' and '"))));
    }
    if (options.command == QLatin1String("add") && !options.output.isEmpty() && !options.wait)
        UsageError(QStringLiteral("add: -o needs --wait"));
    const QPair<int, int> arity = Arity().value(options.command);
    if (positional.size() < arity.first || positional.size() > arity.second)
        UsageError(QStringLiteral("wrong number of arguments for '%1'").arg(options.command));
    options.arguments = positional;
    return Asked::Command;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // Help and messages name the program as it was typed.
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    ClientOptions options;
    options.host.clear();
    options.port = 0;
    int code = ExitOk;
    try {
        const Asked asked = Parse(app.arguments(), options);
        if (asked == Asked::Help) {
            out << QString::fromLatin1(Usage).arg(program);
            return ExitOk;
        }
        if (asked == Asked::Version) {
            out << program << ' ' << ZENDRAL_VERSION << " (build " << ZENDRAL_BUILD_NUMBER << ")\n";
            return ExitOk;
        }
        ApplyDefaults(options);
    } catch (const ClientError &error) {
        err << program << ": " << error.message << '\n';
        return error.code;
    }
    ClientConnection connection(options.host, options.port);
    try {
        ClientCommands commands(connection, out, err);
        code = commands.Run(options);
    } catch (const ClientError &error) {
        out.flush();
        err << program << ": " << error.message << '\n';
        if (error.code == ExitConnection)
            return error.code;
        code = error.code;
    }
    out.flush();
    try {
        connection.Close();
    } catch (const ClientError &) {
        // The command's outcome stands; a lost logout changes nothing.
    }
    return code;
}
