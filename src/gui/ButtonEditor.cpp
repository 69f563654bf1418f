#include "ButtonEditor.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>

namespace Orvane {

ButtonEditor::ButtonEditor(QWidget *parent)
    : QLineEdit(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch();
    m_button = new QPushButton(this);
    layout->addWidget(m_button);
    connect(m_button, &QPushButton::clicked, this, &QLineEdit::returnPressed);

    m_button->setIcon(style()->standardIcon(QStyle::SP_DirIcon));
    m_button->setIconSize(QSize(12, 12));
    m_button->setFlat(true);
    m_button->setCursor(Qt::ArrowCursor);
}

ButtonEditor::~ButtonEditor()
{
    delete m_button;
}

// Places the button at the right edge and keeps the text clear of it.
void ButtonEditor::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    ensurePolished();
    const QSize hint = m_button->sizeHint();
    const QRect r = rect();
    m_button->setGeometry(r.right() - hint.width() + 2, (r.height() - hint.height()) / 2,
                          hint.width(), hint.height());
    QMargins margins = textMargins();
    margins.setRight(hint.width() + 4);
    setTextMargins(margins);
}

} // namespace Orvane
