#include "app/ui/KeyPreview.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>

KeyPreview::KeyPreview(QWidget* window, Handler handler)
    : QObject(window), window_(window), handler_(std::move(handler))
{
    QCoreApplication::instance()->installEventFilter(this);
}

KeyPreview::~KeyPreview() { QCoreApplication::instance()->removeEventFilter(this); }

bool KeyPreview::belongsToWindow(const QObject* receiver) const
{
    if (receiver == window_->windowHandle())
        return true;
    return receiver->isWidgetType() && static_cast<const QWidget*>(receiver)->window() == window_;
}

// The same press goes on from the platform window to a control, and from a
// control to its parent. A new press may reuse the memory of the last one,
// but it starts afresh: at the platform window, or at a control that is not
// the parent of the one the last press ended at.
bool KeyPreview::continuesPress(const QKeyEvent* event, const QObject* receiver) const
{
    if (event != press_ || !lastReceiver_ || !receiver->isWidgetType())
        return false;
    if (lastReceiver_ == window_->windowHandle())
        return true;
    return lastReceiver_->isWidgetType()
           && static_cast<const QWidget*>(lastReceiver_)->parentWidget() == static_cast<const QWidget*>(receiver);
}

bool KeyPreview::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || !belongsToWindow(watched))
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const bool goesOn = continuesPress(key, watched);
    press_ = key;
    lastReceiver_ = watched;
    if (!goesOn)
        handler_(key);
    return false;
}
