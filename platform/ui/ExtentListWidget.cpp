#include "platform/ui/ExtentListWidget.h"

#include "platform/ui/LogLineDelegate.h"

#include <QScrollBar>

namespace {

// Every line is one text row of the same height, as wide as any line can be
// shown. With uniform sizes the list measures one line instead of each of
// thousands, and the scroll range is set by the program anyway. Lines are
// coloured by their severity.
class SingleRowDelegate final : public LogLineDelegate {
public:
    using LogLineDelegate::LogLineDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        constexpr int kWidestLinePixels = 1 << 20;
        return {kWidestLinePixels, LogLineDelegate::sizeHint(option, index).height()};
    }
};

} // namespace

ExtentListWidget::ExtentListWidget(QWidget* parent) : QListWidget(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setItemDelegate(new SingleRowDelegate(this));
}

void ExtentListWidget::setHorizontalExtent(int pixels)
{
    if (pixels <= 0)
        return;
    extent_ = pixels;
    if (!scrollBarShown_) {
        // Always on once shown: a bar that came and went with the range would
        // change the viewport, which recomputes the range, and so on for ever.
        scrollBarShown_ = true;
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    updateGeometries();
}

void ExtentListWidget::setRedraw(bool on)
{
    setUpdatesEnabled(on);
    if (on)
        viewport()->update();
}

QString ExtentListWidget::currentLineText() const
{
    const QListWidgetItem* line = currentItem();
    return line ? line->text() : QString();
}

void ExtentListWidget::updateGeometries()
{
    QListWidget::updateGeometries();
    if (extent_ <= 0)
        return;
    const int visible = viewport()->width();
    horizontalScrollBar()->setPageStep(visible);
    horizontalScrollBar()->setRange(0, qMax(0, extent_ - visible));
}
