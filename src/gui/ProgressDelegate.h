#pragma once

#include <QStyledItemDelegate>

namespace Orvane {
namespace Zendral {

// Paints a cell's display value (an int from 0 to 100) as a progress bar
// with its percentage, through the view's style, so that thousands of rows
// need no widget each.
//
// Thread: GUI thread only.
class ProgressDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit ProgressDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The bar's text for a value: "<value>%".
    static QString percentText(int value);
};

} // namespace Zendral
} // namespace Orvane
