#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a call on the user-interface thread,
// so a termination request runs the same orderly shutdown as the close box.
class SignalBridge : public QObject {
    Q_OBJECT
public:
    explicit SignalBridge(std::function<void()> onTerminate, QObject* parent = nullptr);
    ~SignalBridge() override;

private:
    std::function<void()> onTerminate_;
    QSocketNotifier* notifier_ = nullptr;
};
