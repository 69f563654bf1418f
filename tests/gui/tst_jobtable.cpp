// Job table: one row touched per job change at 10,000 jobs, structural
// changes and syncs that keep rows and the selection on their jobs, sizing
// and repainting after a language change, cell texts and styles by state,
// and job names that are or are not Base64.
#include "JobTableModel.h"
#include "JobTableWidget.h"
#include "NesterJob.h"

#include <QFont>
#include <QHeaderView>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

using Orvane::Zendral::JobTableModel;
using Orvane::Zendral::JobTableWidget;
using Orvane::Zendral::NesterJob;

namespace {

QString encodeName(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// Owns the records the model is given, as the queue does.
struct Records
{
    std::vector<std::unique_ptr<NesterJob>> owned;

    NesterJob *make(const QString &id)
    {
        owned.emplace_back(new NesterJob);
        NesterJob *job = owned.back().get();
        job->job_id = id;
        job->job_name = id;
        job->from = QStringLiteral("127.0.0.1");
        job->submit_time = QDateTime(QDate(2026, 12, 6), QTime(20, 15, 13));
        return job;
    }
    QList<NesterJob *> make(int count, const QString &prefix = QStringLiteral("j"))
    {
        QList<NesterJob *> jobs;
        for (int i = 0; i < count; ++i)
            jobs << make(prefix + QString::number(i));
        return jobs;
    }
};

QStringList order(const JobTableModel *model)
{
    QStringList ids;
    for (int r = 0; r < model->rowCount(); ++r)
        ids << model->index(r, 0).data(JobTableModel::JobIdRole).toString();
    return ids;
}

QStringList idsOf(const QList<NesterJob *> &jobs)
{
    QStringList ids;
    for (const NesterJob *job : jobs)
        ids << job->job_id;
    return ids;
}

} // namespace

class TestJobTable : public QObject
{
    Q_OBJECT
private slots:
    void oneChangeTouchesOneRow()
    {
        Records records;
        JobTableModel model;
        const QList<NesterJob *> jobs = records.make(10000);
        model.resetJobs(jobs);
        QCOMPARE(model.rowCount(), 10000);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

        jobs[7000]->completed = 42;
        model.jobChanged(jobs[7000]);
        QCOMPARE(changed.size(), 1);
        const QModelIndex from = changed[0][0].toModelIndex(), to = changed[0][1].toModelIndex();
        QCOMPARE(from, model.index(7000, 0));
        QCOMPARE(to, model.index(7000, JobTableModel::ColumnCount - 1));
        QCOMPARE(model.index(7000, JobTableModel::ProgressColumn).data().toInt(), 42);

        // After rows shifted the change still lands on the job's new row.
        model.insertJob(0, records.make(QStringLiteral("new")));
        model.removeJob(5000);
        model.moveJob(9000, 1);
        changed.clear();
        model.jobChanged(jobs[7000]);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed[0][0].toModelIndex().row(), 7001);
        QCOMPARE(model.jobAt(7001), jobs[7000]);
        QCOMPARE(model.rowOf(jobs[9000]), 1);
        // A record the model does not show changes nothing.
        model.jobChanged(jobs[5000 - 1]);
        model.jobChanged(records.make(QStringLiteral("stranger")));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(model.rowOf(jobs[5000 - 1]), -1);
    }

    // Insert, remove and move keep the rows in QList's order and the
    // selection on its job; columns are sized once, not at every change.
    void operationsKeepSelection()
    {
        Records records;
        JobTableWidget table;
        table.setSelectionBehavior(QAbstractItemView::SelectRows);
        table.resize(1300, 300); // room for every column's sample text, the Node column too
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        JobTableModel *model = table.jobModel();
        QList<NesterJob *> expected = records.make(5);
        model->resetJobs(expected);
        table.selectRow(2);
        QCOMPARE(table.selectedJobId(), QStringLiteral("j2"));

        auto check = [&](const QString &selected) {
            QCOMPARE(order(model), idsOf(expected));
            QCOMPARE(table.selectedJobId(), selected);
        };
        NesterJob *x = records.make(QStringLiteral("x"));
        model->insertJob(0, x);
        expected.insert(0, x);
        check("j2");
        model->moveJob(3, 0); // the selected job to the top
        expected.move(3, 0);
        check("j2");
        model->moveJob(0, 5); // ... and to the bottom
        expected.move(0, 5);
        check("j2");
        model->moveJob(1, 3);
        expected.move(1, 3);
        check("j2");
        model->removeJob(0);
        expected.removeAt(0);
        check("j2");
        model->removeJob(model->rowOf(expected.last()));
        expected.removeLast();
        check(QString());

        // Sized once when filled; a long name later does not re-measure.
        QTRY_VERIFY(table.columnWidth(JobTableModel::SubmitTimeColumn)
                    >= table.fontMetrics().horizontalAdvance(QStringLiteral("2026-12-06 20:15:13")));
        const int nameWidth = table.columnWidth(JobTableModel::JobNameColumn);
        expected.first()->job_name = QString(200, QLatin1Char('n'));
        model->jobChanged(expected.first());
        model->insertJob(0, records.make(QString(200, QLatin1Char('m'))));
        QTest::qWait(50);
        QCOMPARE(table.columnWidth(JobTableModel::JobNameColumn), nameWidth);
        QCOMPARE(table.horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);

        // A language change repaints the translated cells of every row.
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        QEvent languageChange(QEvent::LanguageChange);
        QCoreApplication::sendEvent(&table, &languageChange);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed[0][0].toModelIndex(), model->index(0, JobTableModel::StateColumn));
        QCOMPARE(changed[0][1].toModelIndex(), model->index(model->rowCount() - 1, JobTableModel::BudgetColumn));
    }

    // Random removals, additions and reorders: the rows equal the list, the
    // selected job stays selected while it is in the list, and a single
    // Up/Top/Bottom is one move.
    void syncFollowsTheList()
    {
        Records records;
        JobTableWidget table;
        table.setSelectionBehavior(QAbstractItemView::SelectRows);
        JobTableModel *model = table.jobModel();
        QList<NesterJob *> list = records.make(40);
        model->syncJobs(list);
        QCOMPARE(order(model), idsOf(list));

        QRandomGenerator random(20261206);
        int added = 0;
        for (int round = 0; round < 200; ++round) {
            if (!list.isEmpty() && table.selectedJobId().isEmpty())
                table.selectRow(random.bounded(list.size()));
            const QString selected = table.selectedJobId();
            for (int k = random.bounded(3); k > 0 && !list.isEmpty(); --k)
                list.removeAt(random.bounded(list.size()));
            for (int k = random.bounded(3); k > 0; --k)
                list.insert(random.bounded(list.size() + 1), records.make(QStringLiteral("n%1").arg(added++)));
            if (round % 5 == 0) {
                std::shuffle(list.begin(), list.end(), random);
            } else if (list.size() > 1) {
                list.move(random.bounded(list.size()), random.bounded(list.size()));
            }
            model->syncJobs(list);
            QCOMPARE(order(model), idsOf(list));
            QCOMPARE(model->rowOf(list.value(list.size() / 2)), list.isEmpty() ? -1 : list.size() / 2);
            if (idsOf(list).contains(selected))
                QCOMPARE(table.selectedJobId(), selected);
        }

        list = records.make(10, QStringLiteral("m"));
        model->syncJobs(list);
        QSignalSpy moved(model, &QAbstractItemModel::rowsMoved);
        for (auto step : {std::make_pair(9, 0), std::make_pair(0, 9), std::make_pair(5, 4)}) {
            list.move(step.first, step.second);
            model->syncJobs(list);
            QCOMPARE(order(model), idsOf(list));
        }
        QCOMPARE(moved.size(), 3);
        // A repeated or null record is shown once.
        model->syncJobs({list[0], nullptr, list[1], list[0]});
        QCOMPARE(order(model), (QStringList{list[0]->job_id, list[1]->job_id}));
        model->syncJobs({});
        QCOMPARE(model->rowCount(), 0);
    }

    void cellsByState()
    {
        Records records;
        JobTableModel model;
        QList<NesterJob *> jobs = records.make(4);
        jobs[0]->job_name = encodeName(QStringLiteral("Shirts::Order 7"));
        jobs[0]->time = 90;
        jobs[0]->efficient = 87.345678;
        jobs[0]->completed = 99.9;
        jobs[1]->state = NesterJob::Running;
        jobs[1]->efficient = 0.8734;
        jobs[1]->completed = std::nan("");
        jobs[2]->state = NesterJob::Finished;
        jobs[2]->completed = 150;
        jobs[3]->state = NesterJob::Failed;
        jobs[3]->error = QStringLiteral("engine exited with code 3");
        jobs[3]->completed = -4;
        model.resetJobs(jobs);
        auto cell = [&model](int row, int column, int role = Qt::DisplayRole) {
            return model.index(row, column).data(role);
        };

        const QStringList first{"Shirts", "Order 7", "127.0.0.1", "2026-12-06 20:15:13", "waiting", "90 s", "87.3457"};
        for (int c = 0; c < first.size(); ++c) {
            QCOMPARE(cell(0, c).toString(), first[c]);
            QCOMPARE(cell(0, c, Qt::ToolTipRole).toString(), first[c]);
            QCOMPARE(cell(0, c, Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
        }
        QCOMPARE(cell(1, JobTableModel::EfficiencyColumn).toString(), QStringLiteral("0.8734"));
        QCOMPARE(cell(2, JobTableModel::EfficiencyColumn).toString(), QStringLiteral("0"));
        const QStringList states{"waiting", "running", "finished", "failed"};
        const QList<int> progress{99, 0, 100, 0};
        for (int r = 0; r < 4; ++r) {
            QCOMPARE(cell(r, JobTableModel::StateColumn).toString(), states[r]);
            QCOMPARE(cell(r, JobTableModel::ProgressColumn).toInt(), progress[r]);
            QCOMPARE(cell(r, 0, JobTableModel::JobIdRole).toString(), jobs[r]->job_id);
        }
        // Waiting plain, running bold, finished muted, failed tinted with
        // its error on the state cell.
        for (int role : {int(Qt::FontRole), int(Qt::ForegroundRole), int(Qt::BackgroundRole)})
            QVERIFY(!cell(0, 1, role).isValid());
        QVERIFY(cell(1, 1, Qt::FontRole).value<QFont>().bold());
        QVERIFY(cell(2, 1, Qt::ForegroundRole).isValid());
        QVERIFY(cell(3, 1, Qt::BackgroundRole).isValid());
        QCOMPARE(cell(3, JobTableModel::StateColumn, Qt::ToolTipRole).toString(), jobs[3]->error);
    }

    void splitJobName_data()
    {
        QTest::addColumn<QString>("jobName");
        QTest::addColumn<QString>("work");
        QTest::addColumn<QString>("name");
        QTest::newRow("two parts") << encodeName("Shirts::Order 7") << "Shirts" << "Order 7";
        QTest::newRow("padded") << encodeName("a::b") + "==" << "a" << "b";
        QTest::newRow("three parts") << encodeName("w::gamma::extra") << "w" << "gamma";
        QTest::newRow("unicode") << encodeName(QStringLiteral("衬衫::订单")) << QStringLiteral("衬衫") << QStringLiteral("订单");
        QTest::newRow("empty work") << encodeName("::job") << "" << "job";
        QTest::newRow("no separator") << encodeName("beta") << "" << "beta";
        // Not such Base64: shown as it is.
        QTest::newRow("plain") << "shirt-front" << "" << "shirt-front";
        QTest::newRow("plain underscore") << "sleeve_left" << "" << "sleeve_left";
        QTest::newRow("plain chinese") << QStringLiteral("衬衫") << "" << QStringLiteral("衬衫");
        QTest::newRow("control chars") << encodeName("a\tb::c") << "" << encodeName("a\tb::c");
        QTest::newRow("standard alphabet") << "a+b/" << "" << "a+b/";
        QTest::newRow("one char") << "x" << "" << "x";
        QTest::newRow("empty") << "" << "" << "";
    }
    void splitJobName()
    {
        QFETCH(QString, jobName);
        QFETCH(QString, work);
        QFETCH(QString, name);
        QString w = "stale", n = "stale";
        JobTableWidget::splitJobName(jobName, w, n);
        QCOMPARE(w, work);
        QCOMPARE(n, name);
    }
};

QTEST_MAIN(TestJobTable)
#include "tst_jobtable.moc"
