// zendral-client: submits, lists, watches, moves, removes and picks up jobs
// of a Zendral job service from the command line.

#include "ClientCommands.h"
#include "ClientConnection.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTextStream>

#include <cstdio>

using namespace Orvane::Zendral;

namespace {

const char Usage[] =
    "Usage: zendral-client [--host H] [--port P] COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  add FILE [--time SECONDS] [--name NAME]   submit a marker document; prints the job id\n"
    "  list [JOB_NAME] [--json]                  list this client's jobs\n"
    "  watch                                     follow this client's jobs until all are finished\n"
    "  pickup JOB_ID [-o FILE]                   fetch the result (default <job id>.xml, '-' for stdout)\n"
    "  move JOB_ID up|down|top|bottom            move a waiting job in the queue\n"
    "  remove JOB_ID                             remove a job\n"
    "\n"
    "Options:\n"
    "  --host H   service host (default 127.0.0.1)\n"
    "  --port P   service port (default 10088)\n"
    "  --help     show this help\n"
    "\n"
    "Exit codes: 0 done, 1 refused by the service, 2 connection failure, 64 usage error.\n";

[[noreturn]] void UsageError(const QString &message)
{
    throw ClientError{ExitUsage, message + QStringLiteral("\n(see zendral-client --help)")};
}

// Positional arguments each command takes: minimum and maximum.
const QMap<QString, QPair<int, int>> &Arity()
{
    static const QMap<QString, QPair<int, int>> arity{
        {QStringLiteral("add"), {1, 1}},    {QStringLiteral("list"), {0, 1}},
        {QStringLiteral("watch"), {0, 0}},  {QStringLiteral("pickup"), {1, 1}},
        {QStringLiteral("move"), {2, 2}},   {QStringLiteral("remove"), {1, 1}}};
    return arity;
}

int ToNumber(const QString &text, const QString &option, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < minimum || value > maximum)
        UsageError(QStringLiteral("%1: expected a whole number from %2 to %3, got '%4'").arg(option).arg(minimum).arg(maximum).arg(text));
    return value;
}

// Parses the command line; returns false when help was asked for.
bool Parse(const QStringList &args, ClientOptions &options)
{
    QStringList positional;
    QString optionOwner; // the command an option belongs to
    for (int i = 1; i < args.size(); ++i) {
        const QString arg = args.at(i);
        auto value = [&]() {
            if (i + 1 >= args.size())
                UsageError(QStringLiteral("%1 needs a value").arg(arg));
            return args.at(++i);
        };
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
            return false;
        if (arg == QLatin1String("--host")) {
            options.host = value();
        } else if (arg == QLatin1String("--port")) {
            options.port = quint16(ToNumber(value(), arg, 1, 65535));
        } else if (arg == QLatin1String("--time")) {
            options.time = ToNumber(value(), arg, 0, 1000000000);
            optionOwner = QStringLiteral("add");
        } else if (arg == QLatin1String("--name")) {
            options.name = value();
            if (options.name.isEmpty())
                UsageError(QStringLiteral("--name must not be empty"));
            optionOwner = QStringLiteral("add");
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
            optionOwner = QStringLiteral("list");
        } else if (arg == QLatin1String("-o") || arg == QLatin1String("--output")) {
            options.output = value();
            if (options.output.isEmpty())
                UsageError(QStringLiteral("-o needs a file name"));
            optionOwner = QStringLiteral("pickup");
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            UsageError(QStringLiteral("unknown option: %1").arg(arg));
        } else {
            positional << arg;
        }
        if (!optionOwner.isEmpty() && !positional.isEmpty() && positional.first() != optionOwner)
            UsageError(QStringLiteral("%1 is an option of '%2'").arg(arg, optionOwner));
    }
    if (positional.isEmpty())
        UsageError(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    if (!Arity().contains(options.command))
        UsageError(QStringLiteral("unknown command: %1").arg(options.command));
    if (!optionOwner.isEmpty() && options.command != optionOwner)
        UsageError(QStringLiteral("option given is one of '%1'").arg(optionOwner));
    const QPair<int, int> arity = Arity().value(options.command);
    if (positional.size() < arity.first || positional.size() > arity.second)
        UsageError(QStringLiteral("wrong number of arguments for '%1'").arg(options.command));
    options.arguments = positional;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    try {
        ClientOptions options;
        if (!Parse(app.arguments(), options)) {
            out << Usage;
            return ExitOk;
        }
        // A job file that cannot be read is reported before any connection.
        if (options.command == QLatin1String("add")) {
            QFile file(options.arguments.value(0));
            if (!file.open(QIODevice::ReadOnly)) {
                err << "zendral-client: cannot read " << file.fileName() << ": " << file.errorString() << '\n';
                return ExitRefused;
            }
        }
        ClientConnection connection(options.host, options.port);
        connection.Open();
        ClientCommands commands(connection, out, err);
        const int code = commands.Run(options);
        out.flush();
        try {
            connection.Close();
        } catch (const ClientError &) {
            // The command's outcome stands; a lost logout changes nothing.
        }
        return code;
    } catch (const ClientError &error) {
        out.flush();
        err << "zendral-client: " << error.message << '\n';
        return error.code;
    }
}
