#include "JobTableWidget.h"

#include "NesterJob.h"
#include "ProgressDelegate.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStyle>
#include <QTimer>

#include <algorithm>

namespace Orvane {
namespace Zendral {

namespace {
// A long name does not push the other columns out of sight; its tool tip
// shows it whole.
constexpr int MaxContentWidth = 320;
}

JobTableWidget::JobTableWidget(QWidget *parent)
    : QTableView(parent)
    , jobs(new JobTableModel(this))
{
    setModel(jobs);
    setItemDelegateForColumn(JobTableModel::ProgressColumn, new ProgressDelegate(this));
    connect(jobs, &QAbstractItemModel::rowsInserted, this, &JobTableWidget::scheduleSizing);
    connect(jobs, &QAbstractItemModel::modelReset, this, &JobTableWidget::scheduleSizing);
    connect(jobs, &QAbstractItemModel::headerDataChanged, this,
            [this](Qt::Orientation orientation, int first, int last) {
                if (orientation == Qt::Horizontal)
                    fitHeaders(first, last);
            });
}

QString JobTableWidget::selectedJobId() const
{
    const QModelIndexList selected = selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
    if (selected.isEmpty())
        return QString();
    return jobs->index(selected.first().row(), 0).data(JobIdRole).toString();
}

void JobTableWidget::splitJobName(const QString &jobName, QString &workName, QString &name)
{
    JobTableModel::splitJobName(jobName, workName, name);
}

void JobTableWidget::UpdataJobTable(QList<NesterJob *> list)
{
    jobs->syncJobs(list);
}

void JobTableWidget::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange)
        jobs->retranslate();
    QTableView::changeEvent(event);
}

void JobTableWidget::showEvent(QShowEvent *event)
{
    QTableView::showEvent(event);
    scheduleSizing();
}

// Sizing waits for the event loop, so that the view has laid out the new
// rows and measures only the visible ones.
void JobTableWidget::scheduleSizing()
{
    if (columnsSized || sizingScheduled)
        return;
    sizingScheduled = true;
    QTimer::singleShot(0, this, [this]() {
        sizingScheduled = false;
        sizeColumns();
    });
}

void JobTableWidget::sizeColumns()
{
    if (columnsSized || !isVisible() || jobs->rowCount() == 0)
        return;
    columnsSized = true;
    const int last = horizontalHeader()->count() - 1;
    for (int c = 0; c < last; ++c) {
        const int content = std::min(sizeHintForColumn(c), MaxContentWidth);
        const int width = std::max({content, horizontalHeader()->sectionSizeHint(c), sampleWidth(c)});
        setColumnWidth(c, width);
    }
}

// A header text (or, after a language change, a state word) that no longer
// fits widens its column; nothing narrows.
void JobTableWidget::fitHeaders(int first, int last)
{
    QHeaderView *header = horizontalHeader();
    const int stretching = header->count() - 1;
    for (int c = std::max(0, first); c <= std::min(last, stretching - 1); ++c) {
        const int hint = std::max(header->sectionSizeHint(c), sampleWidth(c));
        if (columnWidth(c) < hint)
            setColumnWidth(c, hint);
    }
}

// The widest text a column is likely to show, in bold (running rows), so
// that a state or a later job does not get cut at once.
int JobTableWidget::sampleWidth(int column) const
{
    QStringList samples;
    switch (column) {
    case JobTableModel::WorkNameColumn:
    case JobTableModel::JobNameColumn:
        samples << QStringLiteral("shirt-front-XL");
        break;
    case JobTableModel::AddressColumn:
        samples << QStringLiteral("192.168.100.100");
        break;
    case JobTableModel::SubmitTimeColumn:
        samples << QStringLiteral("2026-12-31 23:59:59");
        break;
    case JobTableModel::StateColumn:
        for (int state : {NesterJob::Waiting, NesterJob::Running, NesterJob::Finished, NesterJob::Failed})
            samples << JobTableModel::stateText(state);
        break;
    case JobTableModel::NodeColumn:
        samples << QStringLiteral("workstation-12");
        break;
    case JobTableModel::BudgetColumn:
        samples << JobTableModel::budgetText(99999);
        break;
    case JobTableModel::EfficiencyColumn:
        samples << QStringLiteral("88.8888");
        break;
    default:
        return 0;
    }
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    int widest = 0;
    for (const QString &text : qAsConst(samples))
        widest = std::max(widest, metrics.horizontalAdvance(text));
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return widest + 2 * margin + 4;
}

} // namespace Zendral
} // namespace Orvane
