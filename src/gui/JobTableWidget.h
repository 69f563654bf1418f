#pragma once

#include <QList>
#include <QString>
#include <QTableWidget>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The job table of the service window: one row per queued job, head first,
// with work name, job name, client address, submission time, efficiency and
// a progress bar. Refreshed as a whole from a list of records; keeps no
// pointer to them (a row is named by the job id stored in column 0).
//
// Thread: GUI thread only. The records handed in are read at once, during
// the call; the caller keeps them alive for its duration.
class JobTableWidget : public QTableWidget
{
    Q_OBJECT
public:
    // Item data role of column 0 that carries the row's job id.
    static constexpr int JobIdRole = Qt::UserRole + 1;

    explicit JobTableWidget(QWidget *parent = nullptr);

    // The job id of the row of the first selected item, or an empty text.
    QString selectedJobId() const;

    void appendJobRow(const NesterJob *job);
    void updateJobRow(int row, const NesterJob *job);

    // Decodes a job name (URL-safe Base64 of "work::job") into its parts.
    static void splitJobName(const QString &jobName, QString &workName, QString &name);

public slots:
    // Makes the rows show exactly the given jobs, in order: rows are
    // rewritten in place, missing ones appended, surplus ones cut.
    void UpdataJobTable(QList<NesterJob *> jobs);

private:
    static QString cellText(const NesterJob *job, int column,
                            const QString &workName, const QString &name);
    static void applyText(QTableWidgetItem *item, const QString &text);
};

} // namespace Zendral
} // namespace Orvane
