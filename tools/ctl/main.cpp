// zendralctl: the operator's command line for a Zendral service on this
// machine: status, all jobs of all clients, move, remove, retry, hold and
// release jobs, pause and resume picking, and watch the queue's events.
// It speaks to the service's operator channel (docs/admin.md).

#include "AdminSocketPath.h"
#include "CtlCommands.h"
#include "CtlConnection.h"
#include "ServiceSettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMap>
#include <QTextStream>

using namespace Orvane::Zendral;

namespace {

const char Usage[] =
    "Usage: %1 [--socket PATH] [--config FILE] [--json] COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  status                       version, node, listener, pause, engine slots, jobs per state\n"
    "  jobs [--state S] [--client A]  every job of every client, in queue order\n"
    "                               (S: waiting, held, running, finished, failed)\n"
    "  move ID up|down|top|bottom   move a waiting job\n"
    "  remove ID...                 remove jobs (a running engine is stopped)\n"
    "  retry ID                     a failed job back to waiting, at the tail\n"
    "  hold ID [--until TIME]       keep a job from starting (a running one is stopped\n"
    "                               with no failure counted); TIME: local \"YYYY-MM-DD HH:MM\"\n"
    "                               or ISO 8601; the hold then ends by itself\n"
    "  release ID                   end a hold\n"
    "  pause                        no new run starts; runs in progress go on (drain)\n"
    "  resume                       start runs again\n"
    "  watch                        one line per event until interrupted\n"
    "\n"
    "ID is a job id, with or without braces, or a beginning of it that only one job has.\n"
    "\n"
    "Options:\n"
    "  --socket PATH  the service's operator socket (default: the setting admin/socket\n"
    "                 of the settings file, else zendral-admin in the runtime folder)\n"
    "  --config FILE  the service's settings file (default: /etc/zendral/zendral.conf\n"
    "                 when it exists, else the per-user settings)\n"
    "  --json         machine-readable output: one JSON document (watch: one per line)\n"
    "  --help, --version\n"
    "\n"
    "Exit codes: 0 done; 1 refused (the reason on standard error); 2 usage;\n"
    "3 the service cannot be reached (the socket is named).\n";

[[noreturn]] void UsageError(const QString &message)
{
    throw CtlError{CtlUsage, message + QStringLiteral("\n(see %1 --help)").arg(QCoreApplication::applicationName())};
}

// Positional arguments of each command: minimum and maximum (-1: any).
const QMap<QString, QPair<int, int>> &Arity()
{
    static const QMap<QString, QPair<int, int>> arity{
        {QStringLiteral("status"), {0, 0}}, {QStringLiteral("jobs"), {0, 0}},   {QStringLiteral("move"), {2, 2}},
        {QStringLiteral("remove"), {1, -1}}, {QStringLiteral("retry"), {1, 1}}, {QStringLiteral("hold"), {1, 1}},
        {QStringLiteral("release"), {1, 1}}, {QStringLiteral("pause"), {0, 0}}, {QStringLiteral("resume"), {0, 0}},
        {QStringLiteral("watch"), {0, 0}}};
    return arity;
}

// The settings file the service reads: --config, else the packaged one
// (Linux), else the per-user store of the window and zendrald.
ServiceSettings OpenSettings(const QString &config)
{
    if (!config.isEmpty())
        return ServiceSettings::FromFile(config);
#ifdef Q_OS_UNIX
    const QString packaged = QStringLiteral("/etc/zendral/zendral.conf");
    if (QFileInfo::exists(packaged))
        return ServiceSettings::FromFile(packaged);
#endif
    return ServiceSettings::UserSettings();
}

struct Parsed
{
    CtlOptions options;
    QString socket;
    bool help = false;
    bool version = false;
};

Parsed Parse(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    const QCommandLineOption version{QStringLiteral("version")};
    const QCommandLineOption socket{QStringLiteral("socket"), QString(), QStringLiteral("PATH")};
    const QCommandLineOption config{QStringLiteral("config"), QString(), QStringLiteral("FILE")};
    const QCommandLineOption json{QStringLiteral("json")};
    const QCommandLineOption state{QStringLiteral("state"), QString(), QStringLiteral("S")};
    const QCommandLineOption client{QStringLiteral("client"), QString(), QStringLiteral("A")};
    const QCommandLineOption until{QStringLiteral("until"), QString(), QStringLiteral("TIME")};
    parser.addOptions({help, version, socket, config, json, state, client, until});
    if (!parser.parse(args)) {
        if (!parser.unknownOptionNames().isEmpty())
            UsageError(QStringLiteral("unknown option: %1").arg(parser.unknownOptionNames().first()));
        UsageError(parser.errorText());
    }
    Parsed parsed;
    parsed.help = parser.isSet(help);
    parsed.version = parser.isSet(version);
    if (parsed.help || parsed.version)
        return parsed;
    CtlOptions &options = parsed.options;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        UsageError(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    if (!Arity().contains(options.command))
        UsageError(QStringLiteral("unknown command: %1").arg(options.command));
    const QPair<int, int> arity = Arity().value(options.command);
    if (positional.size() < arity.first || (arity.second >= 0 && positional.size() > arity.second))
        UsageError(QStringLiteral("wrong number of arguments for '%1'").arg(options.command));
    options.arguments = positional;
    if ((parser.isSet(state) || parser.isSet(client)) && options.command != QLatin1String("jobs"))
        UsageError(QStringLiteral("--state and --client are options of 'jobs'"));
    if (parser.isSet(until) && options.command != QLatin1String("hold"))
        UsageError(QStringLiteral("--until is an option of 'hold'"));
    if (options.command == QLatin1String("move")
        && !QStringList{"up", "down", "top", "bottom"}.contains(options.arguments.value(1)))
        UsageError(QStringLiteral("move: the step is up, down, top or bottom, not '%1'").arg(options.arguments.value(1)));
    options.json = parser.isSet(json);
    options.state = parser.value(state);
    options.client = parser.value(client);
    if (parser.isSet(until)) {
        options.until = CtlCommands::UntilTime(parser.value(until));
        if (options.until.isEmpty())
            UsageError(QStringLiteral("--until: '%1' is not a time (YYYY-MM-DD HH:MM or ISO 8601)").arg(parser.value(until)));
    }
    parsed.socket = parser.isSet(socket)
                        ? parser.value(socket)
                        : AdminSocketPath::Resolve(OpenSettings(parser.value(config)).Read().adminSocket);
#ifdef Q_OS_UNIX
    // A relative path means one from here (a local server would take it as
    // a name in the temporary folder). On Windows it is a pipe's name.
    if (parsed.socket.contains(QLatin1Char('/')))
        parsed.socket = QFileInfo(parsed.socket).absoluteFilePath();
#endif
    return parsed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The names under which the window and zendrald keep their per-user settings.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("zendralctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    try {
        const Parsed parsed = Parse(app.arguments());
        if (parsed.help) {
            out << QString::fromLatin1(Usage).arg(QStringLiteral("zendralctl"));
            return CtlOk;
        }
        if (parsed.version) {
            out << "zendralctl " << ZENDRAL_VERSION << " (build " << ZENDRAL_BUILD_NUMBER << ")\n";
            return CtlOk;
        }
        CtlConnection connection(parsed.socket);
        CtlCommands commands(connection, out, err);
        return commands.Run(parsed.options);
    } catch (const CtlError &error) {
        out.flush();
        err << "zendralctl: " << error.message << '\n';
        return error.code;
    }
}
