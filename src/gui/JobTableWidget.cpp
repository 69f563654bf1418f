#include "JobTableWidget.h"

#include <QDateTime>

#include "NesterJob.h"
#include "ProgressDelegate.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QResizeEvent>
#include <QStyle>
#include <QTimer>

#include <algorithm>

namespace Orvane {
namespace Zendral {

namespace {
// The narrowest a name column gets when the others take the room; a
// long name is elided in the middle and its tool tip shows it whole.
constexpr int MinNameWidth = 60;
constexpr int ProgressWidth = 140;
constexpr int MinOtherWidth = 48;

bool isNameColumn(int column)
{
    return column == JobTableModel::WorkNameColumn || column == JobTableModel::JobNameColumn;
}
} // namespace

JobTableWidget::JobTableWidget(QWidget *parent)
    : QTableView(parent)
    , jobs(new JobTableModel(this))
{
    setModel(jobs);
    setItemDelegateForColumn(JobTableModel::ProgressColumn, new ProgressDelegate(this));
    setTextElideMode(Qt::ElideMiddle);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionsMovable(true);
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        if (!filling && columnsSized)
            fillNameColumns(column);
    });
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

bool JobTableWidget::restoreColumns(const QByteArray &state)
{
    if (state.isEmpty() || columnsSized || !horizontalHeader()->restoreState(state))
        return false;
    // The behaviour is the table's own, whatever the saved state says.
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    restored = true;
    return true;
}

QByteArray JobTableWidget::saveColumns() const
{
    return horizontalHeader()->saveState();
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

void JobTableWidget::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event); // the viewport's size, see QAbstractScrollArea
    if (columnsSized && isVisible())
        fillNameColumns();
}

// The columns other than the names fit their header and sample texts; the
// names share the rest. A restored table keeps its widths and only fits
// the names to the view.
void JobTableWidget::sizeColumns()
{
    if (columnsSized || !isVisible())
        return;
    filling = true;
    for (int c = 0; !restored && c < JobTableModel::ColumnCount; ++c) {
        if (isNameColumn(c))
            setColumnWidth(c, MinNameWidth);
        else
            setColumnWidth(c, std::max({horizontalHeader()->sectionSizeHint(c), sampleWidth(c),
                                        c == JobTableModel::ProgressColumn ? ProgressWidth : 0}));
    }
    filling = false;
    columnsSized = true;
    fillNameColumns();
}

// A view too narrow for the columns (names at their minimum) narrows
// the address, time, budget, efficiency and node columns, in proportion
// to their widths and never below MinOtherWidth, so that State and
// Progress stay in view; their texts elide.
void JobTableWidget::shrinkToFit()
{
    QHeaderView *header = horizontalHeader();
    const int excess = header->length() - viewport()->width();
    QList<int> columns;
    int room = 0;
    for (int c : {int(JobTableModel::AddressColumn), int(JobTableModel::SubmitTimeColumn),
                  int(JobTableModel::BudgetColumn), int(JobTableModel::EfficiencyColumn),
                  int(JobTableModel::NodeColumn)}) {
        if (!header->isSectionHidden(c) && header->sectionSize(c) > MinOtherWidth) {
            columns << c;
            room += header->sectionSize(c) - MinOtherWidth;
        }
    }
    if (excess <= 0 || room <= 0)
        return;
    const int take = std::min(excess, room);
    int left = take;
    for (int i = 0; i < columns.size(); ++i) {
        const int c = columns.at(i);
        const int spare = header->sectionSize(c) - MinOtherWidth;
        const int cut = i + 1 == columns.size() ? left : int(qint64(take) * spare / room);
        left -= cut;
        setColumnWidth(c, header->sectionSize(c) - cut);
    }
}

// Gives the name columns the difference between the view's width and the
// columns' total, in proportion to their widths and never below
// MinNameWidth; a name column the operator resized keeps its width.
void JobTableWidget::fillNameColumns(int resizedByOperator)
{
    QHeaderView *header = horizontalHeader();
    QList<int> names;
    int namesWidth = 0;
    for (int c : {int(JobTableModel::WorkNameColumn), int(JobTableModel::JobNameColumn)}) {
        if (c != resizedByOperator && !header->isSectionHidden(c)) {
            names << c;
            namesWidth += header->sectionSize(c);
        }
    }
    const int slack = viewport()->width() - header->length();
    if (names.isEmpty() || slack == 0)
        return;
    filling = true;
    int left = slack;
    for (int i = 0; i < names.size(); ++i) {
        const int c = names.at(i);
        const int width = header->sectionSize(c);
        const int share = i + 1 == names.size() ? left
                                                : int(qint64(slack) * std::max(width, 1) / std::max(namesWidth, 1));
        const int next = std::max(MinNameWidth, width + share);
        left -= next - width;
        setColumnWidth(c, next);
    }
    shrinkToFit(); // the names at their minimum and still too wide
    filling = false;
}

// A header text (or, after a language change, a state word) that no longer
// fits widens its column; nothing narrows.
void JobTableWidget::fitHeaders(int first, int last)
{
    QHeaderView *header = horizontalHeader();
    for (int c = std::max(0, first); c <= std::min(last, header->count() - 1); ++c) {
        if (isNameColumn(c))
            continue; // they take what the others leave
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
        // A hold that ends today shows its time alone; a later day's is
        // elided, and the tool tip shows it whole.
        samples << JobTableModel::heldText(QDateTime(QDate::currentDate(), QTime(23, 59)));
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
