#pragma once

#include "intake/ReceiverCore.h"
#include "platform/Result.h"

#include <QThread>
#include <memory>

class ReceiverHost;

// The receiver of a window of this process: the core and its end of the link
// on a thread of their own, so that nothing the window does holds up intake
// and nothing intake does holds up the window. The window reaches it only
// through the link (connectWindow()).
//
// With Threading::CallerThread both live on the caller's thread instead
// (tests that step everything by hand).
class ReceiverThread {
public:
    enum class Threading { OwnThread, CallerThread };

    explicit ReceiverThread(CoreServices services, Threading threading = Threading::OwnThread);
    // Stores what is still queued, when the window did not have the receiver
    // stop, and ends the thread.
    ~ReceiverThread();
    Q_DISABLE_COPY(ReceiverThread)

    // The window's end of a new socket pair; the receiver takes the other end
    // as a window of this process (trusted: no rate or backlog limit). Fails,
    // with the system's reason, when no socket pair can be made.
    Result<qintptr> connectWindow();
    // For connecting to its signals; call its methods on its own thread only.
    ReceiverCore* core() const { return core_; }

private:
    std::unique_ptr<QThread> thread_;
    ReceiverCore* core_ = nullptr;
    ReceiverHost* host_ = nullptr;
};
