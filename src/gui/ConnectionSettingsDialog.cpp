#include "ConnectionSettingsDialog.h"

#include "ButtonEditor.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
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

ConnectionSettingsDialog::ConnectionSettingsDialog(bool listening, QWidget *parent)
    : QDialog(parent)
{
    setupUi();
    leIP->setEnabled(false);
    lePort->setValidator(new QIntValidator(1024, 65535, lePort));
    loadSettings();
    if (listening) {
        lePort->setEnabled(false);
        leEngine->setEnabled(false);
        maxConnection->setEnabled(false);
        leAllowedClients->setEnabled(false);
    }
}

ConnectionSettingsDialog::~ConnectionSettingsDialog() = default;

void ConnectionSettingsDialog::setupUi()
{
    setObjectName(QStringLiteral("ConnectionSettingsDialog"));
    resize(400, 175);
    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));

    leIP = new QLineEdit(this);
    leIP->setObjectName(QStringLiteral("leIP"));
    QFont font = leIP->font();
    font.setPointSize(8);
    leIP->setFont(font);
    leIP->setDragEnabled(false);
    leIP->setReadOnly(false);
    lePort = new QLineEdit(this);
    lePort->setObjectName(QStringLiteral("lePort"));
    maxConnection = new QSpinBox(this);
    maxConnection->setObjectName(QStringLiteral("maxConnection"));
    maxConnection->setRange(1, 100);
    leEngine = new ButtonEditor(this);
    leEngine->setObjectName(QStringLiteral("leEngine"));
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
    gridLayout->addWidget(leIP, 0, 1);
    gridLayout->addWidget(labelPort, 1, 0);
    gridLayout->addWidget(lePort, 1, 1);
    gridLayout->addWidget(labelMaxConnect, 2, 0);
    gridLayout->addWidget(maxConnection, 2, 1);
    gridLayout->addWidget(label_engin_name, 3, 0);
    gridLayout->addWidget(leEngine, 3, 1);
    gridLayout->addWidget(labelAllowedClients, 4, 0);
    gridLayout->addWidget(leAllowedClients, 4, 1);
    gridLayout->addWidget(buttonBox, 5, 1);

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
    // The address placeholder is replaced by the opener; re-translate it only
    // while it is still shown.
    if (leIP->text().isEmpty() || leIP->text() == ipPlaceholder) {
        ipPlaceholder = QCoreApplication::translate("ConnectionSettingsDialog", "<Please wait while accessing to WAN IP>");
        leIP->setText(ipPlaceholder);
    }
}

void ConnectionSettingsDialog::loadSettings()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("worker"));
    lePort->setText(settings.value(QStringLiteral("port"), QStringLiteral("10088")).toString());
    leEngine->setText(settings.value(QStringLiteral("engine"), QString()).toString());
    maxConnection->setValue(settings.value(QStringLiteral("max_connect"), 10).toInt());
    // A list written by hand without quotes reads as a string list.
    leAllowedClients->setText(
        settings.value(QStringLiteral("allowed_clients")).toStringList().join(QStringLiteral(", ")));
    settings.endGroup();
}

void ConnectionSettingsDialog::accept()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("worker"));
    settings.setValue(QStringLiteral("port"), lePort->text());
    settings.setValue(QStringLiteral("engine"), leEngine->text());
    settings.setValue(QStringLiteral("max_connect"), maxConnection->value());
    settings.setValue(QStringLiteral("allowed_clients"), leAllowedClients->text().trimmed());
    settings.endGroup();
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
