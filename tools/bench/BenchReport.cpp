#include "BenchReport.h"

#include "Console.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
const double MiB = 1024.0 * 1024.0;

QString Number(double value, int decimals = 1)
{
    return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', decimals);
}

// A ratio with enough digits to tell a small one from zero.
QString Ratio(double value)
{
    return Number(value, value >= 0 && value < 0.1 ? 4 : 2);
}

// One row of the targets table.
QString TargetRow(const QString &what, const QString &value, const QString &target, const QString &verdict)
{
    return QStringLiteral("  %1 %2 %3 %4").arg(what, -46).arg(value, 9).arg(target, -10).arg(verdict);
}

QString Verdict(bool measured, bool met)
{
    return !measured ? QStringLiteral("not measured") : met ? QStringLiteral("met") : QStringLiteral("NOT MET");
}
} // namespace

BenchReport::BenchReport(const BenchOptions &options, const QString &setting)
    : options(options)
    , setting(setting)
{
}

void BenchReport::Print() const
{
    Console::Result(QStringLiteral("zendral-bench: %1 adding clients, 1 KiB documents, queues filled to %2 jobs, window %3")
                        .arg(options.clients)
                        .arg(options.jobs)
                        .arg(options.window));
    Console::Result(setting);
    PrintWindows();
    PrintPoll();
    PrintUploads();
    PrintDurability();
    PrintTargets();
}

const FillRun::Result *BenchReport::Fill(const QString &server) const
{
    for (const FillRun::Result &fill : fills) {
        if (fill.server == server)
            return &fill;
    }
    return nullptr;
}

void BenchReport::PrintWindows() const
{
    if (fills.isEmpty())
        return;
    Console::Result(QString());
    Console::Result(QStringLiteral("Adds/s per window of queued jobs (request/reply, one add in flight per client)"));
    QString header = QStringLiteral("  %1").arg(QStringLiteral("queued jobs"), -14);
    int windows = 0;
    for (const FillRun::Result &fill : fills) {
        header += QStringLiteral(" %1").arg(fill.server, 20);
        windows = qMax(windows, fill.windowRates.size());
    }
    Console::Result(header);
    for (int w = 0; w < windows; ++w) {
        QString row = QStringLiteral("  %1").arg(QStringLiteral("%1-%2").arg(w * options.window).arg((w + 1) * options.window), -14);
        for (const FillRun::Result &fill : fills)
            row += QStringLiteral(" %1").arg(Number(fill.windowRates.value(w, -1)), 20);
        Console::Result(row);
    }
    QString cpu = QStringLiteral("  %1").arg(QStringLiteral("CPU/add, ms"), -14);
    QString client = QStringLiteral("  %1").arg(QStringLiteral("bench CPU/add"), -14);
    QString refused = QStringLiteral("  %1").arg(QStringLiteral("refused adds"), -14);
    for (const FillRun::Result &fill : fills) {
        cpu += QStringLiteral(" %1").arg(Number(fill.cpuPerAddMs, 3), 20);
        client += QStringLiteral(" %1").arg(Number(fill.clientCpuPerAddMs, 3), 20);
        refused += QStringLiteral(" %1").arg(fill.refused, 20);
    }
    Console::Result(cpu + QStringLiteral("   (server CPU, all threads, over the last window)"));
    QStringList roles;
    QString flushes = QStringLiteral("  %1").arg(QStringLiteral("flushes/1000"), -14);
    for (const FillRun::Result &fill : fills) {
        flushes += QStringLiteral(" %1").arg(Number(fill.flushesPer1000, 1), 20);
        for (const QString &role : fill.threadCpuPerAddMs.keys()) {
            if (!roles.contains(role))
                roles << role;
        }
    }
    for (const QString &role : qAsConst(roles)) {
        QString row = QStringLiteral("   %1").arg(role, -13);
        for (const FillRun::Result &fill : fills)
            row += QStringLiteral(" %1").arg(Number(fill.threadCpuPerAddMs.value(role, -1), 3), 20);
        Console::Result(row + QStringLiteral("   (CPU/add of these threads, ms)"));
    }
    bool byService = false;
    for (const FillRun::Result &fill : fills)
        byService = byService || fill.flushesByService;
    Console::Result(flushes
                    + (byService ? QStringLiteral("   (journal flushes per 1,000 adds over the fill; the service's count, /metrics)")
                                 : QStringLiteral("   (fsync, fdatasync, syncfs, ... per 1,000 adds over the fill)")));
    Console::Result(client + QStringLiteral("   (the clients' CPU, one thread, same window)"));
    Console::Result(refused);
}

void BenchReport::PrintPoll() const
{
    if (!poll)
        return;
    Console::Result(QString());
    Console::Result(QStringLiteral("Zendral requests while %1 clients add (%2 pollers, %3 to %4 jobs queued)")
                        .arg(options.clients)
                        .arg(options.pollers)
                        .arg(poll->queuedAtStart)
                        .arg(poll->queuedAtEnd));
    Console::Result(QStringLiteral("  GET_NESTER_JOB_LIST  p50 %1 ms  p99 %2 ms  (%3 replies)")
                        .arg(Number(poll->list.PercentileMs(50), 2))
                        .arg(Number(poll->list.PercentileMs(99), 2))
                        .arg(poll->list.Count()));
    Console::Result(QStringLiteral("  INIT_SESSION         p50 %1 ms  p99 %2 ms  (%3 replies)")
                        .arg(Number(poll->init.PercentileMs(50), 2))
                        .arg(Number(poll->init.PercentileMs(99), 2))
                        .arg(poll->init.Count()));
    if (poll->refused > 0)
        Console::Result(QStringLiteral("  refused: %1").arg(poll->refused));
}

void BenchReport::PrintUploads() const
{
    if (uploads.isEmpty())
        return;
    Console::Result(QString());
    Console::Result(QStringLiteral("Zendral large uploads (one ADD_NESTER_JOB on an idle service)"));
    for (const UploadRun::Upload &upload : uploads) {
        const double peak = upload.peakBytes < 0 ? -1 : (upload.peakBytes - upload.idleBytes) / MiB;
        Console::Result(QStringLiteral("  %1 MiB: %2, reply after %3 s, peak %4 MiB above idle (%5 MiB) = %6x the document; stored file %7")
                            .arg(upload.size / MiB, 0, 'f', 0)
                            .arg(upload.accepted ? QStringLiteral("accepted") : QStringLiteral("REFUSED (%1)").arg(upload.refusal))
                            .arg(upload.replySeconds, 0, 'f', 2)
                            .arg(Number(peak))
                            .arg(Number(upload.idleBytes < 0 ? -1 : upload.idleBytes / MiB))
                            .arg(Number(peak < 0 ? -1 : peak * MiB / upload.size, 2))
                            .arg(upload.stored));
    }
}

void BenchReport::PrintDurability() const
{
    if (!durability)
        return;
    Console::Result(QString());
    Console::Result(QStringLiteral("Zendral group commit and durability (burst of %1 adds from %2 clients, then kill -9 and a restart)")
                        .arg(durability->burst)
                        .arg(durability->clients));
    if (durability->flushes.isEmpty()) {
        Console::Result(QStringLiteral("  flushes: not counted (%1)").arg(durability->notCounted));
    } else {
        qint64 total = 0;
        QStringList parts;
        for (auto it = durability->flushes.cbegin(); it != durability->flushes.cend(); ++it) {
            total += it.value();
            if (it.value() > 0)
                parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
        }
        Console::Result(QStringLiteral("  flushes during the burst: %1 (%2; %3)")
                            .arg(total)
                            .arg(parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", ")))
                            .arg(durability->flushesByService
                                     ? QStringLiteral("the service's own count of its group commits, /metrics")
                                     : QStringLiteral("counted by perf, which does not stop the service")));
    }
    // With one add in flight per client, one flush can cover at most one add
    // of each client.
    Console::Result(QStringLiteral("  (a flush covers at most %1 adds here, one per client: at least %2 group commits per 1,000 adds)")
                        .arg(durability->clients)
                        .arg((1000 + durability->clients - 1) / durability->clients));
    Console::Result(QStringLiteral("  acknowledged %1, refused %2; listed after the restart %3; lost %4")
                        .arg(durability->accepted)
                        .arg(durability->refused)
                        .arg(durability->listedAfterRestart)
                        .arg(durability->lost.size()));
    for (const QString &id : durability->lost.mid(0, 5))
        Console::Result(QStringLiteral("    lost: %1").arg(id));
}

void BenchReport::PrintTargets() const
{
    Console::Result(QString());
    Console::Result(QStringLiteral("Targets"));
    const FillRun::Result *zendral = Fill(QStringLiteral("Zendral"));
    const FillRun::Result *always = Fill(QStringLiteral("beanstalkd -b -f0"));
    const FillRun::Result *binlog = Fill(QStringLiteral("beanstalkd -b"));
    // The window that ends at the full queue; unmeasured when a fill stopped early.
    const int windows = options.jobs / options.window;
    auto last = [windows](const FillRun::Result *fill) { return fill ? fill->windowRates.value(windows - 1, -1.0) : -1.0; };
    auto ratio = [](double a, double b) { return a < 0 || b <= 0 ? -1.0 : a / b; };
    const QString lastWindow = QStringLiteral("%1-%2").arg((windows - 1) * options.window).arg(windows * options.window);

    const double flat = zendral && !zendral->windowRates.isEmpty() ? ratio(last(zendral), zendral->windowRates.first()) : -1;
    Console::Result(TargetRow(QStringLiteral("adds/s %1 / 0-%2 (Zendral)").arg(lastWindow).arg(options.window),
                              Ratio(flat), QStringLiteral(">= 0.9"), Verdict(flat >= 0, flat >= 0.9)));
    const double versusAlways = ratio(last(zendral), last(always));
    Console::Result(TargetRow(QStringLiteral("adds/s Zendral / beanstalkd -b -f0 (%1)").arg(lastWindow),
                              Ratio(versusAlways), QStringLiteral(">= 1.2"), Verdict(versusAlways >= 0, versusAlways >= 1.2)));
    const double versusBinlog = ratio(last(zendral), last(binlog));
    Console::Result(TargetRow(QStringLiteral("adds/s Zendral / beanstalkd -b (%1)").arg(lastWindow),
                              Ratio(versusBinlog), QStringLiteral(">= 0.25"), Verdict(versusBinlog >= 0, versusBinlog >= 0.25)));
    // No target of its own: how far the layout alone lets any server go.
    if (const FillRun::Result *floor = Fill(QStringLiteral("zendral-floor"))) {
        const double floorVersusBinlog = ratio(last(floor), last(binlog));
        Console::Result(TargetRow(QStringLiteral("adds/s zendral-floor / beanstalkd -b (%1)").arg(lastWindow),
                                  Ratio(floorVersusBinlog), QStringLiteral("reference"),
                                  QStringLiteral("the most a folder and a file per job allow here")));
        const double versusFloor = ratio(last(zendral), last(floor));
        Console::Result(TargetRow(QStringLiteral("adds/s Zendral / zendral-floor (%1)").arg(lastWindow),
                                  Ratio(versusFloor), QStringLiteral("reference"),
                                  QStringLiteral("how near the service comes to it")));
    }
    const double cpu = last(zendral) >= 0 ? zendral->cpuPerAddMs : -1;
    Console::Result(TargetRow(QStringLiteral("service CPU per add at %1 jobs, ms").arg(windows * options.window),
                              Number(cpu, 3), QStringLiteral("<= 0.2"), Verdict(cpu >= 0, cpu <= 0.2)));

    const double listRatio = poll ? ratio(poll->list.PercentileMs(99), poll->init.PercentileMs(50)) : -1;
    Console::Result(TargetRow(QStringLiteral("list p99 / INIT p50"), Ratio(listRatio), QStringLiteral("<= 5"),
                              Verdict(listRatio >= 0, listRatio <= 5)));

    if (!uploads.isEmpty()) {
        const UploadRun::Upload &first = uploads.first();
        const double peak = first.peakBytes < 0 ? -1 : double(first.peakBytes - first.idleBytes) / first.size;
        Console::Result(TargetRow(QStringLiteral("upload %1 MiB: peak above idle / document").arg(first.size / MiB, 0, 'f', 0),
                                  Ratio(peak), QStringLiteral("<= 3"), Verdict(peak >= 0, peak <= 3)));
        Console::Result(TargetRow(QStringLiteral("upload %1 MiB: seconds to the reply").arg(first.size / MiB, 0, 'f', 0),
                                  Number(first.replySeconds, 2), QStringLiteral("not slower"),
                                  QStringLiteral("compare with the earlier version's run")));
        for (const UploadRun::Upload &upload : uploads.mid(1)) {
            const bool intact = upload.accepted && upload.stored == QLatin1String("intact");
            Console::Result(TargetRow(QStringLiteral("upload %1 MiB accepted, stored intact").arg(upload.size / MiB, 0, 'f', 0),
                                      intact ? QStringLiteral("yes") : QStringLiteral("no"), QStringLiteral("yes"),
                                      Verdict(true, intact)));
        }
    } else {
        Console::Result(TargetRow(QStringLiteral("upload: peak above idle / document"), Number(-1), QStringLiteral("<= 3"),
                                  Verdict(false, false)));
    }

    if (durability) {
        qint64 total = 0;
        for (const qint64 count : durability->flushes)
            total += count;
        const double perThousand = durability->flushes.isEmpty() || durability->accepted == 0
            ? -1
            : total * 1000.0 / durability->accepted;
        Console::Result(TargetRow(QStringLiteral("flushes per 1,000 adds (burst, %1 clients)").arg(durability->clients), Number(perThousand, 1),
                                  QStringLiteral("< 30"), Verdict(perThousand >= 0, perThousand < 30)));
        Console::Result(TargetRow(QStringLiteral("acknowledged adds lost after kill -9"),
                                  QString::number(durability->lost.size()), QStringLiteral("0"),
                                  Verdict(true, durability->lost.isEmpty())));
    } else {
        Console::Result(TargetRow(QStringLiteral("flushes per 1,000 adds (burst)"), Number(-1), QStringLiteral("< 30"),
                                  Verdict(false, false)));
    }
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
