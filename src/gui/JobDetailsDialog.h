#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPlainTextEdit;

namespace Orvane {
namespace Zendral {

class NesterJob;

// Why a job's last run ended: the job's name and state, its error, the
// run's start and end (local time) and the last lines the engine wrote to
// its standard error. Opened from the window on a job row (Details, or a
// double click); shows a copy of the record, so the queue may change
// meanwhile.
//
// Thread: GUI thread only.
class JobDetailsDialog : public QDialog
{
    Q_OBJECT
public:
    JobDetailsDialog(const NesterJob &job, QWidget *parent = nullptr);

    // A run time as the record keeps it (UTC, "yyyyMMddThhmmss") in local
    // time, "yyyy-MM-dd hh:mm:ss"; "-" when there is none.
    static QString LocalTime(const QString &stamp);

    QLabel *summary = nullptr;
    QPlainTextEdit *output = nullptr;
};

} // namespace Zendral
} // namespace Orvane
