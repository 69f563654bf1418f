// Language menu: check marks at build time, switching the language (the
// automatic entry and Qt's own texts follow), and picking the entry that is
// already checked.
#include "LanguageChangeCounter.h"
#include "LanguageMenuProxy.h"
#include "TestMain.h"
#include "VelCoreApplication.h"

#include <QAction>
#include <QMenu>
#include <QSettings>

using Orvane::VelCoreApplication;
using Orvane::Zendral::LanguageMenuProxy;

namespace {

QStringList checkedCodes(LanguageMenuProxy *proxy)
{
    QStringList codes;
    for (const auto &language : VelCoreApplication::availableLanguages())
        if (proxy->action(language.first) && proxy->action(language.first)->isChecked())
            codes << language.first;
    return codes;
}

} // namespace

class TestLanguageMenu : public QObject
{
    Q_OBJECT
private slots:
    void init() { QSettings().remove("language"); }
    void cleanupTestCase() { VelCoreApplication::instance()->setLanguage("en", true); }

    void entriesFollowTheLanguageList()
    {
        const auto languages = VelCoreApplication::availableLanguages();
        QMenu menu;
        LanguageMenuProxy *proxy = LanguageMenuProxy::create(&menu);
        QCOMPARE(proxy->parent(), &menu);
        QCOMPARE(menu.actions().size(), languages.size());
        QCOMPARE(menu.actions().at(0)->text(), QStringLiteral("<Auto>"));
        QVERIFY(proxy->action("en"));
        QVERIFY(proxy->action("zh_CN"));
        QCOMPARE(proxy->action("zh_CN")->text(), QStringLiteral("简体中文"));
        QCOMPARE(proxy->action("zh_CN")->objectName(), QStringLiteral("language简体中文"));
        for (QAction *action : menu.actions())
            QVERIFY(action->isCheckable());
        // Nothing stored: the automatic entry (code "") is the one checked.
        QCOMPARE(checkedCodes(proxy), QStringList{QString()});
    }

    void storedCodeIsChecked()
    {
        QSettings().setValue("language", "zh_CN");
        QMenu menu;
        LanguageMenuProxy *proxy = LanguageMenuProxy::create(&menu);
        QCOMPARE(checkedCodes(proxy), QStringList{"zh_CN"});

        // A stored code without an entry falls back to the automatic one.
        QSettings().setValue("language", "xx_YY");
        QMenu other;
        QCOMPARE(checkedCodes(LanguageMenuProxy::create(&other)), QStringList{QString()});
    }

    void switchingAndRepicking()
    {
        QSettings().setValue("language", "en");
        QMenu menu;
        LanguageMenuProxy *proxy = LanguageMenuProxy::create(&menu);
        LanguageChangeCounter probe;
        probe.show();

        proxy->action("zh_CN")->trigger();
        QCOMPARE(QSettings().value("language").toString(), QStringLiteral("zh_CN"));
        QCOMPARE(checkedCodes(proxy), QStringList{"zh_CN"});
        QTRY_COMPARE_WITH_TIMEOUT(probe.changes, 1, 2000);
        QCOMPARE(QCoreApplication::translate("LocalMainWindow", "Start"), QStringLiteral("启动"));
        // The automatic entry follows; Qt's own texts (OK/Cancel) come from
        // Qt's translations (Debian package qttranslations5-l10n).
        QTRY_COMPARE_WITH_TIMEOUT(menu.actions().at(0)->text(), QStringLiteral("<自动>"), 2000);
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));

        // Picking the checked entry again changes nothing and keeps the mark.
        proxy->action("zh_CN")->trigger();
        QCOMPARE(checkedCodes(proxy), QStringList{"zh_CN"});
        QTest::qWait(100);
        QCOMPARE(probe.changes, 1);

        proxy->action("en")->trigger();
        QCOMPARE(QSettings().value("language").toString(), QStringLiteral("en"));
        QCOMPARE(checkedCodes(proxy), QStringList{"en"});
        QTRY_COMPARE_WITH_TIMEOUT(probe.changes, 2, 2000);
        QCOMPARE(QCoreApplication::translate("LocalMainWindow", "Start"), QStringLiteral("Start"));
        QTRY_COMPARE_WITH_TIMEOUT(menu.actions().at(0)->text(), QStringLiteral("<Auto>"), 2000);
    }
};

ZENDRAL_VEL_TEST_MAIN(TestLanguageMenu)
#include "tst_languagemenu.moc"
