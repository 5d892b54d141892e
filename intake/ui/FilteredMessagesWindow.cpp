#include "intake/ui/FilteredMessagesWindow.h"

#include "intake/RecordTime.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/Twips.h"
#include "store/LogRecord.h"

#include <QCloseEvent>
#include <QFont>
#include <QShowEvent>
#include <algorithm>

namespace {

int pixels(int value) { return twips::toPixels(value); }
int twipsOf(int value) { return int(twips::fromPixels(value)); }

QFont songTi() { return songtiFont(10.5); }

} // namespace

FilteredMessagesWindow::FilteredMessagesWindow(FilteredMessageBuffer& buffer, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , buffer_(buffer)
    , txtoutput_(new ExtentListWidget(this))
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("被过滤的信息"));
    setFont(songTi());
    resize(pixels(7800), pixels(4455));
    txtoutput_->setObjectName(QStringLiteral("txtoutput"));
    txtoutput_->setGeometry(0, 0, pixels(7815), pixels(4470));
}

void FilteredMessagesWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!loaded_)
        Form_Load();
}

void FilteredMessagesWindow::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    QWidget::closeEvent(event);
}

void FilteredMessagesWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void FilteredMessagesWindow::Form_Load()
{
    loaded_ = true;
    ShownCount = 0;
    ShownGeneration = -1;
    RefreshFilteredView();
}

void FilteredMessagesWindow::Form_Unload()
{
    loaded_ = false;
}

void FilteredMessagesWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    Form_Resize();
}

void FilteredMessagesWindow::Form_Resize()
{
    const int outerWidth = twipsOf(frameGeometry().width());
    const int outerHeight = twipsOf(frameGeometry().height());
    if (outerWidth <= 240 || outerHeight <= 1520)
        return;
    txtoutput_->resize(pixels(outerWidth - 225), pixels(outerHeight - 555));
}

void FilteredMessagesWindow::RefreshFilteredView()
{
    if (hasNothingNew())
        return;
    txtoutput_->setRedraw(false);
    if (needsRefill()) {
        txtoutput_->clear();
        ShownCount = 0;
        ShownGeneration = buffer_.FilteredBufferGeneration;
    }
    appendNewEntries();
    buffer_.FilteredBufferChanged = false;
    txtoutput_->setRedraw(true);
}

bool FilteredMessagesWindow::hasNothingNew() const
{
    const FilteredMessageBuffer& buffer = buffer_;
    return ShownGeneration == buffer.FilteredBufferGeneration && ShownCount == buffer.FilteredBufferCount
        && !buffer.FilteredBufferChanged;
}

bool FilteredMessagesWindow::needsRefill() const
{
    const FilteredMessageBuffer& buffer = buffer_;
    return ShownGeneration != buffer.FilteredBufferGeneration || ShownCount > buffer.FilteredBufferCount;
}

void FilteredMessagesWindow::appendNewEntries()
{
    const FilteredMessageBuffer& buffer = buffer_;
    const qint32 stored = std::clamp(buffer.FilteredBufferCount, 0, FilteredMessageBuffer::Capacity);
    for (qint32 i = ShownCount; i < stored; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        txtoutput_->addItem(
            logLine(formatRecordTime(buffer.FilteredTime[slot]), buffer.FilteredIp[slot], buffer.FilteredMessage[slot]));
    }
    ShownCount = stored;
}
