#include "intake/ReceiverThread.h"

#include "intake/ReceiverHost.h"

#include <QMetaObject>
#include <cerrno>
#include <sys/socket.h>

ReceiverThread::ReceiverThread(CoreServices services, Threading threading)
{
    auto make = [&] {
        core_ = new ReceiverCore(std::move(services));
        host_ = new ReceiverHost(*core_, ReceiverHost::Options{});
    };
    if (threading == Threading::CallerThread) {
        make();
        return;
    }
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("receiver"));
    thread_->start();
    // Made on its own thread, so that its timers and sockets belong there;
    // this is the setting up, before any window exists.
    auto* starter = new QObject;
    starter->moveToThread(thread_.get());
    QMetaObject::invokeMethod(starter, make, Qt::BlockingQueuedConnection);
    starter->deleteLater();
}

// The window has gone by now: waiting on the receiver's thread holds nothing up.
ReceiverThread::~ReceiverThread()
{
    auto end = [this] {
        core_->shutdown();
        delete host_;
        delete core_;
    };
    if (!thread_) {
        end();
        return;
    }
    QMetaObject::invokeMethod(core_, end, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

Result<qintptr> ReceiverThread::connectWindow()
{
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return Failure{QStringLiteral("cannot make a socket pair for the window: %1")
                           .arg(systemReason(errno))};
    const qintptr receiverEnd = ends[0];
    if (thread_)
        QMetaObject::invokeMethod(host_, [this, receiverEnd] { host_->adopt(receiverEnd); }, Qt::QueuedConnection);
    else
        host_->adopt(receiverEnd);
    return qintptr(ends[1]);
}
