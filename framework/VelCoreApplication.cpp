#include "VelCoreApplication.h"

#include "Performance.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <cstdio>

namespace Orvane {

namespace {

VelCoreApplication *theInstance = nullptr;

const char *const LanguageKey = "language";
const char *const TranslationFolder = ":/translations";

// The code itself, then its language-only form ("zh" for "zh_CN").
QStringList CodeCandidates(const QString &code)
{
    QStringList codes{code};
    const QString language = code.section(QLatin1Char('_'), 0, 0);
    if (!language.isEmpty() && language != code)
        codes << language;
    return codes;
}

QString NativeName(const QString &code)
{
    if (code == QLatin1String("en"))
        return QStringLiteral("English");
    if (code == QLatin1String("zh_CN"))
        return QStringLiteral("简体中文");
    const QString name = QLocale(code).nativeLanguageName();
    return name.isEmpty() ? code : name;
}

void Print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

VelCoreApplication::VelCoreApplication()
    : performance(new Performance)
{
    theInstance = this;
}

VelCoreApplication::~VelCoreApplication()
{
    removeTranslators();
    performance.reset();
    if (theInstance == this)
        theInstance = nullptr;
}

VelCoreApplication *VelCoreApplication::instance()
{
    return theInstance;
}

int VelCoreApplication::processCommandLine(const QStringList &arguments)
{
    const QString name = QCoreApplication::applicationName();
    // The help names the program as it was typed.
    const QString typed = QFileInfo(arguments.value(0)).fileName();
    const QString program = typed.isEmpty() ? name : typed;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--help")) {
            Print(QStringLiteral(
                      "Usage: %1 [-a] [--help] [--version]\n"
                      "       %1 --import-queue\n"
                      "  -a         start the service at once, without the update check\n"
                      "  --import-queue\n"
                      "             move this machine's queue (JOB_LIST.BAK and the job folders) into\n"
                      "             the shared queue of the settings (store/backend = postgresql), once\n"
                      "  --help     show this help and exit\n"
                      "  --version  show the version and build number and exit\n")
                      .arg(program));
            return 0;
        }
        if (arguments.at(i) == QLatin1String("--version")) {
            Print(QStringLiteral("%1 %2 (build %3)\n")
                      .arg(name, QStringLiteral(ZENDRAL_VERSION), buildNumber()));
            return 0;
        }
    }
    return -1;
}

QTranslator *VelCoreApplication::loadTranslator(const QString &folder, const QString &prefix,
                                                const QString &code)
{
    for (const QString &candidate : CodeCandidates(code)) {
        std::unique_ptr<QTranslator> translator(new QTranslator);
        if (translator->load(prefix + candidate, folder))
            return translator.release();
    }
    return nullptr;
}

void VelCoreApplication::removeTranslators()
{
    if (appTranslator)
        QCoreApplication::removeTranslator(appTranslator.get());
    if (qtTranslator)
        QCoreApplication::removeTranslator(qtTranslator.get());
    appTranslator.reset();
    qtTranslator.reset();
}

void VelCoreApplication::setLanguage(const QString &code, bool store)
{
    QSettings settings;
    QString effective = code;
    if (effective.isEmpty() && !store)
        effective = settings.value(QLatin1String(LanguageKey)).toString();
    if (effective.isEmpty())
        effective = QLocale::system().name();

    removeTranslators();
    appTranslator.reset(loadTranslator(QLatin1String(TranslationFolder),
                                       QStringLiteral("zendral_"), effective));
    qtTranslator.reset(loadTranslator(QLibraryInfo::location(QLibraryInfo::TranslationsPath),
                                      QStringLiteral("qtbase_"), effective));
    if (qtTranslator)
        QCoreApplication::installTranslator(qtTranslator.get());
    if (appTranslator)
        QCoreApplication::installTranslator(appTranslator.get());

    // Installing or removing a translator announces the change only when a
    // translator was there; announce it always, so that every window
    // re-applies its texts also for a language without a translation.
    if (QCoreApplication::instance() != nullptr) {
        QEvent event(QEvent::LanguageChange);
        QCoreApplication::sendEvent(QCoreApplication::instance(), &event);
    }

    if (store) {
        settings.setValue(QLatin1String(LanguageKey), code);
        settings.sync();
    }
}

QListEx<QPair<QString, QString>> VelCoreApplication::availableLanguages()
{
    QListEx<QPair<QString, QString>> languages;
    languages << qMakePair(QString(), QCoreApplication::translate(
                                          "Orvane::Zendral::LanguageMenuProxy", "<Auto>"));
    const QStringList files = QDir(QLatin1String(TranslationFolder))
                                  .entryList({QStringLiteral("zendral_*.qm")}, QDir::Files,
                                             QDir::Name);
    const int prefix = int(qstrlen("zendral_"));
    const int suffix = int(qstrlen(".qm"));
    for (const QString &file : files) {
        const QString code = file.mid(prefix, file.size() - prefix - suffix);
        if (!code.isEmpty())
            languages << qMakePair(code, NativeName(code));
    }
    return languages;
}

QString VelCoreApplication::buildNumber()
{
    return QStringLiteral(ZENDRAL_BUILD_NUMBER);
}

QString VelCoreApplication::updaterFirstText() const
{
    return QString();
}

QString VelCoreApplication::updaterSecondText() const
{
    return QString();
}

} // namespace Orvane
