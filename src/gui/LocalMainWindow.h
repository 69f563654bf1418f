#pragma once

#include "AbstractMainWindow.h"
#include "MoveStep.h"

#include <QList>
#include <QString>

#include <memory>

class QPaintEvent;

namespace Orvane {
namespace Zendral {

class ConnectionSettingsDialog;
class LocalServer;
class NesterJob;

// The service window: the job table, buttons to move and remove jobs and to
// start and stop the service, a status bar and the framework's menu bar.
// A view of the service core (ServiceCore): it shows the core's queue and
// state and calls its operations.
//
// Thread: GUI thread only. The queue's signals arrive here on the GUI
// thread; the table's model keeps the records they carry until the next
// list, and forgets them all before the core deletes the queue.
class LocalMainWindow : public AbstractMainWindow
{
    Q_OBJECT
public:
    explicit LocalMainWindow(bool autoStart);
    ~LocalMainWindow() override;

    // The job service now in use (replaced when a failed start is retried).
    LocalServer *Queue() const;
    // Closes the window without asking, also while engines run (the system
    // asked the program to end).
    void CloseWithoutAsking();

private slots:
    void on_actionConnection_Settings_triggered();
    void on_actionCheck_Updates_triggered();
    void on_actionAbout_triggered();
    void on_buttonStart_clicked();
    void on_buttonStop_clicked();
    void on_buttonUpJob_clicked();
    void on_buttonDownJob_clicked();
    void on_buttonTopJob_clicked();
    void on_buttonBottomJob_clicked();
    void on_buttonRemoveJob_clicked();
    void on_buttonRetryJob_clicked();
    void on_buttonHoldJob_clicked();
    void on_buttonPause_clicked();
    void on_buttonJobDetails_clicked();
    void onQuitRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // Asks the operator to confirm an action that ends running engines;
    // true to go on. Tests answer without a dialog.
    virtual bool Confirm(const QString &text);

private:
    struct Form;

    void setupMenuBar();
    void setupUi();
    void retranslateUi();
    void retranslateMenus();
    void wireCore();
    void wireQueue();
    void UpdateServiceButtons();
    void UpdateJobButtons();
    void ShowPaused(bool paused);
    void ServiceStateChanged();
    void ShowListenFailure(const QString &message);
    void ShowEngineState(bool usable, const QString &path);
    void UpdateClusterState();
    void setupTray();
    void UpdateTray();
    void NotifyJobEnd(const QString &job_id);
    void moveJob(const QString &job_id, MoveStep step);
    void releaseJob(const QString &job_id);
    void fillAddress(ConnectionSettingsDialog *dialog, int msLeft);

    std::unique_ptr<Form> ui;
};

} // namespace Zendral
} // namespace Orvane
