#pragma once

#include <QLineEdit>
#include <QString>

class QPushButton;

namespace Orvane {

// A line edit with an embedded browse button at its right edge. Clicking the
// button emits returnPressed(), like pressing Enter in the field, so one slot
// serves both.
//
// Thread: GUI thread only.
class ButtonEditor : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(QString value READ value WRITE setValue USER true)
public:
    explicit ButtonEditor(QWidget *parent = nullptr);
    ~ButtonEditor() override;

    QString value() const { return text(); }
    void setValue(const QString &value) { setText(value); }

    QPushButton *button() const { return m_button; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QPushButton *m_button;
};

} // namespace Orvane
