#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The job queue as a table: one row per job record, head first. Reads the
// live records it is given and keeps their pointers, so a change of one job
// is one row's dataChanged and nothing else is measured or rebuilt.
//
// Thread: GUI thread only. Record fields are written only on the GUI thread,
// so they are read here without the queue mutex; the owner tells the model
// that a record left (removeJob, syncJobs, resetJobs) before deleting it.
class JobTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column {
        WorkNameColumn,
        JobNameColumn,
        AddressColumn,
        SubmitTimeColumn,
        StateColumn,
        BudgetColumn,
        EfficiencyColumn,
        // The node that runs the job, in a queue shared by several services.
        NodeColumn,
        ProgressColumn,
        ColumnCount
    };
    // Item data role that carries the row's job id (as a QString).
    static constexpr int JobIdRole = Qt::UserRole + 1;

    explicit JobTableModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    // Text columns: the text, centred, with itself as tool tip; the progress
    // column: the percentage as an int from 0 to 100, truncated.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Horizontal display texts only (the window sets the translated headers).
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant &value,
                       int role = Qt::EditRole) override;

    // The whole queue, head first (start-up, a new job service).
    void resetJobs(const QList<NesterJob *> &jobs);
    void insertJob(int row, NesterJob *job);
    void removeJob(int row);
    // The job at from ends up at index to, as with QList::move.
    void moveJob(int from, int to);
    // One row's dataChanged; a record the model does not show is ignored.
    void jobChanged(NesterJob *job);
    // A newer record of the same job takes the old one's row (the old one
    // may be deleted afterwards); a record the model does not show is
    // inserted at `row` instead.
    void replaceJob(int row, NesterJob *old, NesterJob *job);
    // Makes the rows equal jobs with the operations above, so that views keep
    // the selection on its job: rows of records not in the list are removed,
    // new ones inserted, the order fixed with as few moves as possible, and
    // one dataChanged covers every row. O(n) plus the moves' cost.
    void syncJobs(const QList<NesterJob *> &jobs);

    // The row of a record, or -1.
    int rowOf(const NesterJob *job) const;
    NesterJob *jobAt(int row) const;

    // Repaints the cells whose texts are translated (after a language change).
    void retranslate();

    // Splits a job name into work name and job name. A name that is URL-safe
    // Base64 of printable UTF-8 text is decoded and split at "::" (two or more
    // parts: work name and job name; one part: empty work name). Any other
    // name is the job name as it is, with an empty work name.
    static void splitJobName(const QString &jobName, QString &workName, QString &name);
    // The state as the translated word ("waiting", "running", ...).
    static QString stateText(int state);
    // A held job's state: "held", or "held until <time>" (the time alone
    // when it is today).
    static QString heldText(const QDateTime &until);
    // The time budget as the translated "<seconds> s".
    static QString budgetText(int seconds);
    // The progress value shown: completed truncated toward zero into 0..100.
    static int progressPercent(double completed);

private:
    QString cellText(const NesterJob *job, int column) const;
    QVariant stateStyle(const NesterJob *job, int role) const;
    void invalidateIndex();
    void rebuildIndex() const;
    void removeRun(int first, int last);
    void insertRun(int row, const QList<NesterJob *> &run);
    void fixOrder(const QList<NesterJob *> &target);

    QList<NesterJob *> rows;
    QStringList headers;
    // Row of each record; rebuilt on first use after a change that shifts
    // rows (moves update it in place while it is valid).
    mutable QHash<const NesterJob *, int> rowIndex;
    mutable bool indexValid = true;
};

} // namespace Zendral
} // namespace Orvane
