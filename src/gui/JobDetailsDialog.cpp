#include "JobDetailsDialog.h"

#include "JobTableModel.h"
#include "NesterJob.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace Orvane {
namespace Zendral {

namespace {
QLabel *wrappingLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText); // engine text is never markup
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}
} // namespace

JobDetailsDialog::JobDetailsDialog(const NesterJob &job, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("JobDetailsDialog"));
    QString work, name;
    JobTableModel::splitJobName(job.job_name, work, name);
    setWindowTitle(tr("Job %1").arg(name));

    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    form->addRow(tr("Job:"), wrappingLabel(work.isEmpty() ? name : work + QStringLiteral(" / ") + name, this));
    form->addRow(tr("State:"), wrappingLabel(JobTableModel::stateText(job.state), this));
    summary = wrappingLabel(job.error.isEmpty() ? tr("none") : job.error, this);
    summary->setObjectName(QStringLiteral("error"));
    form->addRow(tr("Error:"), summary);
    form->addRow(tr("Failed runs in a row:"), wrappingLabel(QString::number(job.failed_runs), this));
    form->addRow(tr("Last run started:"), wrappingLabel(LocalTime(job.run_start), this));
    form->addRow(tr("Last run ended:"), wrappingLabel(LocalTime(job.run_end), this));
    layout->addLayout(form);

    layout->addWidget(new QLabel(tr("The engine's last words (standard error):"), this));
    output = new QPlainTextEdit(this);
    output->setObjectName(QStringLiteral("engineOutput"));
    output->setReadOnly(true);
    output->setLineWrapMode(QPlainTextEdit::NoWrap);
    output->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    output->setPlainText(job.engine_output.isEmpty() ? tr("(nothing)") : job.engine_output);
    layout->addWidget(output, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 400);
}

QString JobDetailsDialog::LocalTime(const QString &stamp)
{
    QDateTime time = QDateTime::fromString(stamp, QStringLiteral("yyyyMMdd'T'hhmmss"));
    if (!time.isValid())
        return QStringLiteral("-");
    time.setTimeSpec(Qt::UTC);
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace Zendral
} // namespace Orvane
