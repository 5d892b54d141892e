#include "net/Forwarder.h"

#include "net/SyslogRelay.h"
#include "platform/Result.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

QString describeForwardStatus(const ForwardStatus& status)
{
    QString line = QStringLiteral("%1: %2, %3 sent, %4 missed, %5 waiting")
                       .arg(status.destination, status.connected ? QStringLiteral("connected") : QStringLiteral("not connected"))
                       .arg(status.sent)
                       .arg(status.missed)
                       .arg(status.waiting);
    if (!status.lastError.isEmpty())
        line += QStringLiteral("; last error: ") + status.lastError;
    return line;
}

QString forwardMissesLine(const QList<ForwardStatus>& now, const QList<ForwardStatus>& before)
{
    QStringList parts;
    quint64 grown = 0;
    for (const ForwardStatus& status : now) {
        quint64 earlier = 0;
        for (const ForwardStatus& old : before) {
            if (old.destination == status.destination) {
                earlier = old.missed;
                break;
            }
        }
        if (status.missed <= earlier)
            continue;
        grown += status.missed - earlier;
        parts << QStringLiteral("%1 more for %2").arg(status.missed - earlier).arg(describeForwardStatus(status));
    }
    if (parts.isEmpty())
        return {};
    return QStringLiteral("Forwarding missed %1 more messages: ").arg(grown) + parts.join(QStringLiteral(" | "));
}

// ---------------------------------------------------------------------------
// Forwarder

namespace {

// Messages gathered by forward() before they are handed over at once.
constexpr std::size_t kHandOverBatch = 256;
// Messages handed over and not yet given to the destinations, at most: the
// forwarder's thread gives them out in a moment whenever it gets to run.
constexpr qsizetype kHandedOverCapacity = 16384;
// Messages taken from a destination's queue at a time.
constexpr std::size_t kTakeBatch = 256;
// Datagrams per system call where many go in one. Few enough that a call,
// during which the system hands each datagram on without being interrupted,
// keeps intake off the processor only briefly.
constexpr std::size_t kDatagramsPerCall = 16;
// Datagrams sent per turn of the forwarder's event loop, so that one busy
// destination does not hold up the others.
constexpr int kUdpDrainBudget = 4096;
// How soon a UDP link tries again after the system had no buffer for a datagram.
constexpr int kNoBufferRetryMs = 1;
// Bytes a TCP socket may hold unsent before the forwarder waits for it.
constexpr qint64 kTcpWriteWatermark = 256 * 1024;
// How far back the ends of messages handed to the operating system are kept,
// to tell which ones a broken connection had not delivered. More than a TCP
// send buffer holds.
constexpr qint64 kTrackedSentBytes = 32 * 1024 * 1024;

} // namespace

// Messages as forward() got them, copied back to back into buffers of the
// gathering thread. Batches go to the forwarder's thread and come back
// emptied, to be filled again: neither thread frees what the other allocated,
// and neither waits for the other (the forwarder's thread runs at the lowest
// priority and may be held off the processor at any moment).
struct Forwarder::Batch {
    struct Entry {
        qsizetype messageAt;
        qsizetype messageSize;
        qsizetype hostAt;
        qsizetype hostSize;
        QDateTime arrival;
    };

    void append(const QByteArray& message, const QString& senderHost, const QDateTime& arrival)
    {
        Entry entry{qsizetype(bytes.size()), message.size(), 0, 0, arrival};
        bytes.insert(bytes.end(), message.begin(), message.end());
        entry.hostAt = qsizetype(bytes.size());
        for (const QChar c : senderHost)
            bytes.push_back(c.unicode() < 0x80 ? char(c.unicode()) : '?');
        entry.hostSize = qsizetype(bytes.size()) - entry.hostAt;
        entries.push_back(entry);
    }
    QByteArrayView message(const Entry& entry) const { return {bytes.data() + entry.messageAt, entry.messageSize}; }
    QByteArrayView host(const Entry& entry) const { return {bytes.data() + entry.hostAt, entry.hostSize}; }
    void clear()
    {
        bytes.clear();
        entries.clear();
    }

    std::vector<char> bytes;
    std::vector<Entry> entries;
    Batch* next = nullptr;
};

// A stack of batches that one thread pushes onto and the other takes whole.
class Forwarder::BatchStack {
public:
    ~BatchStack() { deleteAll(takeAll()); }
    // True when the stack was empty.
    bool push(Batch* batch)
    {
        batch->next = head_.load(std::memory_order_relaxed);
        while (!head_.compare_exchange_weak(batch->next, batch, std::memory_order_release, std::memory_order_relaxed)) {}
        return batch->next == nullptr;
    }
    // Everything pushed so far, the latest first.
    Batch* takeAll() { return head_.exchange(nullptr, std::memory_order_acquire); }
    static void deleteAll(Batch* batch)
    {
        while (batch)
            delete std::exchange(batch, batch->next);
    }

private:
    std::atomic<Batch*> head_{nullptr};
};

// What passes between forward() and the forwarder's thread.
struct Forwarder::Mailbox {
    ~Mailbox()
    {
        delete gathering;
        BatchStack::deleteAll(spare);
    }

    // Handed over, waiting to be given to the destinations.
    BatchStack handedOver;
    std::atomic<qsizetype> handedOverCount{0};
    // Emptied by the forwarder's thread, to be filled again.
    BatchStack emptied;
    // The forwarder has stopped: nothing more is taken.
    std::atomic<bool> closed{false};

    // The gathering thread only: the batch being filled, and empty ones.
    Batch* gathering = nullptr;
    Batch* spare = nullptr;

    // The forwarder's thread only: the latest relay TIMESTAMP.
    QDateTime stampTime;
    QByteArray stamp;
};

// One destination: its queue belongs to the forwarder's thread; its counters
// are read by status() from any thread. What waits is not counted: it is what
// was offered and is neither sent nor missed yet.
struct Forwarder::Lane {
    explicit Lane(const ForwardDestination& d) : destination(d), name(d.text()) {}

    const ForwardDestination destination;
    const QString name;
    std::deque<QByteArray> queue;
    std::atomic<quint64> sent{0};
    std::atomic<quint64> missed{0};
    std::atomic<bool> connected{false};
    // Guards lastError only; taken when it changes, rarely.
    mutable std::mutex errorMutex;
    QString lastError;
    // The link, once it exists and until the forwarder stops.
    Link* link = nullptr;
};

// Sends one destination's messages; lives on the forwarder's thread.
class Forwarder::Link : public QObject {
public:
    Link(Forwarder& owner, Lane& lane) : owner_(owner), lane_(lane), retryTimer_(new QTimer(this))
    {
        retryTimer_->setSingleShot(true);
        delayMs_ = owner_.options_.retryInitialMs;
    }

    virtual void start() = 0;
    // Sends what the queue holds, as far as the link can take it now. Called
    // whenever messages were queued.
    virtual void drain() = 0;
    // Sends what it can before the deadline; the forwarder stops afterwards.
    virtual void finish(const QDeadlineTimer& deadline) = 0;

protected:
    const ForwardDestination& destination() const { return lane_.destination; }

    // Moves up to `max` messages from the queue into batch, or returns false
    // if there are none.
    bool take(std::vector<QByteArray>& batch, std::size_t max)
    {
        batch.clear();
        if (lane_.queue.empty())
            return false;
        const std::size_t count = std::min(max, lane_.queue.size());
        for (std::size_t i = 0; i < count; ++i) {
            batch.push_back(std::move(lane_.queue.front()));
            lane_.queue.pop_front();
        }
        return true;
    }

    // Records messages that left the link: sent, missed, or (taken back)
    // returned to the head of the queue in their order.
    void settle(quint64 sent, quint64 missed, std::vector<QByteArray> takenBack = {}, const QString& error = {})
    {
        bool changed = missed > 0;
        for (auto it = takenBack.rbegin(); it != takenBack.rend(); ++it)
            lane_.queue.push_front(std::move(*it));
        // The oldest stay; the newest that no longer fit are missed.
        while (qsizetype(lane_.queue.size()) > owner_.options_.queueCapacity) {
            lane_.queue.pop_back();
            ++missed;
            changed = true;
        }
        lane_.sent += sent;
        lane_.missed += missed;
        if (!error.isEmpty())
            changed = setError(error) || changed;
        if (changed)
            owner_.noteStatusChange();
    }

    // Moves messages counted as sent to missed: sent but never delivered.
    void undeliver(quint64 count, const QString& error = {})
    {
        if (count == 0)
            return;
        // Missed first: status() reads sent, then missed, then what was offered.
        lane_.missed += count;
        quint64 sent = lane_.sent.load();
        while (!lane_.sent.compare_exchange_weak(sent, sent - std::min(count, sent))) {}
        if (!error.isEmpty())
            setError(error);
        owner_.noteStatusChange();
    }

    // True when the error is a new one.
    bool setError(const QString& error)
    {
        std::lock_guard lock(lane_.errorMutex);
        if (error == lane_.lastError)
            return false;
        lane_.lastError = error;
        return true;
    }

    void setConnected(bool connected, const QString& error = {})
    {
        const bool changed = lane_.connected.exchange(connected) != connected;
        if ((!error.isEmpty() && setError(error)) || changed)
            owner_.noteStatusChange();
    }

    void succeeded()
    {
        delayMs_ = owner_.options_.retryInitialMs;
        setConnected(true);
    }

    // Records the failure and tries again after the current delay, which grows.
    void failed(const QString& error)
    {
        setConnected(false, error);
        retryTimer_->start(delayMs_);
        delayMs_ = int(std::min<qint64>(qint64(delayMs_) * 2, owner_.options_.retryMaxMs));
    }

    Forwarder& owner_;
    Lane& lane_;
    QTimer* retryTimer_;
    int delayMs_;
};

// One datagram per message over a connected socket.
//
// The system reports datagrams the destination refused (ICMP port or host
// unreachable): on Linux each one on the socket's error queue, elsewhere as
// an error of the next send or read. A refusal counts its datagram missed and
// marks the destination down: messages then wait in the queue, and after the
// retry delay one of them goes out alone as a probe. Only when no refusal
// comes back within kProbeMs do the others follow. At the start the first
// datagram is such a probe as well, so a destination that is down from the
// start costs one datagram, not a burst.
class Forwarder::UdpLink final : public Forwarder::Link {
public:
    UdpLink(Forwarder& owner, Lane& lane) : Link(owner, lane), probeTimer_(new QTimer(this)), noBufferTimer_(new QTimer(this))
    {
        connect(retryTimer_, &QTimer::timeout, this, [this] {
            if (state_ == State::Closed) {
                resolve();
            } else {
                state_ = State::Probing;
                drain();
            }
        });
        probeTimer_->setSingleShot(true);
        connect(probeTimer_, &QTimer::timeout, this, [this] {
            collectRefusals();
            if (state_ != State::Probing)
                return;
            state_ = State::Up;
            succeeded();
            drain();
        });
        noBufferTimer_->setSingleShot(true);
        connect(noBufferTimer_, &QTimer::timeout, this, [this] { drain(); });
    }

    ~UdpLink() override { closeSocket(); }

    void start() override { resolve(); }

    void drain() override
    {
        if (blocked_ || state_ == State::Closed || state_ == State::Down)
            return;
        if (state_ == State::Probing) {
            if (!probeTimer_->isActive() && sendBatch(1) == Outcome::Progress)
                probeTimer_->start(kProbeMs);
            return;
        }
        for (int budget = kUdpDrainBudget; budget > 0 && state_ == State::Up;) {
            if (sendBatch(kTakeBatch) != Outcome::Progress)
                return;
            budget -= int(batch_.size());
        }
        // More is waiting: go on after whatever else waits for this thread.
        if (state_ == State::Up)
            QMetaObject::invokeMethod(this, [this] { drain(); }, Qt::QueuedConnection);
    }

    void finish(const QDeadlineTimer& deadline) override
    {
        // Datagrams wait for nobody: send everything queued unless the
        // destination is known to be down, waiting for room in the socket's
        // buffer until the deadline.
        collectRefusals();
        while (state_ == State::Up || state_ == State::Probing) {
            const Outcome outcome = sendBatch(kTakeBatch);
            if (outcome == Outcome::Empty)
                break;
            if (outcome == Outcome::Blocked && (deadline.hasExpired() || !waitForRoom(deadline)))
                break;
        }
        collectRefusals();
    }

private:
    enum class State { Closed, Probing, Up, Down };
    enum class Outcome { Empty, Progress, Blocked };

    // How long a probe datagram is given to be refused.
    static constexpr int kProbeMs = 250;
    // sendFrom(): the Qt socket could not send a datagram for a reason other
    // than its size.
    static constexpr int kUnreachable = -2;

    void resolve()
    {
        QHostAddress literal;
        if (literal.setAddress(destination().host)) {
            open(literal);
            return;
        }
        QHostInfo::lookupHost(destination().host, this, [this](const QHostInfo& info) {
            if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
                failed(QStringLiteral("Cannot look up %1: %2").arg(destination().host, info.errorString()));
            else
                open(info.addresses().constFirst());
        });
    }

    void opened()
    {
        state_ = State::Probing;
        drain();
    }

    void open(const QHostAddress& address)
    {
#ifdef Q_OS_LINUX
        if (owner_.options_.batchedDatagrams) {
            openNative(address);
            return;
        }
#endif
        auto* socket = new QUdpSocket(this);
        connect(socket, &QUdpSocket::connected, this, [this, socket] {
            qtSocket_ = socket;
            opened();
        });
        connect(socket, &QUdpSocket::readyRead, this, [this] { collectRefusals(); });
        // Refusals are counted where a send or a read reports them.
        connect(socket, &QUdpSocket::errorOccurred, this, [this, socket] {
            if (!qtSocket_) {
                socket->deleteLater();
                failed(QStringLiteral("Cannot open a UDP socket: %1").arg(socket->errorString()));
            }
        });
        socket->connectToHost(address, destination().port);
    }

#ifdef Q_OS_LINUX
    void openNative(const QHostAddress& address)
    {
        sockaddr_storage to{};
        socklen_t toLength = 0;
        const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        if (v6) {
            auto* to6 = reinterpret_cast<sockaddr_in6*>(&to);
            to6->sin6_family = AF_INET6;
            to6->sin6_port = htons(destination().port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&to6->sin6_addr, bytes.c, sizeof bytes.c);
            to6->sin6_scope_id = address.scopeId().toUInt();
            toLength = sizeof(sockaddr_in6);
        } else {
            auto* to4 = reinterpret_cast<sockaddr_in*>(&to);
            to4->sin_family = AF_INET;
            to4->sin_port = htons(destination().port);
            to4->sin_addr.s_addr = htonl(address.toIPv4Address());
            toLength = sizeof(sockaddr_in);
        }
        const int fd = ::socket(to.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        // Every ICMP error on the error queue, not only the latest as an error code.
        if (fd < 0 || ::setsockopt(fd, v6 ? SOL_IPV6 : SOL_IP, v6 ? IPV6_RECVERR : IP_RECVERR, &on, sizeof on) != 0
            || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), toLength) != 0) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            failed(QStringLiteral("Cannot open a UDP socket: %1").arg(systemReason(error)));
            return;
        }
        fd_ = fd;
        // Readable when something arrives or the system reports a refusal.
        readNotifier_ = new QSocketNotifier(qintptr(fd_), QSocketNotifier::Read, this);
        connect(readNotifier_, &QSocketNotifier::activated, this, [this] { collectRefusals(); });
        writeNotifier_ = new QSocketNotifier(qintptr(fd_), QSocketNotifier::Write, this);
        writeNotifier_->setEnabled(false);
        connect(writeNotifier_, &QSocketNotifier::activated, this, [this] {
            writeNotifier_->setEnabled(false);
            blocked_ = false;
            drain();
        });
        opened();
    }
#endif

    void closeSocket()
    {
#ifdef Q_OS_LINUX
        delete readNotifier_;
        delete writeNotifier_;
        readNotifier_ = writeNotifier_ = nullptr;
        if (fd_ >= 0)
            ::close(fd_);
#endif
        fd_ = -1;
    }

    // Sends up to `max` messages from the queue; what the system did not
    // take goes back to the head of the queue.
    Outcome sendBatch(std::size_t max)
    {
        collectRefusals();
        if (state_ == State::Down || !take(batch_, max))
            return Outcome::Empty;
        std::size_t next = 0;
        quint64 missed = 0;
        QString error;
        bool down = false;
        Outcome outcome = Outcome::Progress;
        while (next < batch_.size()) {
            int systemError = 0;
            const int sent = sendFrom(next, &systemError);
            if (sent > 0) {
                next += std::size_t(sent);
                continue;
            }
            if (systemError == EINTR)
                continue;
            if (systemError == ECONNREFUSED) {
                // About an earlier datagram; this one was not sent. Counted
                // below, once what was sent in this batch is.
                pendingRefusals_ = std::max<quint64>(pendingRefusals_, 1);
                break;
            }
            if (systemError == EAGAIN || systemError == EWOULDBLOCK || systemError == ENOBUFS) {
                outcome = Outcome::Blocked;
                waitForRoomLater(systemError == ENOBUFS);
                break;
            }
            ++missed;
            error = QStringLiteral("Cannot send a datagram of %1 bytes: %2")
                        .arg(batch_[next].size())
                        .arg(systemError > 0 ? systemReason(systemError) : qtSocket_->errorString());
            batch_[next].clear();
            ++next;
            if (systemError == kUnreachable) {
                // Without the system's own report, a send that fails for
                // another reason than its size takes the destination down.
                down = true;
                break;
            }
        }
        std::vector<QByteArray> takenBack;
        for (std::size_t i = next; i < batch_.size(); ++i)
            takenBack.push_back(std::move(batch_[i]));
        settle(quint64(next) - missed, missed, std::move(takenBack), error);
        if (down)
            goDown(error);
        collectRefusals();
        return state_ == State::Down ? Outcome::Empty : outcome;
    }

    // Sends datagrams from batch_[first] on: how many went, or 0 with the
    // system's error code in *error (-1: the error is the Qt socket's).
    int sendFrom(std::size_t first, int* error)
    {
#ifdef Q_OS_LINUX
        if (fd_ >= 0) {
            const std::size_t count = std::min(kDatagramsPerCall, batch_.size() - first);
            headers_.resize(count);
            vectors_.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                QByteArray& datagram = batch_[first + i];
                vectors_[i] = {datagram.data(), std::size_t(datagram.size())};
                headers_[i] = {};
                headers_[i].msg_hdr.msg_iov = &vectors_[i];
                headers_[i].msg_hdr.msg_iovlen = 1;
            }
            const int sent = ::sendmmsg(fd_, headers_.data(), unsigned(count), MSG_DONTWAIT | MSG_NOSIGNAL);
            *error = sent < 0 ? errno : 0;
            return std::max(sent, 0);
        }
#endif
        const QByteArray& datagram = batch_[first];
        const qint64 written = qtSocket_->write(datagram);
        if (written == datagram.size())
            return 1;
        if (written == 0)
            *error = EAGAIN;
        else
            *error = qtSocket_->error() == QAbstractSocket::DatagramTooLargeError ? -1 : kUnreachable;
        return 0;
    }

    // Counts the refusals the system has reported since the last look, and
    // throws away whatever the destination sent.
    void collectRefusals()
    {
        quint64 refusals = 0;
        int reason = ECONNREFUSED;
#ifdef Q_OS_LINUX
        if (fd_ >= 0) {
            // One entry per ICMP error the system received for this socket.
            for (;;) {
                char control[512];
                char payload[64];
                iovec vector{payload, sizeof payload};
                msghdr message{};
                message.msg_iov = &vector;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                if (::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
                    if (errno == EINTR)
                        continue;
                    break;
                }
                for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
                    if ((header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR)
                        || (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR)) {
                        sock_extended_err extended;
                        std::memcpy(&extended, CMSG_DATA(header), sizeof extended);
                        if (extended.ee_origin == SO_EE_ORIGIN_ICMP || extended.ee_origin == SO_EE_ORIGIN_ICMP6) {
                            ++refusals;
                            reason = int(extended.ee_errno);
                        }
                    }
                }
            }
            // The latest error as a code as well: the queue may have
            // overflowed, but at least one datagram was refused.
            int pending = 0;
            socklen_t length = sizeof pending;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0 && refusals == 0
                && pendingRefusals_ == 0) {
                refusals = 1;
                reason = pending;
            }
            char discard[512];
            while (::recv(fd_, discard, sizeof discard, MSG_DONTWAIT) >= 0 || errno == EINTR) {}
        }
#endif
        if (qtSocket_) {
            while (qtSocket_->hasPendingDatagrams())
                if (qtSocket_->receiveDatagram(0).isNull() && qtSocket_->error() == QAbstractSocket::ConnectionRefusedError)
                    ++refusals;
        }
        refusals = std::max(refusals, std::exchange(pendingRefusals_, 0));
        if (refusals > 0)
            refused(refusals, reason);
    }

    // The destination's system refused this many datagrams sent earlier: it
    // is down until a probe gets through.
    void refused(quint64 count, int reason)
    {
        const QString error = QStringLiteral("Datagrams refused (%1): nothing receives on %2 port %3")
                                  .arg(systemReason(reason), destination().host)
                                  .arg(destination().port);
        undeliver(count, error);
        goDown(error);
    }

    void goDown(const QString& error)
    {
        if (state_ == State::Down)
            return;
        state_ = State::Down;
        probeTimer_->stop();
        failed(error);
    }

    void waitForRoomLater(bool noBuffer)
    {
#ifdef Q_OS_LINUX
        if (writeNotifier_ && !noBuffer) {
            blocked_ = true;
            writeNotifier_->setEnabled(true);
            return;
        }
#endif
        noBufferTimer_->start(kNoBufferRetryMs);
    }

    bool waitForRoom(const QDeadlineTimer& deadline)
    {
        blocked_ = false;
        const int waitMs = int(std::clamp<qint64>(deadline.remainingTime(), 1, 1000));
#ifdef Q_OS_LINUX
        if (writeNotifier_)
            writeNotifier_->setEnabled(false);
        if (fd_ >= 0) {
            pollfd poller{fd_, POLLOUT, 0};
            return ::poll(&poller, 1, waitMs) > 0;
        }
#endif
        return qtSocket_ && qtSocket_->waitForBytesWritten(waitMs);
    }

    State state_ = State::Closed;
    QTimer* probeTimer_;
    QTimer* noBufferTimer_;
    int fd_ = -1;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QUdpSocket* qtSocket_ = nullptr;
    // Waiting for room in the socket's send buffer.
    bool blocked_ = false;
    // Refusals a send reported, counted once that send's batch is settled.
    quint64 pendingRefusals_ = 0;
    std::vector<QByteArray> batch_;
#ifdef Q_OS_LINUX
    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
#endif
};

// One connection, each message in the destination's framing. Opening the
// connection is the transport's part (connectSocket()); TlsLink opens an
// encrypted one there and calls ready() once it is.
class Forwarder::TcpLink : public Forwarder::Link {
public:
    TcpLink(Forwarder& owner, Lane& lane) : Link(owner, lane), connectTimer_(new QTimer(this))
    {
        connectTimer_->setSingleShot(true);
        connect(connectTimer_, &QTimer::timeout, this, [this] {
            broken(QStringLiteral("Cannot connect: no connection within %1 ms").arg(owner_.options_.connectTimeoutMs));
        });
        connect(retryTimer_, &QTimer::timeout, this, [this] { open(); });
    }

    ~TcpLink() override { closeDuplicate(); }

    void start() override { open(); }

    void drain() override
    {
        if (!socket_ || !ready_)
            return;
        while (socket_->bytesToWrite() < kTcpWriteWatermark && take(batch_, kTakeBatch)) {
            frames_.clear();
            for (QByteArray& message : batch_) {
                if (destination().framing == ForwardDestination::Framing::LineFeed)
                    appendLineFramed(frames_, message);
                else
                    appendOctetCounted(frames_, message);
                inFlight_.push_back({std::move(message), appended_ + frames_.size()});
            }
            appended_ += frames_.size();
            socket_->write(frames_);
        }
        // The rest follows when the socket reports bytes written.
    }

    void finish(const QDeadlineTimer& deadline) override
    {
        while (socket_ && ready_ && !deadline.hasExpired()) {
            drain();
            if (inFlight_.empty())
                break;
            if (!socket_->waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1))))
                break;
        }
    }

protected:
    // Starts connecting a new socket to the destination; ready() follows once
    // messages may be written, errorOccurred() or disconnected() if not.
    virtual QTcpSocket* connectSocket()
    {
        auto* socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::connected, this, [this] { ready(); });
        socket->connectToHost(destination().host, destination().port);
        return socket;
    }

    // Why the connection failed, as the socket tells it.
    virtual QString failureText() const { return socket_->errorString(); }

    void ready()
    {
        connectTimer_->stop();
        ready_ = true;
        socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
        // A second descriptor of the connection keeps it readable after the
        // socket closes its own, to ask how much the receiver acknowledged.
        closeDuplicate();
        duplicate_ = ::fcntl(int(socket_->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
        succeeded();
        drain();
    }

private:
    struct Written {
        QByteArray message;
        // The end of its frame in the bytes written to this connection.
        qint64 end;
    };

    void open()
    {
        ready_ = false;
        connectTimer_->start(owner_.options_.connectTimeoutMs);
        socket_ = connectSocket();
        connect(socket_, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) { onBytesWritten(bytes); });
        // A receiver has nothing to say; whatever arrives is thrown away.
        connect(socket_, &QTcpSocket::readyRead, this, [this] { socket_->skip(socket_->bytesAvailable()); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
            broken((ready_ ? QStringLiteral("Connection lost: %1") : QStringLiteral("Cannot connect: %1"))
                       .arg(failureText()));
        });
        connect(socket_, &QTcpSocket::disconnected, this,
                [this] { broken(QStringLiteral("Connection lost: the receiver closed it")); });
    }

    void onBytesWritten(qint64 bytes)
    {
        handed_ += bytes;
        quint64 count = 0;
        while (!inFlight_.empty() && inFlight_.front().end <= handed_) {
            if (duplicate_ >= 0)
                handedEnds_.push_back(inFlight_.front().end);
            inFlight_.pop_front();
            ++count;
        }
        while (!handedEnds_.empty() && handedEnds_.front() <= handed_ - kTrackedSentBytes)
            handedEnds_.pop_front();
        if (count > 0)
            settle(count, 0);
        drain();
    }

    // The connection failed or ended: takes back what it did not send and
    // tries again later.
    void broken(const QString& reason)
    {
        if (!socket_)
            return;
        connectTimer_->stop();
        socket_->disconnect(this);
        const qint64 unacknowledged = unacknowledgedBytes();
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
        ready_ = false;
        closeDuplicate();

        // Handed to the system but not acknowledged: lost with the connection.
        quint64 lost = 0;
        const qint64 delivered = handed_ - unacknowledged;
        for (auto it = handedEnds_.rbegin(); it != handedEnds_.rend() && *it > delivered; ++it)
            ++lost;
        undeliver(lost);

        std::vector<QByteArray> unsent;
        unsent.reserve(inFlight_.size());
        for (Written& written : inFlight_)
            unsent.push_back(std::move(written.message));
        inFlight_.clear();
        handedEnds_.clear();
        appended_ = 0;
        handed_ = 0;
        settle(0, 0, std::move(unsent));
        failed(reason);
    }

    qint64 unacknowledgedBytes() const
    {
#ifdef Q_OS_LINUX
        int bytes = 0;
        if (duplicate_ >= 0 && ::ioctl(duplicate_, SIOCOUTQ, &bytes) == 0 && bytes > 0)
            return bytes;
#endif
        return 0;
    }

    void closeDuplicate()
    {
#ifdef Q_OS_LINUX
        if (duplicate_ >= 0)
            ::close(duplicate_);
#endif
        duplicate_ = -1;
    }

    QTimer* connectTimer_;
    QTcpSocket* socket_ = nullptr;
    bool ready_ = false;
    int duplicate_ = -1;
    std::vector<QByteArray> batch_;
    QByteArray frames_;
    // Written to the socket, not yet handed to the operating system, oldest first.
    std::deque<Written> inFlight_;
    // Ends of the latest frames handed to the operating system (Linux only).
    std::deque<qint64> handedEnds_;
    // Bytes written to the socket, and handed by it to the system, on this connection.
    qint64 appended_ = 0;
    qint64 handed_ = 0;
};

// A TcpLink whose connection is ready once the TLS handshake has verified the
// collector's certificate.
class Forwarder::TlsLink final : public Forwarder::TcpLink {
public:
    using TcpLink::TcpLink;

protected:
    QTcpSocket* connectSocket() override
    {
        verifyFailure_.clear();
        auto* socket = new QSslSocket(this);
        socket->setSslConfiguration(owner_.options_.tlsConfiguration);
        connect(socket, &QSslSocket::encrypted, this, [this] { ready(); });
        connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) { notVerified(errors); });
        // The host name is what the certificate must name.
        socket->connectToHostEncrypted(destination().host, destination().port);
        return socket;
    }

    QString failureText() const override { return verifyFailure_.isEmpty() ? TcpLink::failureText() : verifyFailure_; }

private:
    // The handshake ends after this (the connection's error follows): what
    // waits is missed rather than kept for a collector that is not trusted.
    void notVerified(const QList<QSslError>& errors)
    {
        QStringList reasons;
        for (const QSslError& error : errors)
            reasons << error.errorString();
        reasons.removeDuplicates();
        const quint64 waiting = quint64(lane_.queue.size());
        lane_.queue.clear();
        verifyFailure_ = QStringLiteral("the collector's certificate does not verify: %1").arg(reasons.join(QStringLiteral("; ")));
        settle(0, waiting);
    }

    QString verifyFailure_;
};

Forwarder::Forwarder(const QList<ForwardDestination>& destinations, QObject* parent)
    : Forwarder(destinations, ForwarderOptions{}, parent)
{
}

Forwarder::Forwarder(const QList<ForwardDestination>& destinations, const ForwarderOptions& options, QObject* parent)
    : QObject(parent), options_(options), worker_(std::make_unique<QObject>()), mailbox_(std::make_unique<Mailbox>())
{
    options_.queueCapacity = std::max<qsizetype>(options_.queueCapacity, 1);
    options_.retryInitialMs = std::max(options_.retryInitialMs, 1);
    options_.retryMaxMs = std::max(options_.retryMaxMs, options_.retryInitialMs);
    options_.connectTimeoutMs = std::max(options_.connectTimeoutMs, 1);
    options_.statusIntervalMs = std::max(options_.statusIntervalMs, 0);
    statusTimer_ = new QTimer(this);
    statusTimer_->setSingleShot(true);
    connect(statusTimer_, &QTimer::timeout, this, [this] {
        lastStatus_.start();
        emit statusChanged();
    });
    for (const ForwardDestination& destination : destinations)
        lanes_.push_back(std::make_unique<Lane>(destination));
    if (lanes_.empty())
        return;
    thread_.setObjectName(QStringLiteral("forwarder"));
    worker_->moveToThread(&thread_);
    // The lowest priority (on Linux SCHED_IDLE): only time nobody else wants.
    thread_.start(options_.lowPriority ? QThread::IdlePriority : QThread::InheritPriority);
    QMetaObject::invokeMethod(worker_.get(), [this] { startOnWorker(); }, Qt::QueuedConnection);
}

Forwarder::~Forwarder() { stop(0); }

void Forwarder::startOnWorker()
{
    for (const auto& lane : lanes_) {
        Link* link = nullptr;
        switch (lane->destination.transport) {
        case ForwardDestination::Transport::Tcp:
            link = new TcpLink(*this, *lane);
            break;
        case ForwardDestination::Transport::Tls:
            link = new TlsLink(*this, *lane);
            break;
        case ForwardDestination::Transport::Udp:
            link = new UdpLink(*this, *lane);
            break;
        }
        link->setParent(worker_.get());
        lane->link = link;
        link->start();
    }
}

void Forwarder::forward(const QByteArray& message, const QString& senderHost, const QDateTime& arrival)
{
    if (lanes_.empty())
        return;
    offered_.store(offered_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (stopped_) {
        missEverywhere(1);
        return;
    }
    Mailbox& box = *mailbox_;
    if (!box.gathering) {
        if (!box.spare)
            box.spare = box.emptied.takeAll();
        box.gathering = box.spare ? std::exchange(box.spare, box.spare->next) : new Batch;
        box.gathering->next = nullptr;
    }
    box.gathering->append(message, senderHost, arrival);
    if (box.gathering->entries.size() >= kHandOverBatch) {
        handOver();
    } else if (!handOverPosted_) {
        // The rest goes once this thread is back in its event loop.
        handOverPosted_ = true;
        QMetaObject::invokeMethod(this, [this] {
            handOverPosted_ = false;
            handOver();
        }, Qt::QueuedConnection);
    }
}

// Gives what forward() gathered to the forwarder's thread, as much as fits.
void Forwarder::handOver()
{
    Mailbox& box = *mailbox_;
    Batch* batch = std::exchange(box.gathering, nullptr);
    if (!batch)
        return;
    const qsizetype capacity = std::min(options_.queueCapacity, kHandedOverCapacity);
    const qsizetype room = box.closed ? 0 : std::max<qsizetype>(capacity - box.handedOverCount.load(), 0);
    if (qsizetype(batch->entries.size()) > room) {
        // The oldest go on; the newest find no room.
        missEverywhere(quint64(qsizetype(batch->entries.size()) - room));
        batch->entries.resize(std::size_t(room));
    }
    if (batch->entries.empty()) {
        batch->clear();
        batch->next = box.spare;
        box.spare = batch;
        return;
    }
    box.handedOverCount += qsizetype(batch->entries.size());
    if (box.handedOver.push(batch))
        QMetaObject::invokeMethod(worker_.get(), [this] { takeHandedOver(); }, Qt::QueuedConnection);
}

// On the forwarder's thread: gives every handed-over message to each
// destination's queue, completed as a relay does for those that are not raw.
void Forwarder::takeHandedOver()
{
    Mailbox& box = *mailbox_;
    Batch* latestFirst = box.handedOver.takeAll();
    Batch* batches = nullptr;
    while (latestFirst) {
        Batch* batch = std::exchange(latestFirst, latestFirst->next);
        batch->next = batches;
        batches = batch;
    }
    const bool anyRelay = std::any_of(lanes_.begin(), lanes_.end(), [](const auto& lane) { return !lane->destination.raw; });
    bool missed = false;
    std::vector<QByteArray> asReceived;
    std::vector<QByteArray> relayed;
    while (batches) {
        Batch* batch = std::exchange(batches, batches->next);
        asReceived.clear();
        relayed.clear();
        // Only as many as some destination has room for are worth preparing.
        qsizetype wanted = 0;
        for (const auto& lane : lanes_)
            wanted = std::max(wanted, options_.queueCapacity - qsizetype(lane->queue.size()));
        wanted = std::min(wanted, qsizetype(batch->entries.size()));
        for (const Batch::Entry& entry : std::span(batch->entries).first(std::size_t(wanted))) {
            asReceived.push_back(batch->message(entry).toByteArray());
            if (!anyRelay)
                continue;
            const QDateTime arrival = entry.arrival.isValid() ? entry.arrival : QDateTime::currentDateTime();
            if (arrival != box.stampTime || box.stamp.isEmpty()) {
                box.stampTime = arrival;
                box.stamp = relayTimestamp(arrival);
            }
            const QByteArrayView host = entry.hostSize > 0 ? batch->host(entry) : QByteArrayView("-");
            relayed.push_back(relayedMessage(asReceived.back(), host, box.stamp));
        }
        const qsizetype count = qsizetype(batch->entries.size());
        batch->clear();
        box.emptied.push(batch);
        box.handedOverCount -= count;
        for (const auto& lane : lanes_) {
            const std::vector<QByteArray>& messages = lane->destination.raw ? asReceived : relayed;
            const qsizetype room = std::max<qsizetype>(options_.queueCapacity - qsizetype(lane->queue.size()), 0);
            const qsizetype taken = std::min(room, count);
            lane->queue.insert(lane->queue.end(), messages.begin(), messages.begin() + taken);
            if (taken < count) {
                lane->missed += quint64(count - taken);
                missed = true;
            }
        }
    }
    if (missed)
        noteStatusChange();
    for (const auto& lane : lanes_)
        if (lane->link)
            lane->link->drain();
}

QList<ForwardStatus> Forwarder::status() const
{
    QList<ForwardStatus> result;
    result.reserve(qsizetype(lanes_.size()));
    for (const auto& lane : lanes_) {
        ForwardStatus status;
        status.destination = lane->name;
        // In this order: every message sent or missed was offered before.
        status.sent = lane->sent.load();
        status.missed = lane->missed.load();
        const quint64 offered = offered_.load(std::memory_order_acquire);
        status.waiting = qint64(offered - std::min(offered, status.sent + status.missed));
        status.connected = lane->connected.load();
        {
            std::lock_guard lock(lane->errorMutex);
            status.lastError = lane->lastError;
        }
        result << status;
    }
    return result;
}

void Forwarder::stop(int graceMs)
{
    if (stopped_)
        return;
    handOver();
    stopped_ = true;
    if (!thread_.isRunning())
        return;
    const qint64 deadlineMs = std::max(graceMs, 0);
    QMetaObject::invokeMethod(worker_.get(), [this, deadlineMs] { stopOnWorker(deadlineMs); },
                              Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void Forwarder::stopOnWorker(qint64 graceMs)
{
    const QDeadlineTimer deadline(graceMs);
    takeHandedOver();
    mailbox_->closed = true;
    std::vector<Link*> links;
    for (const auto& lane : lanes_) {
        if (lane->link) {
            lane->link->finish(deadline);
            links.push_back(std::exchange(lane->link, nullptr));
        }
    }
    for (Link* link : links)
        delete link;
    // Whatever was offered and is neither sent nor missed now never will be.
    const quint64 offered = offered_.load();
    for (const auto& lane : lanes_) {
        lane->missed += offered - std::min(offered, lane->sent.load() + lane->missed.load());
        lane->queue.clear();
        lane->connected = false;
    }
    noteStatusChange();
}

// Messages that reach no destination's queue.
void Forwarder::missEverywhere(quint64 count)
{
    for (const auto& lane : lanes_)
        lane->missed += count;
    noteStatusChange();
}

void Forwarder::noteStatusChange()
{
    if (statusPosted_.exchange(true))
        return;
    QMetaObject::invokeMethod(this, [this] { emitStatus(); }, Qt::QueuedConnection);
}

void Forwarder::emitStatus()
{
    statusPosted_ = false;
    if (statusTimer_->isActive())
        return;
    if (!lastStatus_.isValid() || lastStatus_.elapsed() >= options_.statusIntervalMs) {
        lastStatus_.start();
        emit statusChanged();
    } else {
        statusTimer_->start(int(options_.statusIntervalMs - lastStatus_.elapsed()));
    }
}
