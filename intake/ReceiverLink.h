#pragma once

#include "intake/rep_Receiver_merged.h"

#include <QObject>
#include <QPointer>
#include <QVariant>
#include <functional>
#include <list>
#include <memory>

class QLocalSocket;
class QRemoteObjectNode;
class QRemoteObjectPendingCallWatcher;
class Timer;

// The window's end of the link to the receiver (the interface is
// Receiver.rep): one replica, whether the receiver runs on a thread of this
// process (over a socket pair) or in the service (over its socket file).
// Nothing here waits: calls answer later, events are the replica's signals,
// the state is the replica's properties.
//
// A service that goes away is attached to again as soon as it is back
// (reachable(false), then reachable(true)). While attached, a ping goes to the
// service at every tick of the ping timer; kSilentTicks ticks without its
// answer mean the service does not answer (stopped, or stuck):
// answering(false), and answering(true) once it answers again.
class ReceiverLink : public QObject {
    Q_OBJECT
public:
    static constexpr int kSilentTicks = 3;

    explicit ReceiverLink(std::unique_ptr<Timer> pingTimer, QObject* parent = nullptr);
    ~ReceiverLink() override;

    // The service's socket file.
    void attachToService(const QString& socketPath);
    // The other end of a socket pair whose receiver end the receiver adopted.
    void attachInProcess(qintptr descriptor);
    // Lets go of the receiver; calls still open end without an answer, and
    // no call is made any more.
    void detach();

    bool isService() const { return service_; }
    // The replica has the receiver's state, and calls reach the receiver.
    bool isAttached() const;
    bool isAnswering() const { return answering_; }
    ReceiverReplica& receiver() { return *replica_; }

    // Makes the call (unless the link is lost) and hands done its answer, or
    // an invalid QVariant when the link is lost first: Qt Remote Objects never
    // ends a call whose connection went away. done runs only while context lives.
    void request(QObject* context, const std::function<QRemoteObjectPendingCall(ReceiverReplica&)>& call,
                 std::function<void(const QVariant&)> done = {});

signals:
    // The replica became valid for the first time.
    void attached();
    // A service went away (false) or is back (true).
    void reachable(bool reachable);
    // A service stopped answering (false) or answers again (true).
    void answering(bool answers);

private:
    struct OpenCall {
        QRemoteObjectPendingCallWatcher* watcher;
        QPointer<QObject> context;
        std::function<void(const QVariant&)> done;
    };

    void onStateChanged(QRemoteObjectReplica::State state);
    void watch();
    void setAnswering(bool answers);
    void abandonCalls();

    std::unique_ptr<Timer> pingTimer_;
    std::unique_ptr<QRemoteObjectNode> node_;
    std::unique_ptr<ReceiverReplica> replica_;
    bool service_ = false;
    bool everValid_ = false;
    bool lost_ = false;
    bool answering_ = true;
    bool pingOpen_ = false;
    int silentTicks_ = 0;
    std::list<OpenCall> calls_;
};
