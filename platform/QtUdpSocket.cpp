#include "platform/QtUdpSocket.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>
#include <deque>
#include <vector>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#else
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

// Datagrams read by the worker and not yet handed to the receiver, oldest
// first, bounded by the bytes they hold.
class DatagramInbox {
public:
    // Puts a batch under one lock, oldest first; what does not fit is dropped.
    // Returns how many were dropped, and whether the inbox was empty before.
    std::pair<int, bool> putAll(std::vector<Datagram>& batch)
    {
        QMutexLocker lock(&mutex_);
        const bool wasEmpty = queue_.empty();
        int dropped = 0;
        for (Datagram& datagram : batch) {
            const qsizetype cost = costOf(datagram);
            if (bytes_ + cost > QtUdpSocket::kInboxCapacityBytes) {
                ++dropped;
                continue;
            }
            bytes_ += cost;
            queue_.push_back(std::move(datagram));
        }
        peakBytes_ = std::max(peakBytes_, bytes_);
        batch.clear();
        return {dropped, wasEmpty && !queue_.empty()};
    }

    // Moves up to limit datagrams, oldest first, into batch.
    void take(std::vector<Datagram>& batch, int limit)
    {
        QMutexLocker lock(&mutex_);
        while (limit-- > 0 && !queue_.empty()) {
            bytes_ -= costOf(queue_.front());
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }

    qsizetype size() const
    {
        QMutexLocker lock(&mutex_);
        return qsizetype(queue_.size());
    }

    // The most bytes that waited since the last call, when nothing waits now; 0 otherwise.
    qsizetype takePeakIfDrained()
    {
        QMutexLocker lock(&mutex_);
        if (!queue_.empty())
            return 0;
        const qsizetype peak = peakBytes_;
        peakBytes_ = 0;
        std::deque<Datagram>().swap(queue_);
        return peak;
    }

private:
    // The datagram's bytes and what holding it costs besides (its text
    // headers, the sender's address and the queue's own slot).
    static qsizetype costOf(const Datagram& datagram) { return datagram.bytes.capacity() + 96; }

    mutable QMutex mutex_;
    std::deque<Datagram> queue_;
    qsizetype bytes_ = 0;
    qsizetype peakBytes_ = 0;
};

namespace {

// Datagrams the worker reads per wake-up before it lets other requests in.
constexpr int kWorkerReadSlice = 512;
// Datagrams handed to the receiver per turn of the receiving event loop.
constexpr int kDeliverySlice = 256;
// An upper bound for the final read at close(), so that a flood that never
// pauses cannot hold close() forever. Far more than a full receive buffer holds.
constexpr int kCloseReadLimit = 200000;
// A wake-up that finds this many datagrams waiting means a flood: the worker
// then pauses about a millisecond before it reads again.
constexpr int kFloodReadCount = 64;
constexpr int kFloodPauseMs = 1;
// A backlog of this many bytes or more gives its memory back to the system once drained.
constexpr qsizetype kTrimAfterBytes = 4 * 1024 * 1024;

// Clears a flag when the scope ends, however it ends.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = false; }
    Q_DISABLE_COPY(FlagGuard)

private:
    bool& flag_;
};

} // namespace

#ifdef Q_OS_LINUX

// The bound socket on Linux: reads many datagrams per call and asks the
// kernel how many it dropped for this socket because its buffer was full.
class QtUdpSocket::Reader {
public:
    // One socket for IPv4 and IPv6 (IPv6 with IPv4-mapped addresses); an
    // IPv4 socket alone where the system has no IPv6.
    static Result<std::unique_ptr<Reader>> open(int port)
    {
        int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int bound = -1;
        if (fd >= 0) {
            const int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            // No address sharing option: a port that any other socket holds fails.
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(quint16(port));
            address.sin6_addr = in6addr_any;
            bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } else if (errno == EAFNOSUPPORT) {
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd >= 0) {
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(quint16(port));
                address.sin_addr.s_addr = htonl(INADDR_ANY);
                bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            }
        }
        if (fd < 0)
            return Failure{systemReason(errno)};
        if (bound != 0) {
            const Failure failure{systemReason(errno)};
            ::close(fd);
            return failure;
        }
        return std::unique_ptr<Reader>(new Reader(fd));
    }

    ~Reader() { ::close(fd_); }

    int descriptor() const { return fd_; }

    // Asks for the buffer; the forcing option passes net.core.rmem_max for a
    // privileged process and fails harmlessly for any other. Returns what
    // the kernel granted, as it reports it (twice the usable size).
    int enlargeReceiveBuffer(int bytes)
    {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        int granted = 0;
        socklen_t length = sizeof granted;
        ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &granted, &length);
        if (granted < 2 * bytes) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
            ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &granted, &length);
        }
        return granted;
    }

    // Reads up to limit datagrams, handing each to sink(bytes, sender).
    // Returns how many were read.
    template <typename Sink>
    int read(int limit, Sink&& sink)
    {
        int total = 0;
        while (total < limit) {
            const int wanted = std::min(limit - total, kBatch);
            prepare(wanted);
            // Each batch gets its own sender text: one shared with datagrams
            // the receiving thread is handling meanwhile would have its count
            // of owners move between the two threads' caches at every datagram.
            lastSenderText_ = QString();
            const int got = ::recvmmsg(fd_, headers_.data(), unsigned(wanted), MSG_DONTWAIT, nullptr);
            if (got <= 0)
                break;
            for (int i = 0; i < got; ++i) {
                const auto length = std::min<unsigned>(headers_[i].msg_len, unsigned(kMaxDatagramBytes));
                sink(QByteArray(buffers_.data() + std::size_t(i) * kSlotBytes, qsizetype(length)),
                     senderText(addresses_[i]));
            }
            total += got;
            if (got < wanted)
                break;
        }
        return total;
    }

    // The kernel's running count of datagrams it dropped for this socket.
    qint64 kernelDrops()
    {
        quint32 info[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof info;
        if (::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 && length > SK_MEMINFO_DROPS * sizeof(quint32))
            kernelDrops_ = info[SK_MEMINFO_DROPS];
        return kernelDrops_;
    }

private:
    static constexpr int kBatch = 32;
    static constexpr std::size_t kSlotBytes = 65536;

    explicit Reader(int fd)
        : fd_(fd), buffers_(kBatch * kSlotBytes), headers_(kBatch), vectors_(kBatch), addresses_(kBatch)
    {
    }

    void prepare(int count)
    {
        for (int i = 0; i < count; ++i) {
            vectors_[i] = {buffers_.data() + std::size_t(i) * kSlotBytes, kSlotBytes};
            msghdr& header = headers_[i].msg_hdr;
            header = {};
            header.msg_name = &addresses_[i];
            header.msg_namelen = sizeof(sockaddr_storage);
            header.msg_iov = &vectors_[i];
            header.msg_iovlen = 1;
        }
    }

    // Most traffic comes from a few senders: their address text is made once
    // and shared, instead of once per datagram.
    const QString& senderText(const sockaddr_storage& address)
    {
        if (lastSenderText_.isNull() || !sameSender(address)) {
            std::memcpy(&lastSender_, &address, sizeof address);
            lastSenderText_ = addressText(address);
        }
        return lastSenderText_;
    }

    bool sameSender(const sockaddr_storage& address) const
    {
        if (address.ss_family != lastSender_.ss_family)
            return false;
        if (address.ss_family == AF_INET6)
            return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr,
                               &reinterpret_cast<const sockaddr_in6&>(lastSender_).sin6_addr, sizeof(in6_addr)) == 0;
        return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr
            == reinterpret_cast<const sockaddr_in&>(lastSender_).sin_addr.s_addr;
    }

    // Dotted IPv4 (also for an IPv4 sender on the IPv6 socket), else the
    // IPv6 address in its short form (RFC 5952) without a scope.
    static QString addressText(const sockaddr_storage& address)
    {
        char text[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET6) {
            const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&v6))
                ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
            else
                ::inet_ntop(AF_INET6, &v6, text, sizeof text);
        } else {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
        }
        return QString::fromLatin1(text);
    }

    int fd_;
    std::vector<char> buffers_;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
    std::vector<sockaddr_storage> addresses_;
    sockaddr_storage lastSender_{};
    QString lastSenderText_;
    qint64 kernelDrops_ = 0;
};

#else

// The bound socket elsewhere, on QUdpSocket; the kernel's drops are not known there.
class QtUdpSocket::Reader {
public:
    static Result<std::unique_ptr<Reader>> open(int port)
    {
        auto reader = std::unique_ptr<Reader>(new Reader);
        if (!reader->socket_.bind(QHostAddress::Any, quint16(port), QAbstractSocket::DontShareAddress))
            return Failure{reader->socket_.errorString()};
        return reader;
    }

    QUdpSocket& socket() { return socket_; }

    int enlargeReceiveBuffer(int bytes)
    {
        socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
        return socket_.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    }

    template <typename Sink>
    int read(int limit, Sink&& sink)
    {
        int total = 0;
        for (; total < limit && socket_.hasPendingDatagrams(); ++total) {
            const qint64 size = qMin<qint64>(socket_.pendingDatagramSize(), kMaxDatagramBytes);
            const QNetworkDatagram received = socket_.receiveDatagram(qMax<qint64>(size, 0));
            if (!received.isValid())
                break;
            QHostAddress sender = received.senderAddress();
            bool isIpv4 = false;
            const quint32 ipv4 = sender.toIPv4Address(&isIpv4);
            sender.setScopeId(QString());
            sink(received.data(), isIpv4 ? QHostAddress(ipv4).toString() : sender.toString());
        }
        return total;
    }

    qint64 kernelDrops() { return 0; }

private:
    QUdpSocket socket_;
};

#endif

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
        worker_,
        [this] {
            delete notifier_;
            notifier_ = nullptr;
            reader_.reset();
        },
        Qt::BlockingQueuedConnection);
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

Result<> QtUdpSocket::bind()
{
    if (bound_)
        close();
    Result<> opened;
    QMetaObject::invokeMethod(worker_, [this, &opened] { opened = openOnWorker(); }, Qt::BlockingQueuedConnection);
    bound_ = bool(opened);
    return opened;
}

void QtUdpSocket::close()
{
    if (!bound_)
        return;
    QMetaObject::invokeMethod(worker_, [this] { closeOnWorker(); }, Qt::BlockingQueuedConnection);
    bound_ = false;
    deliverAll();
}

UdpSocket::Losses QtUdpSocket::losses() const
{
    return {kernelDropped_.load(std::memory_order_relaxed), queueDropped_.load(std::memory_order_relaxed)};
}

int QtUdpSocket::receiveBufferBytes() const
{
#ifdef Q_OS_LINUX
    return receiveBufferBytes_ / 2;
#else
    return receiveBufferBytes_;
#endif
}

qsizetype QtUdpSocket::pendingDeliveries() const { return inbox_->size(); }

// Runs on the worker.
Result<> QtUdpSocket::openOnWorker()
{
    if (localPort_ < 1)
        return Failure{QStringLiteral("No port has been set")};
    Result<std::unique_ptr<Reader>> opened = Reader::open(localPort_);
    if (!opened)
        return Failure{opened.error().isEmpty() ? QStringLiteral("The port cannot be bound") : opened.error()};
    reader_ = std::move(*opened);
    receiveBufferBytes_ = reader_->enlargeReceiveBuffer(kRequestedReceiveBufferBytes);
#ifdef Q_OS_LINUX
    auto* notifier = new QSocketNotifier(reader_->descriptor(), QSocketNotifier::Read, worker_);
    QObject::connect(notifier, &QSocketNotifier::activated, worker_, [this] { readWhenWoken(); });
    notifier_ = notifier;
#else
    QObject::connect(&reader_->socket(), &QUdpSocket::readyRead, worker_,
                     [this] { readPendingOnWorker(kWorkerReadSlice); });
#endif
    return {};
}

// Runs on the worker: reads what the kernel holds and closes the socket.
void QtUdpSocket::closeOnWorker()
{
    if (!reader_)
        return;
    delete notifier_;
    notifier_ = nullptr;
    readPendingOnWorker(kCloseReadLimit);
    kernelDroppedBefore_ += reader_->kernelDrops();
    reader_.reset();
}

#ifdef Q_OS_LINUX
// Runs on the worker. Under a flood, waking for every few datagrams costs
// more than reading them: after a full read the worker sleeps a moment and
// then takes what gathered meanwhile in one go (the kernel's buffer holds
// many times that). Under light traffic every datagram is read at once.
void QtUdpSocket::readWhenWoken()
{
    readPendingOnWorker(kWorkerReadSlice);
    if (!notifier_ || lastRead_ < kFloodReadCount)
        return;
    notifier_->setEnabled(false);
    QTimer::singleShot(kFloodPauseMs, Qt::PreciseTimer, worker_, [this] {
        if (notifier_)
            notifier_->setEnabled(true);
    });
}
#endif

// Runs on the worker: moves up to limit waiting datagrams into the inbox.
// Whatever is left wakes the worker again on its next turn.
void QtUdpSocket::readPendingOnWorker(int limit)
{
    if (!reader_)
        return;
    std::vector<Datagram> batch;
    batch.reserve(64);
    int got = 0;
    auto handOver = [&] {
        const auto [dropped, firstWaiting] = inbox_->putAll(batch);
        if (dropped > 0)
            queueDropped_.fetch_add(dropped, std::memory_order_relaxed);
        if (firstWaiting)
            scheduleDelivery();
    };
    got = reader_->read(limit, [&](QByteArray bytes, const QString& sender) {
        batch.push_back(Datagram{std::move(bytes), sender});
        if (batch.size() >= 64)
            handOver();
    });
    handOver();
    lastRead_ = got;
    read_.fetch_add(got, std::memory_order_relaxed);
    kernelDropped_.store(kernelDroppedBefore_ + reader_->kernelDrops(), std::memory_order_relaxed);
}

// Asks the receiving thread for one delivery turn. Called whenever the inbox
// turns non-empty, and by a turn that left datagrams behind.
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
    if (deliverBatch(kDeliverySlice))
        scheduleDelivery();
    else
        giveMemoryBackAfterBacklog();
}

void QtUdpSocket::deliverAll()
{
    if (delivering_)
        return;
    while (deliverBatch(kDeliverySlice)) {
    }
    giveMemoryBackAfterBacklog();
}

// Hands over up to limit datagrams; true when more are waiting.
bool QtUdpSocket::deliverBatch(int limit)
{
    std::vector<Datagram> batch;
    batch.reserve(std::size_t(limit));
    inbox_->take(batch, limit);
    FlagGuard inReceiver(delivering_);
    for (const Datagram& datagram : batch)
        deliver(datagram);
    return inbox_->size() > 0;
}

// A drained backlog leaves the allocator holding its peak; hand it back so a
// flood that has passed does not keep the process large.
void QtUdpSocket::giveMemoryBackAfterBacklog()
{
    if (inbox_->takePeakIfDrained() < kTrimAfterBytes)
        return;
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}
