#pragma once

#include <QEvent>
#include <QWidget>

// A top-level widget that counts the language-change events reaching it.
class LanguageChangeCounter : public QWidget
{
public:
    int changes = 0;

protected:
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::LanguageChange)
            ++changes;
        QWidget::changeEvent(event);
    }
};
