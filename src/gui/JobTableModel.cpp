#include "JobTableModel.h"

#include "JobName.h"

#include "NesterJob.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QSet>
#include <QVector>

#include <algorithm>

namespace Orvane {
namespace Zendral {

namespace {
const char *const SubmitTimeFormat = "yyyy-MM-dd hh:mm:ss";

// Indexes (into seq) of one longest strictly increasing subsequence.
QVector<int> longestIncreasing(const QVector<int> &seq)
{
    QVector<int> tails; // tails[l]: index of the smallest end of a run of length l + 1
    QVector<int> previous(seq.size(), -1);
    for (int k = 0; k < seq.size(); ++k) {
        const auto at = std::lower_bound(tails.begin(), tails.end(), seq.at(k),
                                         [&seq](int index, int value) { return seq.at(index) < value; });
        const int length = int(at - tails.begin());
        if (length > 0)
            previous[k] = tails.at(length - 1);
        if (length == tails.size())
            tails.append(k);
        else
            tails[length] = k;
    }
    QVector<int> result;
    for (int k = tails.isEmpty() ? -1 : tails.last(); k >= 0; k = previous.at(k))
        result.append(k);
    return result;
}
} // namespace

JobTableModel::JobTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int JobTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int JobTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant JobTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size() || index.column() >= ColumnCount)
        return QVariant();
    const NesterJob *job = rows.at(index.row());
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        if (column == ProgressColumn)
            return progressPercent(job->completed);
        return cellText(job, column);
    case Qt::ToolTipRole: {
        if (column == ProgressColumn)
            return QVariant();
        if (column == StateColumn && job->IsFailed() && !job->error.isEmpty())
            return job->error;
        const QString text = cellText(job, column);
        return text.isEmpty() ? QVariant() : QVariant(text);
    }
    case Qt::TextAlignmentRole:
        return int(Qt::AlignCenter);
    case JobIdRole:
        return job->job_id;
    case Qt::FontRole:
    case Qt::ForegroundRole:
    case Qt::BackgroundRole:
        return stateStyle(job, role);
    default:
        return QVariant();
    }
}

// Running rows bold, finished rows in a muted text colour, failed rows on a
// light red tint, held rows on a light amber tint; waiting rows plain. The muted colour and the tint are
// translucent, so they suit light and dark palettes alike.
QVariant JobTableModel::stateStyle(const NesterJob *job, int role) const
{
    if (role == Qt::FontRole && job->IsRunning()) {
        QFont font;
        font.setBold(true);
        return font;
    }
    if (role == Qt::ForegroundRole && job->IsFinished()) {
        QColor muted = QGuiApplication::palette().color(QPalette::Active, QPalette::Text);
        muted.setAlphaF(0.55);
        return QBrush(muted);
    }
    if (role == Qt::BackgroundRole && job->IsFailed())
        return QBrush(QColor(220, 53, 69, 56));
    if (role == Qt::BackgroundRole && job->IsHeld())
        return QBrush(QColor(255, 193, 7, 56));
    return QVariant();
}

QString JobTableModel::cellText(const NesterJob *job, int column) const
{
    switch (column) {
    case WorkNameColumn:
    case JobNameColumn: {
        QString workName, name;
        splitJobName(job->job_name, workName, name);
        return column == WorkNameColumn ? workName : name;
    }
    case AddressColumn: return job->from;
    case SubmitTimeColumn: return job->submit_time.toLocalTime().toString(QLatin1String(SubmitTimeFormat));
    case StateColumn: return job->IsHeld() && !job->IsFinished() && !job->IsFailed() ? heldText(job->held_until)
                                                                                      : stateText(job->state);
    case NodeColumn: return job->IsRunning() ? job->node : QString();
    case BudgetColumn: return budgetText(job->time);
    case EfficiencyColumn: return QString::number(job->efficient, 'g', 6);
    default: return QString();
    }
}

QVariant JobTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && !headers.value(section).isEmpty())
        return headers.at(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool JobTableModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant &value, int role)
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount
        || (role != Qt::DisplayRole && role != Qt::EditRole))
        return false;
    while (headers.size() < ColumnCount)
        headers.append(QString());
    headers[section] = value.toString();
    emit headerDataChanged(orientation, section, section);
    return true;
}

void JobTableModel::resetJobs(const QList<NesterJob *> &jobs)
{
    beginResetModel();
    rows = jobs;
    rows.removeAll(nullptr);
    invalidateIndex();
    endResetModel();
}

// The caller hands in a record the model does not show yet.
void JobTableModel::insertJob(int row, NesterJob *job)
{
    if (!job)
        return;
    insertRun(row, QList<NesterJob *>{job});
}

void JobTableModel::removeJob(int row)
{
    if (row >= 0 && row < rows.size())
        removeRun(row, row);
}

void JobTableModel::moveJob(int from, int to)
{
    const int n = rows.size();
    if (from < 0 || from >= n || to < 0 || to >= n || from == to)
        return;
    // Qt names the destination as the row before which the moved row lands,
    // counted before the move.
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), to > from ? to + 1 : to);
    rows.move(from, to);
    if (indexValid) {
        for (int r = std::min(from, to); r <= std::max(from, to); ++r)
            rowIndex.insert(rows.at(r), r);
    }
    endMoveRows();
}

void JobTableModel::replaceJob(int row, NesterJob *old, NesterJob *job)
{
    if (!job)
        return;
    const int at = jobAt(row) == old ? row : rowOf(old);
    if (at < 0) {
        if (rowOf(job) < 0)
            insertJob(qBound(0, row, rows.size()), job);
        return;
    }
    rows[at] = job;
    if (indexValid) {
        rowIndex.remove(old);
        rowIndex.insert(job, at);
    }
    emit dataChanged(index(at, 0), index(at, ColumnCount - 1));
}

void JobTableModel::jobChanged(NesterJob *job)
{
    const int row = rowOf(job);
    if (row >= 0)
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void JobTableModel::syncJobs(const QList<NesterJob *> &jobs)
{
    // Most lists only carry changed fields (progress, state).
    if (jobs == rows) {
        if (!rows.isEmpty())
            emit dataChanged(index(0, 0), index(rows.size() - 1, ColumnCount - 1));
        return;
    }
    // The target order, without null or repeated records.
    QList<NesterJob *> target;
    QSet<const NesterJob *> wanted;
    target.reserve(jobs.size());
    wanted.reserve(jobs.size());
    for (NesterJob *job : jobs) {
        if (job && !wanted.contains(job)) {
            wanted.insert(job);
            target.append(job);
        }
    }

    // Rows whose record left, in runs from the end.
    for (int r = rows.size() - 1; r >= 0;) {
        if (wanted.contains(rows.at(r))) {
            --r;
            continue;
        }
        const int last = r;
        while (r >= 0 && !wanted.contains(rows.at(r)))
            --r;
        removeRun(r + 1, last);
    }

    fixOrder(target);

    // Now rows is target less the new records, in target order: insert
    // those in runs.
    int row = 0;
    for (int i = 0; i < target.size();) {
        if (row < rows.size() && rows.at(row) == target.at(i)) {
            ++row;
            ++i;
            continue;
        }
        QList<NesterJob *> run;
        while (i < target.size() && !(row < rows.size() && rows.at(row) == target.at(i)))
            run.append(target.at(i++));
        insertRun(row, run);
        row += run.size();
    }

    if (!rows.isEmpty())
        emit dataChanged(index(0, 0), index(rows.size() - 1, ColumnCount - 1));
}

// Puts the rows (all of which are in target) into target's order. The
// records on a longest run already in order stay; each other one is moved,
// in target order, to just behind its predecessor in target, so a single
// Up, Down, Top or Bottom is a single move.
void JobTableModel::fixOrder(const QList<NesterJob *> &target)
{
    rebuildIndex();
    QList<NesterJob *> present; // target without the new records
    QHash<const NesterJob *, int> rank;
    for (NesterJob *job : target) {
        if (rowIndex.contains(job)) {
            rank.insert(job, present.size());
            present.append(job);
        }
    }
    QVector<int> seq(rows.size());
    for (int r = 0; r < rows.size(); ++r)
        seq[r] = rank.value(rows.at(r));
    QVector<bool> stays(present.size(), false);
    for (int r : longestIncreasing(seq))
        stays[seq.at(r)] = true;

    for (int k = 0; k < present.size(); ++k) {
        if (stays.at(k))
            continue;
        const int from = rowOf(present.at(k));
        const int behind = k == 0 ? 0 : rowOf(present.at(k - 1)) + 1;
        moveJob(from, from < behind ? behind - 1 : behind);
    }
}

int JobTableModel::rowOf(const NesterJob *job) const
{
    if (!indexValid)
        rebuildIndex();
    return rowIndex.value(job, -1);
}

NesterJob *JobTableModel::jobAt(int row) const
{
    return rows.value(row, nullptr);
}

void JobTableModel::retranslate()
{
    if (!rows.isEmpty())
        emit dataChanged(index(0, StateColumn), index(rows.size() - 1, BudgetColumn));
}

void JobTableModel::splitJobName(const QString &jobName, QString &workName, QString &name)
{
    JobName::Split(jobName, &workName, &name);
}

QString JobTableModel::stateText(int state)
{
    switch (state) {
    case NesterJob::Waiting: return tr("waiting");
    case NesterJob::Running: return tr("running");
    case NesterJob::Finished: return tr("finished");
    case NesterJob::Failed: return tr("failed");
    default: return QString::number(state);
    }
}

QString JobTableModel::heldText(const QDateTime &until)
{
    if (!until.isValid())
        return tr("held");
    const QDateTime local = until.toLocalTime();
    const QString format = local.date() == QDate::currentDate() ? QStringLiteral("HH:mm") : QStringLiteral("yyyy-MM-dd HH:mm");
    return tr("held until %1").arg(local.toString(format));
}

QString JobTableModel::budgetText(int seconds)
{
    return tr("%1 s").arg(seconds);
}

// A value outside 0..100 (or not a number) from an engine report never
// leaves the bar's range.
int JobTableModel::progressPercent(double completed)
{
    if (!(completed > 0))
        return 0;
    if (completed >= 100)
        return 100;
    return int(completed);
}

void JobTableModel::invalidateIndex()
{
    indexValid = false;
    rowIndex.clear();
}

void JobTableModel::rebuildIndex() const
{
    if (indexValid)
        return;
    rowIndex.clear();
    rowIndex.reserve(rows.size());
    for (int r = 0; r < rows.size(); ++r)
        rowIndex.insert(rows.at(r), r);
    indexValid = true;
}

// Removing the last rows keeps the row index valid; any other removal
// shifts rows.
void JobTableModel::removeRun(int first, int last)
{
    beginRemoveRows(QModelIndex(), first, last);
    const bool atEnd = last == rows.size() - 1;
    if (indexValid && atEnd) {
        for (int r = first; r <= last; ++r)
            rowIndex.remove(rows.at(r));
    }
    rows.erase(rows.begin() + first, rows.begin() + last + 1);
    if (!atEnd)
        invalidateIndex();
    endRemoveRows();
}

// Appending keeps the row index valid; any other insert shifts rows.
void JobTableModel::insertRun(int row, const QList<NesterJob *> &run)
{
    if (run.isEmpty())
        return;
    row = std::max(0, std::min(row, rows.size()));
    const bool atEnd = row == rows.size();
    beginInsertRows(QModelIndex(), row, row + run.size() - 1);
    if (atEnd) {
        for (NesterJob *job : run) {
            if (indexValid)
                rowIndex.insert(job, rows.size());
            rows.append(job);
        }
    } else {
        rows = rows.mid(0, row) + run + rows.mid(row);
        invalidateIndex();
    }
    endInsertRows();
}

} // namespace Zendral
} // namespace Orvane
