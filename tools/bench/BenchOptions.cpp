#include "BenchOptions.h"

#include <QCommandLineParser>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
const char Description[] =
    "Measures the Zendral job service against beanstalkd (with its binlog, \"-b\", and\n"
    "with a flush before every reply, \"-b -f0\"), driving both with the same client\n"
    "code: adds/s per window of queued jobs, list latency under load, CPU per add,\n"
    "memory of a large upload, group commit and durability after kill -9.\n"
    "Beside them zendral-floor, the least any durable queue with a folder and a\n"
    "file per job does, shows what this machine allows such a layout.\n"
    "It measures and prints; it asserts nothing.";

bool Number(const QCommandLineParser &parser, const QString &name, int minimum, int &value, QString &error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (!ok || number < minimum) {
        error = QStringLiteral("--%1: expected a whole number of at least %2, got '%3'")
                    .arg(name)
                    .arg(minimum)
                    .arg(parser.value(name));
        return false;
    }
    value = number;
    return true;
}
} // namespace

BenchOptions::Outcome BenchOptions::Parse(const QStringList &arguments, BenchOptions &options, QString &text)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(Description));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    parser.addOption(help);
    parser.addOptions({
        {QStringLiteral("jobs"), QStringLiteral("Fills each queue to N jobs (default 10000)."), QStringLiteral("N")},
        {QStringLiteral("window"), QStringLiteral("Reports adds/s per window of N jobs (default 1000)."), QStringLiteral("N")},
        {QStringLiteral("clients"), QStringLiteral("Adding clients (default 8)."), QStringLiteral("N")},
        {QStringLiteral("pollers"), QStringLiteral("Listing clients (default 50)."), QStringLiteral("N")},
        {QStringLiteral("poll-seconds"), QStringLiteral("Seconds of listing, and of INIT_SESSION (default 5)."), QStringLiteral("S")},
        {QStringLiteral("burst"), QStringLiteral("Adds in the durability burst (default 1000)."), QStringLiteral("N")},
        {QStringLiteral("burst-clients"), QStringLiteral("Clients that send the burst at once (default 100)."), QStringLiteral("N")},
        {QStringLiteral("zendral"), QStringLiteral("The service program: zendrald (the default, beside zendral-bench) or\nthe windowed zendral, which is started with -a."), QStringLiteral("PATH")},
        {QStringLiteral("beanstalkd"), QStringLiteral("The beanstalkd program (default: from PATH)."), QStringLiteral("PATH")},
        {QStringLiteral("skip-beanstalkd"), QStringLiteral("Does not run beanstalkd.")},
        {QStringLiteral("skip-floor"), QStringLiteral("Does not run zendral-floor, the reference for what a folder and a file\nper job allow on this machine.")},
        {QStringLiteral("skip-poll"), QStringLiteral("Does not measure list latency.")},
        {QStringLiteral("skip-memory"), QStringLiteral("Does not measure the large uploads.")},
        {QStringLiteral("skip-durability"), QStringLiteral("Does not run the burst with kill -9.")},
        {QStringLiteral("cluster"), QStringLiteral("Runs only the cluster comparison: adds/s and engine runs/s of the file "
                                                   "store beside a shared queue on PostgreSQL with 1, 2 and 3 nodes.")},
        {QStringLiteral("cluster-seconds"), QStringLiteral("Seconds of adds per cluster measurement (default 5)."), QStringLiteral("S")},
        {QStringLiteral("cluster-runs"), QStringLiteral("Engine runs per cluster measurement (default 100)."), QStringLiteral("N")},
    });
    if (!parser.parse(arguments)) {
        text = parser.errorText();
        return Outcome::Error;
    }
    if (parser.isSet(help)) {
        text = parser.helpText();
        return Outcome::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        text = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return Outcome::Error;
    }
    if (!Number(parser, QStringLiteral("jobs"), 1, options.jobs, text)
        || !Number(parser, QStringLiteral("window"), 1, options.window, text)
        || !Number(parser, QStringLiteral("clients"), 1, options.clients, text)
        || !Number(parser, QStringLiteral("pollers"), 1, options.pollers, text)
        || !Number(parser, QStringLiteral("poll-seconds"), 1, options.pollSeconds, text)
        || !Number(parser, QStringLiteral("burst"), 1, options.burst, text)
        || !Number(parser, QStringLiteral("burst-clients"), 1, options.burstClients, text)
        || !Number(parser, QStringLiteral("cluster-seconds"), 1, options.clusterSeconds, text)
        || !Number(parser, QStringLiteral("cluster-runs"), 1, options.clusterRuns, text))
        return Outcome::Error;
    // Client addresses are 127.0.<block>.1 ... 127.0.<block>.N.
    if (options.clients > 254 || options.pollers > 254 || options.burstClients > 254) {
        text = QStringLiteral("--clients, --pollers and --burst-clients: at most 254");
        return Outcome::Error;
    }
    if (options.window > options.jobs) {
        text = QStringLiteral("--window must not exceed --jobs");
        return Outcome::Error;
    }
    options.zendral = parser.value(QStringLiteral("zendral"));
    options.beanstalkd = parser.value(QStringLiteral("beanstalkd"));
    options.skipBeanstalkd = parser.isSet(QStringLiteral("skip-beanstalkd"));
    options.skipFloor = parser.isSet(QStringLiteral("skip-floor"));
    options.skipPoll = parser.isSet(QStringLiteral("skip-poll"));
    options.skipMemory = parser.isSet(QStringLiteral("skip-memory"));
    options.skipDurability = parser.isSet(QStringLiteral("skip-durability"));
    options.cluster = parser.isSet(QStringLiteral("cluster"));
    return Outcome::Run;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
