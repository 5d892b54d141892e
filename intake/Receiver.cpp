#include "Receiver.h"

#include <QMetaObject>

Receiver::Receiver(CoreServices services, Threading threading)
{
    if (threading == Threading::CallerThread) {
        core_ = new ReceiverCore(std::move(services));
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

bool Receiver::Port::bind(QString* error)
{
    return receiver_.run([error](ReceiverCore& core) { return core.port().bind(error); });
}

void Receiver::Port::close()
{
    receiver_.run([](ReceiverCore& core) { core.port().close(); });
}

bool Receiver::Port::isBound() const
{
    return receiver_.run([](ReceiverCore& core) { return core.port().isBound(); });
}
