#include "ConnectionSettingsDialog.h"

#include "AddressFilter.h"
#include "ServiceSettings.h"

#include "ButtonEditor.h"
#include "JobManager.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QSpinBox>

namespace Orvane {
namespace Zendral {

namespace {
QLabel *makeLabel(QWidget *parent, const char *name, QWidget *buddy)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}
} // namespace

ConnectionSettingsDialog::ConnectionSettingsDialog(ServiceSettings &settings, bool listening, QWidget *parent)
    : QDialog(parent)
    , settings(settings)
{
    this->listening = listening;
    lanAddresses = LanAddresses().join(QStringLiteral(", "));
    setupUi();
    leIP->setReadOnly(true); // readable and copyable, never stored
    leIP->setText(lanAddresses);
    lePort->setValidator(new QIntValidator(1, 65535, lePort));
    loadSettings();
    labelListening->setVisible(listening);
    if (listening) {
        lePort->setEnabled(false);
        leEngine->setEnabled(false);
        maxConnection->setEnabled(false);
        leAllowedClients->setEnabled(false);
    }
    connect(buttonOutwardAddress, &QPushButton::clicked, this, [this]() {
        buttonOutwardAddress->setEnabled(false);
        emit outwardAddressRequested();
    });
}

void ConnectionSettingsDialog::showOutwardAddress(const QString &address)
{
    buttonOutwardAddress->setEnabled(true);
    if (!address.isEmpty()) {
        leIP->setText(address);
        return;
    }
    leIP->setText(lanAddresses);
    labelProblem->setText(QCoreApplication::translate("ConnectionSettingsDialog",
                                                      "The outward address was not found; the addresses shown are "
                                                      "this machine's own."));
    labelProblem->show();
}

ConnectionSettingsDialog::~ConnectionSettingsDialog() = default;

void ConnectionSettingsDialog::setupUi()
{
    setObjectName(QStringLiteral("ConnectionSettingsDialog"));
    resize(520, 200);
    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));

    leIP = new QLineEdit(this);
    leIP->setObjectName(QStringLiteral("leIP"));
    buttonOutwardAddress = new QPushButton(this);
    buttonOutwardAddress->setObjectName(QStringLiteral("buttonOutwardAddress"));
    lePort = new QLineEdit(this);
    lePort->setObjectName(QStringLiteral("lePort"));
    maxConnection = new QSpinBox(this);
    maxConnection->setObjectName(QStringLiteral("maxConnection"));
    maxConnection->setRange(1, 100);
    leEngine = new ButtonEditor(this);
    leEngine->setObjectName(QStringLiteral("leEngine"));
    // A whole engine path stays readable; its tool tip shows it too.
    leEngine->setMinimumWidth(leEngine->fontMetrics().averageCharWidth() * 48);
    connect(leEngine, &QLineEdit::textChanged, leEngine, &QWidget::setToolTip);
    leAllowedClients = new QLineEdit(this);
    leAllowedClients->setObjectName(QStringLiteral("leAllowedClients"));
    buttonBox = new QDialogButtonBox(this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    buttonBox->setOrientation(Qt::Horizontal);
    buttonBox->setStandardButtons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    labelIP = makeLabel(this, "labelIP", leIP);
    labelPort = makeLabel(this, "labelPort", lePort);
    labelMaxConnect = makeLabel(this, "labelMaxConnect", maxConnection);
    label_engin_name = makeLabel(this, "label_engin_name", nullptr);
    labelAllowedClients = makeLabel(this, "labelAllowedClients", leAllowedClients);

    gridLayout->addWidget(labelIP, 0, 0);
    auto *addressRow = new QHBoxLayout;
    addressRow->addWidget(leIP, 1);
    addressRow->addWidget(buttonOutwardAddress);
    gridLayout->addLayout(addressRow, 0, 1);
    gridLayout->addWidget(labelPort, 1, 0);
    gridLayout->addWidget(lePort, 1, 1);
    gridLayout->addWidget(labelMaxConnect, 2, 0);
    gridLayout->addWidget(maxConnection, 2, 1);
    gridLayout->addWidget(label_engin_name, 3, 0);
    gridLayout->addWidget(leEngine, 3, 1);
    gridLayout->addWidget(labelAllowedClients, 4, 0);
    gridLayout->addWidget(leAllowedClients, 4, 1);
    labelProblem = new QLabel(this);
    labelProblem->setObjectName(QStringLiteral("labelProblem"));
    labelProblem->setWordWrap(true);
    labelProblem->setStyleSheet(QStringLiteral("color: palette(highlight)"));
    labelProblem->hide();
    gridLayout->addWidget(labelProblem, 5, 0, 1, 2);
    labelListening = new QLabel(this);
    labelListening->setObjectName(QStringLiteral("labelListening"));
    labelListening->setWordWrap(true);
    labelListening->hide();
    gridLayout->addWidget(labelListening, 6, 0, 1, 2);
    gridLayout->addWidget(buttonBox, 7, 1);
    // A message that wraps makes the dialog taller instead of being cut off.
    gridLayout->setSizeConstraint(QLayout::SetMinimumSize);

    retranslateUi();
    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    QMetaObject::connectSlotsByName(this);
}

void ConnectionSettingsDialog::retranslateUi()
{
    setWindowTitle(QCoreApplication::translate("ConnectionSettingsDialog", "Connection Settings"));
    labelIP->setText(QCoreApplication::translate("ConnectionSettingsDialog", "IP Address:"));
    labelPort->setText(QCoreApplication::translate("ConnectionSettingsDialog", "Port:"));
    labelMaxConnect->setText(QCoreApplication::translate("ConnectionSettingsDialog", "Max Connection:"));
    label_engin_name->setText(QCoreApplication::translate("ConnectionSettingsDialog", "Engine Name:"));
    labelAllowedClients->setText(QCoreApplication::translate("ConnectionSettingsDialog", "Allowed Clients:"));
    leAllowedClients->setPlaceholderText(
        QCoreApplication::translate("ConnectionSettingsDialog", "Everyone, or e.g. 192.168.1.0/24"));
    leIP->setPlaceholderText(QCoreApplication::translate("ConnectionSettingsDialog", "No network address"));
    buttonOutwardAddress->setText(QCoreApplication::translate("ConnectionSettingsDialog", "Outward Address"));
    buttonOutwardAddress->setToolTip(QCoreApplication::translate(
        "ConnectionSettingsDialog", "Look up the address this machine uses towards the internet (asks a host outside the LAN)"));
    labelListening->setText(QCoreApplication::translate("ConnectionSettingsDialog",
                                                        "The service is running. Stop the service to change these."));
}

void ConnectionSettingsDialog::loadSettings()
{
    lePort->setText(settings.Read().port == 0 ? QString() : QString::number(settings.Read().port));
    leEngine->setText(settings.Stored(QStringLiteral("worker/engine")).toString());
    maxConnection->setValue(settings.Read().maxConnect);
    leAllowedClients->setText(settings.Read().allowedClients);
}

// What keeps the fields from being stored, or an empty text. Only fields
// that can be changed now (the service is stopped) are checked.
QString ConnectionSettingsDialog::Problem() const
{
    if (lePort->isEnabled()) {
        bool ok = false;
        const int port = lePort->text().trimmed().toInt(&ok, 10);
        if (!ok || port < 1 || port > 65535)
            return QCoreApplication::translate("ConnectionSettingsDialog", "The port must be a number from 1 to 65535.");
    }
    if (leEngine->isEnabled()) {
        const QString engine = JobManager::ResolveEngine(leEngine->text().trimmed());
        if (!JobManager::EngineUsable(engine)) {
            return leEngine->text().trimmed().isEmpty()
                ? QCoreApplication::translate("ConnectionSettingsDialog",
                                              "No engine is given, and the default engine %1 is not there. "
                                              "Choose the nesting engine's program.")
                      .arg(engine)
                : QCoreApplication::translate("ConnectionSettingsDialog",
                                              "The engine %1 cannot be run: the file is missing or not executable.")
                      .arg(engine);
        }
    }
    // An entry the listener would leave out could lock out every client,
    // even this machine.
    if (leAllowedClients->isEnabled()) {
        const QStringList problems = AddressFilter(leAllowedClients->text()).Problems();
        if (!problems.isEmpty())
            return QCoreApplication::translate("ConnectionSettingsDialog",
                                               "Allowed clients: %1. Give addresses (192.168.1.20) or networks "
                                               "(192.168.1.0/24), separated by commas; leave it empty for everyone.")
                .arg(problems.join(QStringLiteral("; ")));
    }
    return QString();
}

QStringList ConnectionSettingsDialog::LanAddresses()
{
    QStringList addresses;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addresses << entry.ip().toString();
        }
    }
    return addresses;
}

void ConnectionSettingsDialog::accept()
{
    const QString problem = Problem();
    labelProblem->setText(problem);
    labelProblem->setVisible(!problem.isEmpty());
    if (!problem.isEmpty())
        return;
    // The settings check each value once more; a refusal is shown like the
    // problems above and keeps the dialog open.
    const QList<QPair<QString, QVariant>> values{
        {QStringLiteral("worker/port"), lePort->text().trimmed()},
        {QStringLiteral("worker/engine"), leEngine->text().trimmed()},
        {QStringLiteral("worker/max_connect"), maxConnection->value()},
        {QStringLiteral("worker/allowed_clients"), leAllowedClients->text().trimmed()}};
    for (const auto &value : values) {
        QString refused;
        if (!settings.Write(value.first, value.second, &refused)) {
            labelProblem->setText(refused);
            labelProblem->setVisible(true);
            return;
        }
    }
    settings.Sync();
    QDialog::accept();
}

void ConnectionSettingsDialog::on_leEngine_returnPressed()
{
    QString folder = leEngine->text().isEmpty() ? QString() : QFileInfo(leEngine->text()).absolutePath();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    const QStringList filters{QCoreApplication::translate("ConnectionSettingsDialog", "Application File (*.exe)")};
#else
    // Executables carry no suffix here, so all files are offered as well.
    const QStringList filters{QCoreApplication::translate("ConnectionSettingsDialog", "All Files (*)"), QCoreApplication::translate("ConnectionSettingsDialog", "Application File (*.exe)")};
#endif
    const QString chosen = chooseFile(folder, filters.join(QStringLiteral(";;")));
    if (chosen.isEmpty())
        return;
    leEngine->setText(chosen);
    leEngine->setToolTip(chosen);
}

QString ConnectionSettingsDialog::chooseFile(const QString &folder, const QString &filter)
{
    return QFileDialog::getOpenFileName(this, QString(), folder, filter);
}

// A language change re-applies the texts of an open dialog as well.
void ConnectionSettingsDialog::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslateUi();
    QDialog::changeEvent(event);
}

} // namespace Zendral
} // namespace Orvane
