// Job table: in-place refresh, appending and cutting rows, decoded names,
// progress truncation, the selected job id and emptied cells on reuse.
#include "JobTableWidget.h"
#include "NesterJob.h"

#include <QProgressBar>
#include <QtTest>

using Orvane::Zendral::JobTableWidget;
using Orvane::Zendral::NesterJob;

namespace {

QString encodeName(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64(QByteArray::Base64UrlEncoding));
}

NesterJob *makeJob(const QString &id, const QString &decodedName, double completed = 0, double efficient = 0)
{
    auto *job = new NesterJob;
    job->job_id = id;
    job->job_name = encodeName(decodedName);
    job->from = QStringLiteral("127.0.0.%1").arg(id.size());
    job->submit_time = QDateTime(QDate(2026, 12, 6), QTime(20, 15, 13));
    job->completed = completed;
    job->efficient = efficient;
    return job;
}

} // namespace

class TestJobTable : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        table = new JobTableWidget;
        table->setColumnCount(6);
        table->setSelectionBehavior(QAbstractItemView::SelectRows);
    }
    void cleanup()
    {
        delete table;
        qDeleteAll(jobs);
        jobs.clear();
    }

    void rowsFollowTheList()
    {
        jobs = {makeJob("a", "work::alpha", 10, 0.8734), makeJob("bb", "beta", 99.9, 87.345678),
                makeJob("ccc", "w::gamma::extra", 100)};
        table->UpdataJobTable(jobs);
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("work"));
        QCOMPARE(table->item(0, 0)->toolTip(), QStringLiteral("work"));
        QCOMPARE(table->item(0, 0)->textAlignment(), int(Qt::AlignCenter));
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("alpha"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(table->item(0, 3)->text(), QStringLiteral("2026-12-06 20:15:13"));
        QCOMPARE(table->item(0, 4)->text(), QStringLiteral("0.8734"));
        QCOMPARE(table->item(1, 4)->text(), QStringLiteral("87.3457"));
        QCOMPARE(table->item(2, 4)->text(), QStringLiteral("0"));
        // No "::": empty work name, whole text as job name.
        QCOMPARE(table->item(1, 0)->text(), QString());
        QCOMPARE(table->item(1, 1)->text(), QStringLiteral("beta"));
        // Three parts: the first two count.
        QCOMPARE(table->item(2, 0)->text(), QStringLiteral("w"));
        QCOMPARE(table->item(2, 1)->text(), QStringLiteral("gamma"));
        QCOMPARE(table->item(2, 0)->data(JobTableWidget::JobIdRole).toString(), QStringLiteral("ccc"));

        auto bar = [this](int row) { return qobject_cast<QProgressBar *>(table->cellWidget(row, 5)); };
        QVERIFY(bar(0) && bar(1) && bar(2));
        QCOMPARE(bar(1)->value(), 99);
        QCOMPARE(bar(2)->value(), 100);
        QVERIFY(!bar(0)->isTextVisible());

        // Refresh in place: the same widgets are rewritten, not replaced.
        QProgressBar *firstBar = bar(0);
        QTableWidgetItem *firstItem = table->item(0, 0);
        jobs[0]->completed = 42.7;
        std::swap(jobs[0], jobs[1]);
        table->UpdataJobTable(jobs);
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(0, 0), firstItem);
        QCOMPARE(bar(0), firstBar);
        QCOMPARE(bar(0)->value(), 99);
        QCOMPARE(bar(1)->value(), 42);
        // The reused row for a job without a work name is emptied.
        QCOMPARE(table->item(0, 0)->text(), QString());
        QCOMPARE(table->item(0, 0)->toolTip(), QString());
        QCOMPARE(table->item(0, 0)->data(JobTableWidget::JobIdRole).toString(), QStringLiteral("bb"));
        QCOMPARE(table->item(1, 0)->text(), QStringLiteral("work"));

        // Shorter list cuts from the end; an empty one removes everything.
        table->UpdataJobTable(jobs.mid(0, 1));
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("beta"));
        table->UpdataJobTable({});
        QCOMPARE(table->rowCount(), 0);
        table->UpdataJobTable(jobs);
        QCOMPARE(table->rowCount(), 3);
    }

    void splitJobName_data()
    {
        QTest::addColumn<QString>("jobName");
        QTest::addColumn<QString>("work");
        QTest::addColumn<QString>("name");
        QTest::newRow("two parts") << encodeName("Shirts::Order 7") << "Shirts" << "Order 7";
        QTest::newRow("unicode") << encodeName(QStringLiteral("衬衫::订单")) << QStringLiteral("衬衫") << QStringLiteral("订单");
        QTest::newRow("empty work") << encodeName("::job") << "" << "job";
        QTest::newRow("not base64") << "***" << "" << "";
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

    void selectedJobId()
    {
        jobs = {makeJob("{id-1}", "a::b"), makeJob("{id-2}", "c::d")};
        table->UpdataJobTable(jobs);
        QCOMPARE(table->selectedJobId(), QString());
        // Selecting the row through its progress column still names the job.
        table->setCurrentCell(1, 5);
        table->selectRow(1);
        QCOMPARE(table->selectedJobId(), QStringLiteral("{id-2}"));
        // The selection stays on the row position across a refresh.
        std::swap(jobs[0], jobs[1]);
        table->UpdataJobTable(jobs);
        QCOMPARE(table->selectedJobId(), QStringLiteral("{id-1}"));
        table->clearSelection();
        QCOMPARE(table->selectedJobId(), QString());
    }

private:
    JobTableWidget *table = nullptr;
    QList<NesterJob *> jobs;
};

QTEST_MAIN(TestJobTable)
#include "tst_jobtable.moc"
