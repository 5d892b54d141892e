#include "QtUdpSocket.h"

#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>
#include <deque>
#include <optional>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

// Datagrams read by the worker and not yet handed to the receiver, oldest first.
class DatagramInbox {
public:
    // At most this many datagrams wait for the window (about 60 MB of
    // typical log lines). Beyond it new datagrams are dropped, as the kernel
    // drops them when its buffer is full, rather than memory growing without
    // bound while the window is held up.
    static constexpr std::size_t Capacity = 250000;

    enum class Put { FirstWaiting, Queued, Full };

    Put put(Datagram datagram)
    {
        QMutexLocker lock(&mutex_);
        if (queue_.size() >= Capacity)
            return Put::Full;
        const bool wasEmpty = queue_.empty();
        queue_.push_back(std::move(datagram));
        return wasEmpty ? Put::FirstWaiting : Put::Queued;
    }

    std::optional<Datagram> take()
    {
        QMutexLocker lock(&mutex_);
        if (queue_.empty())
            return std::nullopt;
        Datagram datagram = std::move(queue_.front());
        queue_.pop_front();
        return datagram;
    }

    bool isEmpty() const { return size() == 0; }

    qsizetype size() const
    {
        QMutexLocker lock(&mutex_);
        return qsizetype(queue_.size());
    }

private:
    mutable QMutex mutex_;
    std::deque<Datagram> queue_;
};

namespace {

// Datagrams the worker reads per wake-up before it lets other requests in.
constexpr int WorkerReadSlice = 512;
// Datagrams handed to the receiver per turn of the user-interface event loop.
constexpr int DeliverySlice = 256;
// An upper bound for the final read at close(), so that a flood that never
// pauses cannot hold close() forever. Far more than a full receive buffer holds.
constexpr int CloseReadLimit = 200000;

QString dottedIpv4(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4).toString() : address.toString();
}

// Clears a flag when the scope ends, however it ends.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& flag_;
};

} // namespace

QtUdpSocket::QtUdpSocket()
    : inbox_(std::make_unique<DatagramInbox>()), worker_(new QObject), uiContext_(std::make_unique<QObject>())
{
    thread_.setObjectName(QStringLiteral("udp-receive"));
    worker_->moveToThread(&thread_);
    thread_.start();
}

QtUdpSocket::~QtUdpSocket()
{
    // The receiver may already be gone while the socket is destroyed, so
    // nothing is delivered from here; close() first to hand over what is left.
    QMetaObject::invokeMethod(
        worker_, [this] { delete socket_; socket_ = nullptr; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete worker_;
}

bool QtUdpSocket::setLocalPort(int port)
{
    if (port < 1 || port > 65535)
        return false;
    localPort_ = port;
    return true;
}

bool QtUdpSocket::bind(QString* error)
{
    if (bound_)
        close();
    QString reason;
    QMetaObject::invokeMethod(worker_, [this, &reason] { openOnWorker(&reason); }, Qt::BlockingQueuedConnection);
    bound_ = reason.isEmpty();
    if (error)
        *error = reason;
    return bound_;
}

void QtUdpSocket::close()
{
    if (!bound_)
        return;
    QMetaObject::invokeMethod(worker_, [this] { closeOnWorker(); }, Qt::BlockingQueuedConnection);
    bound_ = false;
    deliverAll();
}

qsizetype QtUdpSocket::pendingDeliveries() const
{
    return inbox_->size();
}

// Runs on the worker. Leaves *error empty on success.
void QtUdpSocket::openOnWorker(QString* error)
{
    if (localPort_ < 1) {
        *error = QStringLiteral("No port has been set");
        return;
    }
    auto* socket = new QUdpSocket(worker_);
    if (!socket->bind(QHostAddress::AnyIPv4, quint16(localPort_), QAbstractSocket::DontShareAddress)) {
        *error = socket->errorString();
        if (error->isEmpty())
            *error = QStringLiteral("The port cannot be bound");
        delete socket;
        return;
    }
    socket_ = socket;
    enlargeReceiveBufferOnWorker();
    QObject::connect(socket, &QUdpSocket::readyRead, worker_, [this] { readPendingOnWorker(WorkerReadSlice); });
}

void QtUdpSocket::enlargeReceiveBufferOnWorker()
{
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, RequestedReceiveBufferBytes);
#ifdef Q_OS_LINUX
    // Linux caps the request at net.core.rmem_max and reports twice what it
    // kept. The forcing option passes the cap for a privileged process and
    // fails harmlessly for any other.
    const int granted = socket_->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    if (granted < 2 * RequestedReceiveBufferBytes) {
        const int requested = RequestedReceiveBufferBytes;
        ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &requested, sizeof requested);
    }
#endif
    receiveBufferBytes_ = socket_->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

// Runs on the worker: reads what the kernel holds and closes the socket.
void QtUdpSocket::closeOnWorker()
{
    if (!socket_)
        return;
    readPendingOnWorker(CloseReadLimit);
    socket_->close();
    delete socket_;
    socket_ = nullptr;
}

// Runs on the worker: moves up to limit waiting datagrams into the inbox.
// Whatever is left raises readyRead again on the worker's next turn.
void QtUdpSocket::readPendingOnWorker(int limit)
{
    for (int read = 0; read < limit && socket_->hasPendingDatagrams(); ++read) {
        const qint64 size = qMin<qint64>(socket_->pendingDatagramSize(), MaxDatagramBytes);
        const QNetworkDatagram received = socket_->receiveDatagram(qMax<qint64>(size, 0));
        if (!received.isValid())
            break;
        switch (inbox_->put(Datagram{received.data(), senderText(received.senderAddress())})) {
        case DatagramInbox::Put::FirstWaiting:
            scheduleDelivery();
            break;
        case DatagramInbox::Put::Queued:
            break;
        case DatagramInbox::Put::Full:
            if (droppedWhileFull_++ == 0)
                qWarning("kiv-syslog: %zu datagrams are waiting for the window; dropping new ones until it catches up",
                         DatagramInbox::Capacity);
            continue;
        }
        droppedWhileFull_ = 0;
    }
}

// Runs on the worker. Most traffic comes from a few senders: their address
// text is made once and shared, instead of once per datagram.
QString QtUdpSocket::senderText(const QHostAddress& address)
{
    if (address != lastSender_) {
        lastSender_ = address;
        lastSenderText_ = dottedIpv4(address);
    }
    return lastSenderText_;
}

// Asks the user-interface thread for one delivery turn. Called whenever the
// inbox turns non-empty, and by a turn that left datagrams behind.
void QtUdpSocket::scheduleDelivery()
{
    QMetaObject::invokeMethod(uiContext_.get(), [this] { deliverSlice(); }, Qt::QueuedConnection);
}

void QtUdpSocket::deliverSlice()
{
    // A receiver that runs an event loop of its own (a modal box) must not be
    // entered again; the delivery already running hands over what came in.
    if (delivering_)
        return;
    for (int delivered = 0; delivered < DeliverySlice; ++delivered) {
        if (!deliverNext())
            return;
    }
    if (!inbox_->isEmpty())
        scheduleDelivery();
}

void QtUdpSocket::deliverAll()
{
    if (delivering_)
        return;
    while (deliverNext()) {
    }
}

bool QtUdpSocket::deliverNext()
{
    std::optional<Datagram> next = inbox_->take();
    if (!next)
        return false;
    FlagGuard inReceiver(delivering_);
    deliver(*next);
    return true;
}
