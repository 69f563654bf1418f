#include "BenchRun.h"

#include "AdderPool.h"
#include "BeanstalkWire.h"
#include "BeanstalkdService.h"
#include "BenchDocument.h"
#include "BenchFailure.h"
#include "BenchReport.h"
#include "ClusterBench.h"
#include "Console.h"
#include "DurabilityRun.h"
#include "FillRun.h"
#include "FlushCounter.h"
#include "PollRun.h"
#include "ProcessStats.h"
#include "ScratchFolder.h"
#include "UploadRun.h"
#include "ZendralService.h"
#include "ZendralWire.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <memory>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int DocumentSize = 1024;
// The same 1 KiB document for every server.
constexpr quint64 DocumentSeed = 1;

// A program built beside zendral-bench; QStandardPaths adds the platform's
// executable suffix (".exe" on Windows). `remedy` ends the error message.
QString BesideBench(const QString &name, const QString &remedy)
{
    const QString folder = QCoreApplication::applicationDirPath();
    const QString program = QStandardPaths::findExecutable(name, {folder});
    if (program.isEmpty())
        throw BenchFailure{QStringLiteral("no %1 beside %2 (%3)").arg(name, folder, remedy)};
    return program;
}
} // namespace

BenchRun::BenchRun(const BenchOptions &options)
    : options(options)
{
}

void BenchRun::Execute()
{
    ScratchFolder scratch;
    const QString program = ProgramCopy(scratch);
    if (options.cluster) {
        RunCluster(scratch, program);
        return;
    }
    // Found before anything starts, so that a missing program fails at once.
    const QString beanstalkd = options.skipBeanstalkd ? QString() : Beanstalkd();
    const QString floor =
        options.skipFloor ? QString() : BesideBench(QStringLiteral("zendral-floor"), QStringLiteral("build it, or give --skip-floor"));
    BenchReport report(options, QStringLiteral("scratch folder %1 (%2), %3 processors")
                                    .arg(scratch.Path(), scratch.FileSystemType())
                                    .arg(QThread::idealThreadCount()));
    try {
        if (!options.skipBeanstalkd) {
            RunBeanstalkd(scratch, report, beanstalkd, QStringLiteral("beanstalkd -b"), {});
            RunBeanstalkd(scratch, report, beanstalkd, QStringLiteral("beanstalkd -b -f0"), {QStringLiteral("-f0")});
        }
        // It speaks beanstalkd's put and takes its options.
        if (!options.skipFloor)
            RunBeanstalkd(scratch, report, floor, QStringLiteral("zendral-floor"), {});
        RunZendralFill(scratch, report, program);
        if (!options.skipMemory)
            RunUploads(scratch, report, program);
        if (!options.skipDurability) {
            report.SetDurability(
                DurabilityRun::Run(program, scratch.Make(QStringLiteral("zendral-durability")), options.burstClients, options.burst));
        }
    } catch (const BenchFailure &) {
        report.Print();
        throw;
    }
    report.Print();
}

void BenchRun::RunBeanstalkd(ScratchFolder &scratch, BenchReport &report, const QString &program, const QString &name,
                             const QStringList &extra)
{
    const QString folder = scratch.Make(QString(name).replace(QLatin1Char(' '), QString()));
    BeanstalkdService server(program, folder, extra, QFileInfo(program).baseName());
    server.Start();
    const BeanstalkWire wire(name);
    AdderPool adders(wire, options.clients, BenchDocument::Make(DocumentSize, DocumentSeed));
    adders.Open(server.Port());
    Fill(report, name, adders, server.Pid());
}

// The service runs under the flush counter when perf can count here: the
// fill's flushes per 1,000 adds go beside its adds/s.
void BenchRun::RunZendralFill(ScratchFolder &scratch, BenchReport &report, const QString &program)
{
    const QString root = scratch.Make(QStringLiteral("zendral-fill"));
    std::unique_ptr<FlushCounter> counter;
    QString notCounted;
    if (!FlushCounter::Program(&notCounted).isEmpty())
        counter.reset(new FlushCounter(root));
    ZendralService service(program, root);
    try {
        service.Start(counter ? counter->WrapperCommand() : QStringList());
    } catch (const BenchFailure &) {
        if (!counter)
            throw;
        counter.reset();
        service.Start();
    }
    const ZendralWire wire;
    AdderPool adders(wire, options.clients, BenchDocument::Make(DocumentSize, DocumentSeed));
    adders.Open(service.Port());
    if (counter)
        counter->Enable();
    // Without perf the service's own count of its journal flushes stands in.
    const qint64 journalBefore = counter ? -1 : service.JournalFlushes();
    const int before = adders.Accepted();
    FillRun::Result *fill = Fill(report, wire.Name(), adders, service.Pid(), true);
    const int added = adders.Accepted() - before;
    if (counter)
        counter->Disable();
    const qint64 journalAfter = journalBefore < 0 ? -1 : service.JournalFlushes();
    if (journalAfter >= journalBefore && journalBefore >= 0 && added > 0) {
        fill->flushesPer1000 = (journalAfter - journalBefore) * 1000.0 / added;
        fill->flushesByService = true;
    }
    if (!options.skipPoll) {
        PollRun poll(wire, options.pollers);
        report.SetPoll(poll.Run(service.Port(), adders, adders.Accepted(), options.pollSeconds));
    }
    if (counter && added > 0) {
        service.Stop();
        qint64 flushes = 0;
        for (qint64 count : counter->Read())
            flushes += count;
        fill->flushesPer1000 = flushes * 1000.0 / added;
    }
}

FillRun::Result *BenchRun::Fill(BenchReport &report, const QString &server, AdderPool &adders, qint64 pid,
                                bool byThread)
{
    FillRun::Result fill;
    fill.server = server;
    std::function<QMap<QString, double>()> threads;
    if (byThread)
        threads = [pid] { return ProcessStats::ThreadCpuSeconds(pid); };
    try {
        FillRun::Run(adders, options.jobs, options.window, [pid] { return ProcessStats::CpuSeconds(pid); }, fill,
                     threads);
    } catch (const BenchFailure &) {
        report.AddFill(fill);
        throw;
    }
    return report.AddFill(fill);
}

void BenchRun::RunUploads(ScratchFolder &scratch, BenchReport &report, const QString &program)
{
    ZendralService service(program, scratch.Make(QStringLiteral("zendral-upload")));
    service.Start();
    report.SetUploads(UploadRun::Run(service, options.uploadSizes));
}

QString BenchRun::ProgramCopy(ScratchFolder &scratch) const
{
    // The headless service, as it runs in production. QStandardPaths adds
    // the platform's executable suffix (".exe" on Windows).
    const QString built = options.zendral.isEmpty()
        ? QStandardPaths::findExecutable(QStringLiteral("zendrald"), {QCoreApplication::applicationDirPath()})
        : options.zendral;
    if (built.isEmpty() || !QFileInfo(built).isExecutable()) {
        throw BenchFailure{options.zendral.isEmpty()
                               ? QStringLiteral("no zendrald program beside %1 (build it, or give --zendral)")
                                     .arg(QCoreApplication::applicationDirPath())
                               : QStringLiteral("%1 is not a program").arg(options.zendral)};
    }
    const QString copy = QDir(scratch.Make(QStringLiteral("bin"))).filePath(QFileInfo(built).fileName());
    if (!QFile::copy(built, copy))
        throw BenchFailure{QStringLiteral("cannot copy %1 to %2").arg(built, copy)};
    return copy;
}

void BenchRun::RunCluster(ScratchFolder &scratch, const QString &program)
{
    const QString engine = BesideBench(QStringLiteral("zendral-stub-engine"), QStringLiteral("build it"));
    Console::Result(QStringLiteral("zendral-bench --cluster: scratch folder %1 (%2), %3 processors")
                        .arg(scratch.Path(), scratch.FileSystemType())
                        .arg(QThread::idealThreadCount()));
    ClusterBench bench(program, engine, options.clients, options.clusterSeconds, options.clusterRuns);
    try {
        bench.Run(scratch);
    } catch (const BenchFailure &) {
        bench.Print();
        throw;
    }
    bench.Print();
}

QString BenchRun::Beanstalkd() const
{
    const QString program =
        options.beanstalkd.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("beanstalkd")) : options.beanstalkd;
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        throw BenchFailure{QStringLiteral("no beanstalkd program (apt-get install beanstalkd, or give --beanstalkd, or --skip-beanstalkd)")};
    return program;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
