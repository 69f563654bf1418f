#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QString>

namespace Orvane {
namespace Zendral {

// Runs the external nesting engine on one job as a child process and turns
// its standard-output messages and its result file into reports.
//
// Thread: GUI thread only (created, driven and destroyed there). The mutex
// only serialises the handling of one progress message.
class JobManager : public QObject
{
    Q_OBJECT
public:
    explicit JobManager(QObject *parent = nullptr);
    ~JobManager() override;

    // The engine executable's path as it will be run (after the lookup of
    // startWork); empty before startWork. For logs and tests.
    QString enginePath() const { return m_enginePath; }

signals:
    void started(QByteArray job_id);
    // exit_code is the engine's exit code, or -1 when it was not found or
    // did not start.
    void finished(QByteArray job_id, int exit_code);
    void update(QByteArray job_id, QJsonObject object);
    void updateData(QJsonObject data);

public slots:
    // marker_data is the job file path as UTF-8 bytes.
    void startWork(QByteArray token, QByteArray job_id, QByteArray marker_data, int work_seconds);
    void stopWork();

private slots:
    void onWorkerStarted();
    void onWorkerFinished(int exit_code);
    void onWorkerUpdate();
    void onWorkerError(QProcess::ProcessError error);

private:
    QJsonObject resultReport(const QByteArray &bytes) const;
    void handleOutput(const QByteArray &bytes);
    void reportFinished(int exit_code);
    static QString lookupEngine();
    static bool readResultFile(const QString &file, QByteArray *bytes);

    QByteArray token;
    QByteArray job_id;
    QByteArray data;
    QString path;
    double efficiency = 0;
    double estimate = 0;
    int next_update = 0;
    QMutex mutex;
    QProcess *process;
    QString m_enginePath;
    bool m_finishReported = false; // finished has been emitted (exactly once)
};

} // namespace Zendral
} // namespace Orvane
