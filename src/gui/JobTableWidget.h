#pragma once

#include "JobTableModel.h"

#include <QList>
#include <QString>
#include <QTableView>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The job table of the service window: a view of its own JobTableModel (one
// row per queued job, head first) with the progress column painted by a
// ProgressDelegate. Columns are sized once, when the table is first shown,
// from their headers and sample texts (or restored as the operator left
// them, restoreColumns), and later only widened to fit a new header text;
// the operator may resize and reorder them. The name columns elide in the
// middle and take the width the others leave: whenever the view or another
// column changes its width, they give or take the difference, so that long
// names never push State and Progress out of view.
//
// Thread: GUI thread only.
class JobTableWidget : public QTableView
{
    Q_OBJECT
public:
    // Item data role that carries the row's job id.
    static constexpr int JobIdRole = JobTableModel::JobIdRole;

    explicit JobTableWidget(QWidget *parent = nullptr);

    // The model the view shows; it belongs to the view.
    JobTableModel *jobModel() const { return jobs; }

    // The job id of the row of the first selected cell, or an empty text.
    QString selectedJobId() const;

    // The columns' widths and order as saved by saveColumns; false (and
    // nothing changed) for bytes that are no saved state. Call before the
    // table is first shown.
    bool restoreColumns(const QByteArray &state);
    QByteArray saveColumns() const;

    // See JobTableModel::splitJobName.
    static void splitJobName(const QString &jobName, QString &workName, QString &name);

public slots:
    // Makes the rows show exactly the given jobs, in order (selection follows
    // its job).
    void UpdataJobTable(QList<NesterJob *> jobs);

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void scheduleSizing();
    void sizeColumns();
    void fitHeaders(int first, int last);
    int sampleWidth(int column) const;
    void fillNameColumns(int resizedByOperator = -1);
    void shrinkToFit();

    JobTableModel *jobs = nullptr;
    bool sizingScheduled = false;
    bool columnsSized = false;
    bool restored = false; // the widths came from restoreColumns
    bool filling = false;  // fillNameColumns is setting widths
};

} // namespace Zendral
} // namespace Orvane
