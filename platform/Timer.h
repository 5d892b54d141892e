#pragma once

#include <functional>

class QTimer;

// A repeating timer. Logic holds a Timer rather than a QTimer so tests can fire
// ticks by hand and look at whether the timer is running.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Called on every tick, on the thread that owns the timer.
    void setOnTimeout(std::function<void()> handler) { onTimeout_ = std::move(handler); }

protected:
    void fire() { if (onTimeout_) onTimeout_(); }

private:
    std::function<void()> onTimeout_;
};

class QtTimer final : public Timer {
public:
    explicit QtTimer(int intervalMs);
    ~QtTimer() override;
    void start() override;
    void stop() override;
    bool isActive() const override;

private:
    QTimer* timer_;
};
