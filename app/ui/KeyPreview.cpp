#include "app/ui/KeyPreview.h"

#include <QCoreApplication>
#include <QKeyEvent>

KeyPreview::KeyPreview(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler))
{
    QCoreApplication::instance()->installEventFilter(this);
}

KeyPreview::~KeyPreview() { QCoreApplication::instance()->removeEventFilter(this); }

bool KeyPreview::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress)
        handler_(watched, static_cast<QKeyEvent*>(event));
    return false;
}
