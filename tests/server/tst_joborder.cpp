// The queue's order against a plain list: random appends, inserts, removals,
// moves, state changes and records replaced by copies over enough records
// to split and merge blocks; after each step every index, waiting place and
// the first waiting index agree with the list.

#include "JobOrder.h"
#include "NesterJob.h"

#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <vector>

using namespace Orvane::Zendral;

class TestJobOrder : public QObject
{
    Q_OBJECT
private slots:
    void agreesWithAPlainList();
};

void TestJobOrder::agreesWithAPlainList()
{
    std::vector<std::unique_ptr<NesterJob>> records;
    QList<NesterJob *> list;
    JobOrder order;
    QRandomGenerator random(7);
    auto check = [&](int step) {
        QCOMPARE(order.Size(), list.size());
        int place = 1;
        int firstWaiting = -1;
        for (int i = 0; i < list.size(); ++i) {
            NesterJob *job = list.at(i);
            if (order.At(i) != job || order.IndexOf(job) != i)
                QFAIL(qPrintable(QStringLiteral("step %1: index %2 differs").arg(step).arg(i)));
            const int expected = job->IsWaiting() ? place++ : 0;
            if (order.WaitingPlace(job) != expected)
                QFAIL(qPrintable(QStringLiteral("step %1: waiting place of %2 differs").arg(step).arg(i)));
            if (firstWaiting < 0 && job->IsWaiting())
                firstWaiting = i;
        }
        QCOMPARE(order.FirstWaitingIndex(), firstWaiting);
    };
    for (int step = 0; step < 6000; ++step) {
        const int action = int(random.bounded(10));
        if (list.size() < 50 || action < 4) {
            records.push_back(std::make_unique<NesterJob>());
            NesterJob *job = records.back().get();
            job->state = random.bounded(3) == 0 ? NesterJob::Finished : NesterJob::Waiting;
            const int at = action % 2 ? list.size() : int(random.bounded(list.size() + 1));
            list.insert(at, job);
            order.Insert(at, job);
        } else if (action < 6) {
            NesterJob *job = list.takeAt(int(random.bounded(list.size())));
            order.Remove(job);
        } else if (action < 8) {
            const int from = int(random.bounded(list.size()));
            const int to = int(random.bounded(list.size()));
            list.move(from, to);
            order.Move(from, to);
        } else if (action < 9) {
            NesterJob *job = list.at(int(random.bounded(list.size())));
            job->state = job->IsWaiting() ? NesterJob::Running : NesterJob::Waiting;
            order.Touch(job);
        } else {
            // A record replaced by a newer copy of itself whose state may
            // differ (a mirror's put of a job that started elsewhere).
            const int at = int(random.bounded(list.size()));
            records.push_back(std::make_unique<NesterJob>());
            NesterJob *copy = records.back().get();
            copy->state = random.bounded(2) ? NesterJob::Running : NesterJob::Waiting;
            order.Replace(list.at(at), copy);
            list[at] = copy;
        }
        if (step % 97 == 0 || list.size() < 60)
            check(step);
    }
    check(-1);
    // Emptied at random places (blocks shrink and merge), still agreeing.
    for (int step = 0; !list.isEmpty(); ++step) {
        order.Remove(list.takeAt(int(random.bounded(list.size()))));
        if (!list.isEmpty() && step % 3 == 0) {
            NesterJob *job = list.at(int(random.bounded(list.size())));
            job->state = job->IsWaiting() ? NesterJob::Running : NesterJob::Waiting;
            order.Touch(job);
        }
        if (step % 41 == 0)
            check(10000 + step);
    }
    QCOMPARE(order.Size(), 0);
    QCOMPARE(order.FirstWaitingIndex(), -1);
}

QTEST_APPLESS_MAIN(TestJobOrder)
#include "tst_joborder.moc"
