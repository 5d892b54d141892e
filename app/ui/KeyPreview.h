#pragma once

#include <QObject>
#include <functional>

class QKeyEvent;

// Shows a window every key press before its controls see it, without taking
// the key from them.
class KeyPreview : public QObject {
public:
    using Handler = std::function<void(QObject* receiver, QKeyEvent* event)>;
    KeyPreview(Handler handler, QObject* parent);
    ~KeyPreview() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Handler handler_;
};
