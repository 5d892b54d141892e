#include "intake/ui/FilteredMessagesWindow.h"

#include "intake/RecordTime.h"
#include "platform/ui/ExtentListWidget.h"
#include "platform/ui/LogLineDelegate.h"
#include "platform/ui/Twips.h"
#include "store/LogRecord.h"
#include "store/Severity.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidgetItem>
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
    , list_(new ExtentListWidget(this))
{
    setObjectName(QStringLiteral("Form3"));
    // The same caption in both languages.
    setWindowTitle(QStringLiteral("被过滤的信息"));
    setFont(songTi());
    resize(pixels(7800), pixels(4455));
    list_->setObjectName(QStringLiteral("txtoutput"));
    list_->setGeometry(0, 0, pixels(7815), pixels(4470));
}

void FilteredMessagesWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!loaded_)
        startFollowing();
}

void FilteredMessagesWindow::closeEvent(QCloseEvent* event)
{
    stopFollowing();
    QWidget::closeEvent(event);
}

void FilteredMessagesWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitListToWindow();
}

void FilteredMessagesWindow::startFollowing()
{
    loaded_ = true;
    shownCount_ = 0;
    shownGeneration_ = -1;
    refreshView();
}

void FilteredMessagesWindow::stopFollowing() { loaded_ = false; }

void FilteredMessagesWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    fitListToWindow();
}

void FilteredMessagesWindow::fitListToWindow()
{
    const int outerWidth = twipsOf(frameGeometry().width());
    const int outerHeight = twipsOf(frameGeometry().height());
    if (outerWidth <= 240 || outerHeight <= 1520)
        return;
    list_->resize(pixels(outerWidth - 225), pixels(outerHeight - 555));
}

void FilteredMessagesWindow::refreshView()
{
    if (hasNothingNew())
        return;
    list_->setRedraw(false);
    if (needsRefill()) {
        list_->clear();
        shownCount_ = 0;
        shownGeneration_ = buffer_.generation;
    }
    appendNewEntries();
    buffer_.changed = false;
    list_->setRedraw(true);
}

bool FilteredMessagesWindow::hasNothingNew() const
{
    const FilteredMessageBuffer& buffer = buffer_;
    return shownGeneration_ == buffer.generation && shownCount_ == buffer.count
        && !buffer.changed;
}

bool FilteredMessagesWindow::needsRefill() const
{
    const FilteredMessageBuffer& buffer = buffer_;
    return shownGeneration_ != buffer.generation || shownCount_ > buffer.count;
}

namespace {

// The severity of a message's priority "<N>" (N of 0 to 191) at its start; -1
// when it has none.
int severityOfPriority(const QString& text)
{
    if (!text.startsWith(QLatin1Char('<')))
        return -1;
    const qsizetype close = text.indexOf(QLatin1Char('>'));
    if (close < 2 || close > 4)
        return -1;
    bool number = false;
    const int priority = QStringView(text).mid(1, close - 1).toInt(&number);
    if (!number || priority < 0 || priority > 191 || !text.at(1).isDigit())
        return -1;
    return priority % 8;
}

} // namespace

void FilteredMessagesWindow::appendNewEntries()
{
    const FilteredMessageBuffer& buffer = buffer_;
    const qint32 stored = std::clamp(buffer.count, 0, FilteredMessageBuffer::kCapacity);
    for (qint32 i = shownCount_; i < stored; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        auto* line = new QListWidgetItem(logLine(formatRecordTime(buffer.times[slot]), buffer.ips[slot], buffer.texts[slot]));
        // The severity of a message that has a priority: its colour, and its
        // name when the pointer rests on the line.
        const int severity = severityOfPriority(buffer.texts[slot]);
        if (severity >= 0) {
            line->setData(kSyslogSeverityRole, severity);
            line->setToolTip(QCoreApplication::translate("FilteredMessagesWindow", "Severity: %1 %2")
                                 .arg(severity)
                                 .arg(severityName(severity)));
        }
        list_->addItem(line);
    }
    shownCount_ = stored;
}
