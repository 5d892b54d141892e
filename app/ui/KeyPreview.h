#pragma once

#include <QObject>
#include <functional>

class QKeyEvent;
class QWidget;

// Shows a window every key press meant for it, once, before its controls see
// it, without taking the key from them.
//
// A press reaches the window's platform window first (or, sent by a program,
// a control straight away), then the focused control, then each of its
// parents while none accepts it. Only the first of these counts: the rest are
// the same press going on, also when the handler ran a modal box meanwhile and
// the focus moved.
class KeyPreview : public QObject {
public:
    using Handler = std::function<void(QKeyEvent* event)>;
    KeyPreview(QWidget* window, Handler handler);
    ~KeyPreview() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool belongsToWindow(const QObject* receiver) const;
    bool continuesPress(const QKeyEvent* event, const QObject* receiver) const;

    QWidget* window_;
    Handler handler_;
    // The press last seen and where it was last delivered: compared only,
    // never followed.
    const QKeyEvent* press_ = nullptr;
    const QObject* lastReceiver_ = nullptr;
};
