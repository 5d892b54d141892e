#include "intake/Receiver.h"

#include <QMetaObject>

namespace {

// The core's signals, passed on from this object (queued when the core has a
// thread of its own).
void relaySignals(ReceiverCore* core, Receiver* receiver)
{
    QObject::connect(core, &ReceiverCore::lineToShow, receiver, &ReceiverHandle::lineToShow);
    QObject::connect(core, &ReceiverCore::secondElapsed, receiver, &ReceiverHandle::secondElapsed);
    QObject::connect(core, &ReceiverCore::filteredUpdated, receiver, &ReceiverHandle::filteredUpdated);
    QObject::connect(core, &ReceiverCore::dayTableCreated, receiver, &ReceiverHandle::dayTableCreated);
    QObject::connect(core, &ReceiverCore::errorRaised, receiver, &ReceiverHandle::errorRaised);
    QObject::connect(core, &ReceiverCore::problemReported, receiver, &ReceiverHandle::problemReported);
    QObject::connect(core, &ReceiverCore::daysDropped, receiver, &ReceiverHandle::daysDropped);
}

} // namespace

Receiver::Receiver(CoreServices services, Threading threading)
{
    if (threading == Threading::CallerThread) {
        core_ = new ReceiverCore(std::move(services));
        relaySignals(core_, this);
        return;
    }
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("receiver"));
    thread_->start();
    // Made on its own thread, so that its timers and sockets belong there.
    auto* starter = new QObject;
    starter->moveToThread(thread_.get());
    QMetaObject::invokeMethod(
        starter, [&] { core_ = new ReceiverCore(std::move(services)); }, Qt::BlockingQueuedConnection);
    starter->deleteLater();
    relaySignals(core_, this);
}

void Receiver::openDatabase()
{
    run([](ReceiverCore& core) { core.openDatabase(); });
}

void Receiver::startCounting()
{
    run([](ReceiverCore& core) { core.startCounting(); });
}

void Receiver::setFilterEnabled(qint16 enabled)
{
    run([enabled](ReceiverCore& core) { core.setFilterEnabled(enabled); });
}

void Receiver::setKeepDays(int days)
{
    run([days](ReceiverCore& core) { core.setKeepDays(days); });
}

void Receiver::handOverDatabase()
{
    run([](ReceiverCore& core) { core.handOverDatabase(); });
}

void Receiver::takeBackDatabase()
{
    run([](ReceiverCore& core) { core.takeBackDatabase(); });
}

void Receiver::shutdown()
{
    run([](ReceiverCore& core) { core.shutdown(); });
}

QString Receiver::summaryLine()
{
    return run([](ReceiverCore& core) { return core.summaryLine(); });
}

int Receiver::receiveBufferBytes()
{
    return run([](ReceiverCore& core) { return core.receiveBufferBytes(); });
}

Receiver::~Receiver()
{
    if (!thread_) {
        delete core_;
        return;
    }
    QMetaObject::invokeMethod(core_, [this] { delete core_; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

void Receiver::runBlocking(const std::function<void()>& call)
{
    QMetaObject::invokeMethod(core_, call, Qt::BlockingQueuedConnection);
}

bool Receiver::Port::setLocalPort(int port)
{
    return receiver_.run([port](ReceiverCore& core) { return core.port().setLocalPort(port); });
}

int Receiver::Port::localPort() const
{
    return receiver_.run([](ReceiverCore& core) { return core.port().localPort(); });
}

Result<> Receiver::Port::bind()
{
    return receiver_.run([](ReceiverCore& core) { return core.port().bind(); });
}

void Receiver::Port::close()
{
    receiver_.run([](ReceiverCore& core) { core.port().close(); });
}

bool Receiver::Port::isBound() const
{
    return receiver_.run([](ReceiverCore& core) { return core.port().isBound(); });
}
