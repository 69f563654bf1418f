// The benchmark's CPU time per thread role: a thread's share of a short
// window is measured to well under a clock tick.

#include "ProcessStats.h"

#include <QFile>
#include <QtTest>

#include <ctime>
#include <thread>

#include <sys/prctl.h>
#include <unistd.h>

using Orvane::Zendral::Bench::ProcessStats;

namespace {

double ThreadCpu()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

class TestProcessStats : public QObject
{
    Q_OBJECT
private slots:
    // A thread named as a session spends 25 ms of CPU (its own clock says
    // so): the sessions' time grows by that, not by a whole number of 10 ms
    // ticks (20 or 30).
    void sessionTimeToTheMillisecond()
    {
        if (!QFile::exists(QStringLiteral("/proc/self/task/%1/sched").arg(gettid())))
            QSKIP("this kernel does not show the scheduler's times");
        const qint64 pid = getpid();
        double spent = 0;
        double before = 0;
        double after = 0;
        std::thread session([&] {
            prctl(PR_SET_NAME, "session-test");
            before = ProcessStats::ThreadCpuSeconds(pid).value(QStringLiteral("sessions"));
            const double start = ThreadCpu();
            while (ThreadCpu() - start < 0.025) {
            }
            spent = ThreadCpu() - start;
            after = ProcessStats::ThreadCpuSeconds(pid).value(QStringLiteral("sessions"));
        });
        session.join();
        QVERIFY2(qAbs((after - before) - spent) < 0.003,
                 qPrintable(QStringLiteral("counted %1 s for %2 s").arg(after - before).arg(spent)));
    }
};

QTEST_GUILESS_MAIN(TestProcessStats)
#include "tst_processstats.moc"
