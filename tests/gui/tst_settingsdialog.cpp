// Connection settings dialog and its browse field: defaults, storing on OK
// only, disabled fields while listening, the file chooser's start folder,
// re-translation and the embedded button's geometry.
#include "ButtonEditor.h"
#include "ConnectionSettingsDialog.h"
#include "ServiceSettings.h"

#include <memory>

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTranslator>
#include <QtTest>

using Orvane::ButtonEditor;
using Orvane::Zendral::ConnectionSettingsDialog;

namespace {

// Answers the file chooser without a window and records where it started.
class ProbeDialog : public ConnectionSettingsDialog
{
public:
    using ConnectionSettingsDialog::ConnectionSettingsDialog;
    QString answer;
    QString startedIn;
    int calls = 0;

protected:
    QString chooseFile(const QString &folder, const QString &) override
    {
        ++calls;
        startedIn = folder;
        return answer;
    }
};

// Translates one text of the dialog's context, to see re-translation.
class OneTextTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (QByteArray(context) == "ConnectionSettingsDialog" && QByteArray(source) == "Port:")
            return QStringLiteral("Anschluss:");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("OrvaneTest");
        QCoreApplication::setApplicationName("ZendralSettingsTest");
        service.reset(new Orvane::Zendral::ServiceSettings(Orvane::Zendral::ServiceSettings::UserSettings()));
    }
    void init() { QSettings().clear(); }

private:
    // The per-user settings (test mode) the dialog reads and writes.
    std::unique_ptr<Orvane::Zendral::ServiceSettings> service;

private slots:

    void defaultsAndStoring()
    {
        {
            ConnectionSettingsDialog dialog(*service, false);
            QCOMPARE(dialog.lePort->text(), QStringLiteral("10088"));
            QCOMPARE(dialog.leEngine->text(), QString());
            QCOMPARE(dialog.maxConnection->value(), 10);
            QVERIFY(dialog.leIP->isReadOnly()); // shown, never stored
            QCOMPARE(dialog.leIP->text(), ConnectionSettingsDialog::LanAddresses().join(", "));
            QVERIFY(!dialog.labelListening->isVisibleTo(&dialog));
            QVERIFY(dialog.lePort->isEnabled() && dialog.leEngine->isEnabled() && dialog.maxConnection->isEnabled());
            QCOMPARE(dialog.findChild<QLineEdit *>("leEngine"), dialog.leEngine);
            // Cancel stores nothing.
            dialog.lePort->setText("12000");
            dialog.reject();
        }
        QVERIFY(!QSettings().contains("worker/port"));
        const QString engine = QStringLiteral(ZENDRAL_STUB_ENGINE_PATH);
        {
            // OK stores all keys, the unchanged ones too.
            ConnectionSettingsDialog dialog(*service, false);
            dialog.leEngine->setText(engine);
            dialog.buttonBox->button(QDialogButtonBox::Ok)->click();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QSettings settings;
        QCOMPARE(settings.value("worker/port").toString(), QStringLiteral("10088"));
        QCOMPARE(settings.value("worker/engine").toString(), engine);
        QCOMPARE(settings.value("worker/max_connect").toInt(), 10);
        {
            ConnectionSettingsDialog dialog(*service, false);
            dialog.lePort->setText("80");
            dialog.maxConnection->setValue(250); // clamped to 100
            dialog.leAllowedClients->setText(" 127.0.0.1, 192.168.1.0/24 ");
            dialog.accept();
        }
        settings.sync();
        QCOMPARE(settings.value("worker/port").toString(), QStringLiteral("80"));
        QCOMPARE(settings.value("worker/max_connect").toInt(), 100);
        QCOMPARE(settings.value("worker/allowed_clients").toString(), QStringLiteral("127.0.0.1, 192.168.1.0/24"));
        ConnectionSettingsDialog reread(*service, false);
        QCOMPARE(reread.leAllowedClients->text(), QStringLiteral("127.0.0.1, 192.168.1.0/24"));
        QCOMPARE(reread.lePort->text(), QStringLiteral("80"));
        QCOMPARE(reread.leEngine->text(), engine);
        QCOMPARE(reread.leEngine->toolTip(), engine); // the whole path, also when the field is narrow
    }

    // A port outside 1 to 65535 (or none) and an engine that cannot be run
    // are refused with a message; the dialog stays open and stores nothing.
    void unusableFieldsRefused()
    {
        ConnectionSettingsDialog dialog(*service, false);
        dialog.show();
        auto *problem = dialog.findChild<QLabel *>("labelProblem");
        QVERIFY(problem);
        const QString engine = QStringLiteral(ZENDRAL_STUB_ENGINE_PATH);
        const QList<QPair<QString, QString>> refused{{QString(), engine},
                                                      {QStringLiteral("0"), engine},
                                                      {QStringLiteral("10088"), QStringLiteral("/no/such/engine")},
                                                      {QStringLiteral("10088"), QString()}}; // the default is not there
        for (const auto &fields : refused) {
            dialog.lePort->setText(fields.first);
            dialog.leEngine->setText(fields.second);
            dialog.buttonBox->button(QDialogButtonBox::Ok)->click();
            QVERIFY2(dialog.isVisible() && problem->isVisible(), qPrintable(fields.first + " " + fields.second));
            QVERIFY(!QSettings().contains("worker/port"));
        }
        QVERIFY(problem->text().contains("DizoVezevi"));
        dialog.lePort->setText("10089");
        dialog.leEngine->setText(engine);
        dialog.buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QSettings().value("worker/port").toString(), QStringLiteral("10089"));
    }

    // An allow-list entry the listener would leave out is refused with its
    // reason, and nothing is stored: such a list could lock out every client.
    void unparsedAllowListRefused()
    {
        ConnectionSettingsDialog dialog(*service, false);
        dialog.show();
        auto *problem = dialog.findChild<QLabel *>("labelProblem");
        QVERIFY(problem);
        dialog.leEngine->setText(QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        for (const char *list : {"foo, 300.1.1.1/33", "127.0.0.1, 10.0.0.0/0", "2130706437"}) {
            dialog.leAllowedClients->setText(QLatin1String(list));
            dialog.buttonBox->button(QDialogButtonBox::Ok)->click();
            QVERIFY2(dialog.isVisible() && problem->isVisible(), list);
            QVERIFY(!QSettings().contains("worker/allowed_clients"));
        }
        QVERIFY2(problem->text().contains("2130706437"), qPrintable(problem->text()));
        dialog.leAllowedClients->setText(QStringLiteral("::ffff:127.0.0.5, 127.0.0.0/8"));
        dialog.buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QSettings().value("worker/allowed_clients").toString(),
                 QStringLiteral("::ffff:127.0.0.5, 127.0.0.0/8"));
    }

    void listeningDisablesFields()
    {
        ConnectionSettingsDialog dialog(*service, true);
        QVERIFY(dialog.leIP->isReadOnly());
        QVERIFY(dialog.labelListening->isVisibleTo(&dialog)); // says why
        QVERIFY(dialog.labelListening->text().contains("Stop the service to change these"));
        QVERIFY(!dialog.lePort->isEnabled());
        QVERIFY(!dialog.leEngine->isEnabled());
        QVERIFY(!dialog.maxConnection->isEnabled());
        QVERIFY(!dialog.leAllowedClients->isEnabled());
    }

    void fileChooser()
    {
        ProbeDialog dialog(*service, false);
        dialog.answer.clear();
        // Button click and Enter both reach the chooser.
        dialog.leEngine->button()->click();
        QCOMPARE(dialog.calls, 1);
        QCOMPARE(dialog.startedIn, QCoreApplication::applicationDirPath());
        dialog.leEngine->setText("/opt/engine/run");
        dialog.leEngine->setToolTip("old tip");
        QTest::keyClick(dialog.leEngine, Qt::Key_Return);
        QCOMPARE(dialog.calls, 2);
        QCOMPARE(dialog.startedIn, QStringLiteral("/opt/engine"));
        // Cancelled: nothing changes.
        QCOMPARE(dialog.leEngine->text(), QStringLiteral("/opt/engine/run"));
        QCOMPARE(dialog.leEngine->toolTip(), QStringLiteral("old tip"));
        dialog.leEngine->setText("bare");
        dialog.answer = "/usr/bin/engine";
        emit dialog.leEngine->returnPressed();
        QCOMPARE(dialog.startedIn, QDir::currentPath());
        QCOMPARE(dialog.leEngine->text(), QStringLiteral("/usr/bin/engine"));
        QCOMPARE(dialog.leEngine->toolTip(), QStringLiteral("/usr/bin/engine"));
    }

    void languageChangeRetranslatesOpenDialog()
    {
        ConnectionSettingsDialog dialog(*service, false);
        dialog.show();
        auto *label = dialog.findChild<QLabel *>("labelPort");
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("Port:"));
        dialog.leIP->setText("192.0.2.7");
        OneTextTranslator translator;
        QCoreApplication::installTranslator(&translator);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Anschluss:"), 2000);
        // The address set by the opener is not overwritten.
        QCOMPARE(dialog.leIP->text(), QStringLiteral("192.0.2.7"));
        QCoreApplication::removeTranslator(&translator);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Port:"), 2000);
    }

    void buttonEditorGeometry()
    {
        ButtonEditor editor;
        editor.setValue("abc");
        QCOMPARE(editor.property("value").toString(), QStringLiteral("abc"));
        QCOMPARE(editor.metaObject()->userProperty().name(), "value");
        QVERIFY(editor.button()->isFlat());
        QCOMPARE(editor.button()->iconSize(), QSize(12, 12));

        editor.resize(200, 30);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        const QSize hint = editor.button()->sizeHint();
        QCOMPARE(editor.button()->geometry(),
                 QRect(199 - hint.width() + 2, (30 - hint.height()) / 2, hint.width(), hint.height()));
        QCOMPARE(editor.textMargins().right(), hint.width() + 4);
    }
};


QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
