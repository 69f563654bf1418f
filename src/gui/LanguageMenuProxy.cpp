#include "LanguageMenuProxy.h"

#include "VelCoreApplication.h"

#include <QAction>
#include <QEvent>
#include <QMenu>
#include <QSettings>
#include <QSignalMapper>

namespace Orvane {
namespace Zendral {

LanguageMenuProxy::LanguageMenuProxy(QObject *parent)
    : QObject(parent)
{
}

LanguageMenuProxy::~LanguageMenuProxy() = default;

QString LanguageMenuProxy::storedCode()
{
    return QSettings().value(QStringLiteral("language"), QString()).toString();
}

LanguageMenuProxy *LanguageMenuProxy::create(QMenu *menu)
{
    auto *proxy = new LanguageMenuProxy(menu);
    auto *mapper = new QSignalMapper(proxy);
    connect(mapper, &QSignalMapper::mappedString, proxy, &LanguageMenuProxy::itemSelected);

    const QString stored = storedCode();
    const QString autoText = tr("<Auto>");
    bool matched = false;
    QAction *autoAction = nullptr;
    for (const auto &language : VelCoreApplication::availableLanguages()) {
        const QString code = language.first;
        const QString name = language.second;
        auto *action = new QAction(name, proxy);
        action->setObjectName(QStringLiteral("language%1").arg(name));
        connect(action, &QAction::triggered, mapper, qOverload<>(&QSignalMapper::map));
        mapper->setMapping(action, code);
        menu->addAction(action);
        action->setCheckable(true);
        action->setChecked(false);
        if (code == stored) {
            action->setChecked(true);
            matched = true;
        }
        // The automatic entry is recognised by its display name; the
        // untranslated text counts too, whichever language is loaded.
        if (name == autoText || name == QLatin1String("<Auto>"))
            autoAction = action;
        proxy->actions.insert(code, action);
    }
    if (!matched && autoAction)
        autoAction->setChecked(true);
    return proxy;
}

bool LanguageMenuProxy::event(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        if (QAction *automatic = actions.value(QString()))
            automatic->setText(tr("<Auto>"));
    }
    return QObject::event(event);
}

void LanguageMenuProxy::itemSelected(const QString code)
{
    const QString stored = storedCode();
    if (code != stored)
        VelCoreApplication::instance()->setLanguage(code, true);
    if (QAction *previous = actions.value(stored))
        previous->setChecked(false);
    if (QAction *chosen = actions.value(code))
        chosen->setChecked(true);
}

} // namespace Zendral
} // namespace Orvane
