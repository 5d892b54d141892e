#include "intake/ReceiverLink.h"

#include "platform/Timer.h"

#include <QLocalSocket>
#include <QRemoteObjectNode>
#include <QRemoteObjectPendingCallWatcher>
#include <QUrl>

ReceiverLink::ReceiverLink(std::unique_ptr<Timer> pingTimer, QObject* parent)
    : QObject(parent), pingTimer_(std::move(pingTimer)), node_(std::make_unique<QRemoteObjectNode>())
{
    replica_.reset(node_->acquire<ReceiverReplica>(QStringLiteral("Receiver")));
    connect(replica_.get(), &QRemoteObjectReplica::stateChanged, this,
            [this](QRemoteObjectReplica::State state) { onStateChanged(state); });
    pingTimer_->setOnTimeout([this] { watch(); });
}

ReceiverLink::~ReceiverLink() { detach(); }

void ReceiverLink::attachToService(const QString& socketPath)
{
    service_ = true;
    // The node's own client: it notices when the service goes and attaches
    // again by itself once it is back (a connection handed in from outside
    // does neither).
    node_->connectToNode(QUrl(QStringLiteral("local:") + socketPath));
    pingTimer_->start();
}

void ReceiverLink::attachInProcess(qintptr descriptor)
{
    auto* socket = new QLocalSocket(node_.get());
    socket->setSocketDescriptor(descriptor);
    node_->addClientSideConnection(socket);
}

// What the window reads afterwards comes from a replica of nothing.
void ReceiverLink::detach()
{
    pingTimer_->stop();
    if (!node_)
        return;
    replica_->disconnect(this);
    abandonCalls();
    replica_ = std::make_unique<ReceiverReplica>();
    node_.reset();
}

bool ReceiverLink::isAttached() const { return replica_ && replica_->state() == QRemoteObjectReplica::Valid; }

void ReceiverLink::onStateChanged(QRemoteObjectReplica::State state)
{
    if (state == QRemoteObjectReplica::Valid) {
        silentTicks_ = 0;
        setAnswering(true);
        if (!everValid_) {
            everValid_ = true;
            emit attached();
        } else if (lost_) {
            lost_ = false;
            emit reachable(true);
        }
    } else if (state == QRemoteObjectReplica::Suspect) {
        pingOpen_ = false;
        abandonCalls();
        if (!lost_) {
            lost_ = true;
            emit reachable(false);
        }
    }
}

// One tick of the watchdog: a ping goes out unless the last is still open.
void ReceiverLink::watch()
{
    if (!isAttached())
        return;
    if (pingOpen_) {
        if (++silentTicks_ >= kSilentTicks)
            setAnswering(false);
        return;
    }
    pingOpen_ = true;
    request(this, [](ReceiverReplica& receiver) { return receiver.ping(); }, [this](const QVariant& answer) {
        pingOpen_ = false;
        silentTicks_ = 0;
        if (answer.isValid())
            setAnswering(true);
    });
}

void ReceiverLink::setAnswering(bool answers)
{
    if (answering_ == answers)
        return;
    answering_ = answers;
    emit answering(answers);
}

void ReceiverLink::request(QObject* context, const std::function<QRemoteObjectPendingCall(ReceiverReplica&)>& call,
                           std::function<void(const QVariant&)> done)
{
    if (!isAttached()) {
        if (done)
            QMetaObject::invokeMethod(context, [done = std::move(done)] { done(QVariant()); }, Qt::QueuedConnection);
        return;
    }
    auto* watcher = new QRemoteObjectPendingCallWatcher(call(*replica_), this);
    const auto open = calls_.insert(calls_.end(), OpenCall{watcher, context, std::move(done)});
    connect(watcher, &QRemoteObjectPendingCallWatcher::finished, this, [this, open] {
        const OpenCall finished = std::move(*open);
        calls_.erase(open);
        finished.watcher->deleteLater();
        const bool answered = finished.watcher->error() == QRemoteObjectPendingCall::NoError;
        if (finished.done && finished.context)
            finished.done(answered ? finished.watcher->returnValue() : QVariant());
    });
}

void ReceiverLink::abandonCalls()
{
    const std::list<OpenCall> open = std::exchange(calls_, {});
    for (const OpenCall& call : open) {
        call.watcher->disconnect(this);
        call.watcher->deleteLater();
    }
    for (const OpenCall& call : open)
        if (call.done && call.context)
            call.done(QVariant());
}
