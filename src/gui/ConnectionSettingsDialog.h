#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QDialogButtonBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace Orvane {
class ButtonEditor;

namespace Zendral {

class ServiceSettings;

// Shows this machine's addresses (its own network interfaces; the
// outward-facing address is looked up only when the operator asks, through
// outwardAddressRequested) and the service port, and edits the
// stored connection settings ("worker/port", "worker/engine",
// "worker/max_connect", "worker/allowed_clients") through the service's
// settings, which check each value. The form is built in code; the widgets carry the
// object names that the window and the tests look up.
//
// Thread: GUI thread only.
class ConnectionSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    // listening: the service listens now, so port, engine, the connection
    // limit and the allowed clients cannot be changed.
    ConnectionSettingsDialog(ServiceSettings &settings, bool listening, QWidget *parent = nullptr);
    ~ConnectionSettingsDialog() override;

    QLineEdit *leIP = nullptr;
    QLineEdit *lePort = nullptr;
    QSpinBox *maxConnection = nullptr;
    Orvane::ButtonEditor *leEngine = nullptr;
    // Addresses and networks that may connect; empty lets everyone in.
    QLineEdit *leAllowedClients = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
    // Asks for the outward-facing address (a lookup outside the LAN).
    QPushButton *buttonOutwardAddress = nullptr;
    // Says why the fields cannot change while the service runs.
    QLabel *labelListening = nullptr;

    // Shows the outcome of the outward lookup: the address, or (empty) that
    // it was not found; the button can be pressed again.
    void showOutwardAddress(const QString &address);

    // The machine's IPv4 addresses on its network interfaces (not loopback),
    // for when the outward-facing address cannot be found.
    static QStringList LanAddresses();

public slots:
    // Stores the fields when they are usable: a port from 1 to 65535 and an
    // engine that can be run; otherwise says what is wrong and stays open.
    void accept() override;
    void on_leEngine_returnPressed();

signals:
    // The operator asked for the outward-facing address.
    void outwardAddressRequested();

protected:
    void changeEvent(QEvent *event) override;
    // Runs the file-open dialog; returns the chosen path or an empty text.
    // Virtual so that tests can answer without a blocking dialog.
    virtual QString chooseFile(const QString &folder, const QString &filter);

private:
    void setupUi();
    void retranslateUi();
    void loadSettings();
    QString Problem() const;

    QGridLayout *gridLayout = nullptr;
    QLabel *labelIP = nullptr;
    QLabel *labelPort = nullptr;
    QLabel *labelMaxConnect = nullptr;
    QLabel *label_engin_name = nullptr;
    QLabel *labelProblem = nullptr;
    QLabel *labelAllowedClients = nullptr;
    QString lanAddresses; // shown until the operator asks for the outward one
    bool listening = false;
    ServiceSettings &settings;
};

} // namespace Zendral
} // namespace Orvane
