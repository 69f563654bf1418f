#include "ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

#include <algorithm>

namespace Orvane {
namespace Zendral {

namespace {
constexpr int Margin = 2; // between the bar and the cell's edges
}

ProgressDelegate::ProgressDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

// The cell's own background (selection, a state tint) first, then the bar.
void ProgressDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    QStyleOptionViewItem cell(option);
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &cell, painter, widget);

    const int value = std::max(0, std::min(100, index.data(Qt::DisplayRole).toInt()));
    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(Margin, Margin, -Margin, -Margin);
    bar.direction = option.direction;
    bar.fontMetrics = option.fontMetrics;
    bar.palette = option.palette;
    bar.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = value;
    bar.text = percentText(value);
    bar.textAlignment = Qt::AlignCenter;
    bar.textVisible = true;
    painter->save();
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
    painter->restore();
}

QSize ProgressDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QSize base = QStyledItemDelegate::sizeHint(option, index);
    const int text = option.fontMetrics.horizontalAdvance(percentText(100));
    return QSize(std::max(base.width(), text + 8 * Margin), base.height());
}

QString ProgressDelegate::percentText(int value)
{
    return QString::number(value) + QLatin1Char('%');
}

} // namespace Zendral
} // namespace Orvane
