#include "JobTableWidget.h"

#include "NesterJob.h"

#include <QProgressBar>

namespace Orvane {
namespace Zendral {

namespace {
constexpr int ProgressColumn = 5;
}

JobTableWidget::JobTableWidget(QWidget *parent)
    : QTableWidget(parent)
{
}

void JobTableWidget::UpdataJobTable(QList<NesterJob *> jobs)
{
    const bool wasBlocked = blockSignals(true);
    const int n = jobs.size();
    for (int i = 0; i < n; ++i) {
        if (i < rowCount())
            updateJobRow(i, jobs.at(i));
        else
            appendJobRow(jobs.at(i));
    }
    while (rowCount() > n)
        removeRow(n);
    blockSignals(wasBlocked);
}

void JobTableWidget::appendJobRow(const NesterJob *job)
{
    const int row = rowCount();
    setRowCount(row + 1);
    QString workName, name;
    splitJobName(job->job_name, workName, name);
    for (int c = 0; c < columnCount(); ++c) {
        if (c == ProgressColumn) {
            auto *bar = new QProgressBar(this);
            bar->setValue(static_cast<int>(job->completed));
            bar->setTextVisible(false);
            setCellWidget(row, c, bar);
            continue;
        }
        auto *item = new QTableWidgetItem;
        if (c == 0)
            item->setData(JobIdRole, job->job_id);
        const QString text = cellText(job, c, workName, name);
        if (!text.isEmpty())
            applyText(item, text);
        setItem(row, c, item);
    }
}

void JobTableWidget::updateJobRow(int row, const NesterJob *job)
{
    QString workName, name;
    splitJobName(job->job_name, workName, name);
    for (int c = 0; c < columnCount(); ++c) {
        if (c == ProgressColumn) {
            if (auto *bar = qobject_cast<QProgressBar *>(cellWidget(row, c)))
                bar->setValue(static_cast<int>(job->completed));
            continue;
        }
        QTableWidgetItem *cell = item(row, c);
        if (!cell) {
            cell = new QTableWidgetItem;
            setItem(row, c, cell);
        }
        if (c == 0)
            cell->setData(JobIdRole, job->job_id);
        applyText(cell, cellText(job, c, workName, name));
    }
}

QString JobTableWidget::selectedJobId() const
{
    const QList<QTableWidgetItem *> items = selectedItems();
    if (items.isEmpty())
        return QString();
    const int row = items.first()->row();
    if (row < 0 || row >= rowCount())
        return QString();
    const QTableWidgetItem *first = item(row, 0);
    return first ? first->data(JobIdRole).toString() : QString();
}

void JobTableWidget::splitJobName(const QString &jobName, QString &workName, QString &name)
{
    const QByteArray decoded = QByteArray::fromBase64(jobName.toLatin1(), QByteArray::Base64UrlEncoding);
    const QStringList parts = QString::fromUtf8(decoded).split(QStringLiteral("::"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() >= 2) {
        workName = parts.at(0);
        name = parts.at(1);
    } else {
        workName.clear();
        name = parts.value(0);
    }
}

QString JobTableWidget::cellText(const NesterJob *job, int column,
                                 const QString &workName, const QString &name)
{
    switch (column) {
    case 0: return workName;
    case 1: return name;
    case 2: return job->from;
    case 3: return job->submit_time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case 4: return QString::number(job->efficient, 'g', 6);
    default: return QString();
    }
}

// A non-empty text is shown centred with itself as tool tip; an empty one
// empties the cell, so a reused row never keeps the previous job's text.
void JobTableWidget::applyText(QTableWidgetItem *item, const QString &text)
{
    item->setText(text);
    item->setToolTip(text);
    if (!text.isEmpty())
        item->setTextAlignment(Qt::AlignCenter);
}

} // namespace Zendral
} // namespace Orvane
