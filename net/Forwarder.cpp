#include "net/Forwarder.h"

#include "platform/Result.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <charconv>
#include <deque>
#include <mutex>
#include <optional>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------
// Destinations

namespace {

bool isHostNameLabel(QStringView label)
{
    if (label.isEmpty() || label.size() > 63 || label.front() == u'-' || label.back() == u'-')
        return false;
    return std::all_of(label.begin(), label.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
    });
}

bool isDottedNumbers(const QString& host)
{
    return std::all_of(host.begin(), host.end(), [](QChar c) { return (c >= u'0' && c <= u'9') || c == u'.'; });
}

bool isIpv4Address(const QString& host)
{
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    return std::all_of(parts.begin(), parts.end(), [](const QString& part) {
        bool ok = false;
        const int value = part.toInt(&ok);
        return ok && !part.isEmpty() && part.size() <= 3 && value <= 255;
    });
}

// The destination an entry names, or the reason it names none.
Result<ForwardDestination> parseEntry(const QString& entry)
{
    const qsizetype schemeEnd = entry.indexOf(QStringLiteral("://"));
    if (schemeEnd < 0)
        return Failure{QStringLiteral("it is not of the form udp://HOST:PORT or tcp://HOST:PORT")};
    ForwardDestination destination;
    const QString scheme = entry.left(schemeEnd).toLower();
    if (scheme == u"udp")
        destination.transport = ForwardDestination::Transport::Udp;
    else if (scheme == u"tcp")
        destination.transport = ForwardDestination::Transport::Tcp;
    else
        return Failure{QStringLiteral("the transport \"%1\" is neither udp nor tcp").arg(entry.left(schemeEnd))};

    const QString rest = entry.mid(schemeEnd + 3);
    QString portText;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return Failure{QStringLiteral("the IPv6 address has no closing bracket")};
        destination.host = rest.mid(1, close - 1);
        const QHostAddress address(destination.host);
        if (address.protocol() != QAbstractSocket::IPv6Protocol)
            return Failure{QStringLiteral("\"%1\" is not an IPv6 address").arg(destination.host)};
        if (rest.mid(close + 1, 1) != u":")
            return Failure{QStringLiteral("the port is missing")};
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(u':');
        if (colon < 0)
            return Failure{QStringLiteral("the port is missing")};
        destination.host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (destination.host.contains(u':'))
            return Failure{
                QStringLiteral("an IPv6 address must be written in brackets, as [%1]").arg(destination.host)};
        if (destination.host.isEmpty())
            return Failure{QStringLiteral("the host is missing")};
        if (isDottedNumbers(destination.host)) {
            if (!isIpv4Address(destination.host))
                return Failure{QStringLiteral("\"%1\" is not an IPv4 address").arg(destination.host)};
        } else {
            const QStringList labels = destination.host.split(u'.');
            if (destination.host.size() > 253
                || !std::all_of(labels.begin(), labels.end(), [](const QString& l) { return isHostNameLabel(l); }))
                return Failure{QStringLiteral("\"%1\" is not a host name").arg(destination.host)};
        }
    }

    const bool digitsOnly = !portText.isEmpty() && portText.size() <= 5
        && std::all_of(portText.begin(), portText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int port = digitsOnly ? portText.toInt() : 0;
    if (portText.isEmpty())
        return Failure{QStringLiteral("the port is missing")};
    if (port < 1 || port > 65535)
        return Failure{QStringLiteral("the port \"%1\" is not a number from 1 to 65535").arg(portText)};
    destination.port = quint16(port);
    return destination;
}

} // namespace

QString ForwardDestination::text() const
{
    const QString scheme = transport == Transport::Tcp ? QStringLiteral("tcp") : QStringLiteral("udp");
    const QString hostText = host.contains(u':') ? u'[' + host + u']' : host;
    return QStringLiteral("%1://%2:%3").arg(scheme, hostText).arg(port);
}

ParsedForwardDestinations parseForwardDestinations(const QString& settingText)
{
    ParsedForwardDestinations parsed;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const QString& entry : settingText.split(blanks, Qt::SkipEmptyParts)) {
        const Result<ForwardDestination> destination = parseEntry(entry);
        if (!destination)
            parsed.errors
                << QStringLiteral("Forwarding destination \"%1\" ignored: %2.").arg(entry, destination.error());
        else if (parsed.destinations.contains(*destination))
            parsed.errors << QStringLiteral("Forwarding destination \"%1\" ignored: it is listed more than once.").arg(entry);
        else
            parsed.destinations << *destination;
    }
    return parsed;
}

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

// Messages taken from a queue at a time.
constexpr std::size_t kBatchSize = 256;
// How soon a link that just emptied its queue looks at it again.
constexpr int kLookAgainMs = 1;
// Datagrams sent per turn of the forwarder's event loop, so that one busy
// destination does not hold up the others.
constexpr int kUdpDrainBudget = 4096;
// Bytes a TCP socket may hold unsent before the forwarder waits for it.
constexpr qint64 kTcpWriteWatermark = 256 * 1024;
// How far back the ends of messages handed to the operating system are kept,
// to tell which ones a broken connection had not delivered. More than a TCP
// send buffer holds.
constexpr qint64 kTrackedSentBytes = 32 * 1024 * 1024;

} // namespace

// What a destination's queue and counters hold; shared between forward() and
// the destination's link on the forwarder's thread.
struct Forwarder::Lane {
    explicit Lane(const ForwardDestination& d) : destination(d), name(d.text()) {}

    const ForwardDestination destination;
    const QString name;
    mutable std::mutex mutex;
    std::deque<QByteArray> queue;
    // Taken from the queue and not yet sent.
    qint64 inFlight = 0;
    quint64 sent = 0;
    quint64 missed = 0;
    bool connected = false;
    QString lastError;
    // The link waits for messages: the next forward() wakes it.
    bool idle = false;
    // The link, once it exists and until the forwarder stops.
    Link* link = nullptr;
    // The forwarder has stopped: messages are missed.
    bool closed = false;
};

// Sends one destination's messages; lives on the forwarder's thread.
class Forwarder::Link : public QObject {
public:
    Link(Forwarder& owner, Lane& lane)
        : owner_(owner), lane_(lane), retryTimer_(new QTimer(this)), lookAgainTimer_(new QTimer(this))
    {
        retryTimer_->setSingleShot(true);
        lookAgainTimer_->setSingleShot(true);
        lookAgainTimer_->setInterval(kLookAgainMs);
        connect(lookAgainTimer_, &QTimer::timeout, this, [this] { drain(); });
        delayMs_ = owner_.options_.retryInitialMs;
    }

    virtual void start() = 0;
    // Sends what the queue holds, as far as the link can take it now.
    virtual void drain() = 0;
    // Sends what it can before the deadline; the forwarder stops afterwards.
    virtual void finish(const QDeadlineTimer& deadline) = 0;

protected:
    const ForwardDestination& destination() const { return lane_.destination; }

    // Moves up to `max` messages from the queue into batch, or returns false
    // if there are none. A link that found messages in this turn looks again
    // shortly, as more are likely on their way; one that found none waits to
    // be woken by the next forward(). Under load forward() thus never has to
    // wake the link.
    bool take(std::vector<QByteArray>& batch, std::size_t max, bool firstInTurn)
    {
        batch.clear();
        std::unique_lock lock(lane_.mutex);
        if (lane_.queue.empty()) {
            if (!firstInTurn) {
                lock.unlock();
                lookAgainTimer_->start();
            } else if (!lookAgainTimer_->isActive()) {
                lane_.idle = true;
            }
            return false;
        }
        const std::size_t count = std::min(max, lane_.queue.size());
        for (std::size_t i = 0; i < count; ++i) {
            batch.push_back(std::move(lane_.queue.front()));
            lane_.queue.pop_front();
        }
        lane_.inFlight += qint64(count);
        return true;
    }

    // Records messages that left the link: sent, missed, or (taken back)
    // returned to the head of the queue in their order.
    void settle(quint64 sent, quint64 missed, std::vector<QByteArray> takenBack = {}, const QString& error = {})
    {
        bool changed = missed > 0;
        {
            std::lock_guard lock(lane_.mutex);
            lane_.sent += sent;
            lane_.missed += missed;
            lane_.inFlight -= qint64(sent + missed + takenBack.size());
            for (auto it = takenBack.rbegin(); it != takenBack.rend(); ++it)
                lane_.queue.push_front(std::move(*it));
            // The oldest stay; the newest that no longer fit are missed.
            while (qsizetype(lane_.queue.size()) > owner_.options_.queueCapacity) {
                lane_.queue.pop_back();
                ++lane_.missed;
                changed = true;
            }
            if (!error.isEmpty() && error != lane_.lastError) {
                lane_.lastError = error;
                changed = true;
            }
        }
        if (changed)
            owner_.noteStatusChange();
    }

    // Moves messages counted as sent to missed: sent but never delivered.
    void undeliver(quint64 count)
    {
        if (count == 0)
            return;
        std::lock_guard lock(lane_.mutex);
        lane_.sent -= std::min(count, lane_.sent);
        lane_.missed += count;
    }

    void setConnected(bool connected, const QString& error = {})
    {
        {
            std::lock_guard lock(lane_.mutex);
            lane_.connected = connected;
            if (!connected)
                lane_.idle = false;
            if (!error.isEmpty())
                lane_.lastError = error;
        }
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
    QTimer* lookAgainTimer_;
    int delayMs_;
};

class Forwarder::UdpLink final : public Forwarder::Link {
public:
    UdpLink(Forwarder& owner, Lane& lane) : Link(owner, lane)
    {
        connect(retryTimer_, &QTimer::timeout, this, [this] { resolve(); });
    }

    void start() override { resolve(); }

    void drain() override
    {
        if (!socket_)
            return;
        int budget = kUdpDrainBudget;
        for (bool first = true; sendBatch(first); first = false) {
            budget -= int(batch_.size());
            if (budget <= 0) {
                QMetaObject::invokeMethod(this, [this] { drain(); }, Qt::QueuedConnection);
                return;
            }
        }
    }

    void finish(const QDeadlineTimer&) override
    {
        // Datagrams do not wait for anyone: send everything queued.
        if (socket_)
            while (sendBatch(false)) {}
    }

private:
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

    void open(const QHostAddress& address)
    {
        auto* socket = new QUdpSocket(this);
        const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        if (!socket->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
            failed(QStringLiteral("Cannot open a UDP socket: %1").arg(socket->errorString()));
            delete socket;
            return;
        }
        // Nothing is read from it; whatever arrives is thrown away.
        connect(socket, &QUdpSocket::readyRead, this, [socket] {
            while (socket->hasPendingDatagrams())
                socket->receiveDatagram(0);
        });
        socket_ = socket;
        address_ = address;
        succeeded();
        drain();
    }

    bool sendBatch(bool firstInTurn)
    {
        if (!take(batch_, kBatchSize, firstInTurn))
            return false;
        quint64 sent = 0;
        quint64 missed = 0;
        QString error;
        for (const QByteArray& message : batch_) {
            if (socket_->writeDatagram(message, address_, destination().port) == message.size()) {
                ++sent;
            } else {
                ++missed;
                error = QStringLiteral("Cannot send a datagram of %1 bytes: %2").arg(message.size()).arg(socket_->errorString());
            }
        }
        settle(sent, missed, {}, error);
        return true;
    }

    QUdpSocket* socket_ = nullptr;
    QHostAddress address_;
    std::vector<QByteArray> batch_;
};

class Forwarder::TcpLink final : public Forwarder::Link {
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
        if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState)
            return;
        for (bool first = true; socket_->bytesToWrite() < kTcpWriteWatermark; first = false) {
            if (!take(batch_, kBatchSize, first))
                return;
            for (QByteArray& message : batch_) {
                char header[24];
                char* end = std::to_chars(header, header + sizeof header - 1, message.size()).ptr;
                *end++ = ' ';
                socket_->write(header, end - header);
                socket_->write(message);
                appended_ += (end - header) + message.size();
                inFlight_.push_back({std::move(message), appended_});
            }
        }
        // The rest follows when the socket reports bytes written.
    }

    void finish(const QDeadlineTimer& deadline) override
    {
        while (socket_ && socket_->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            drain();
            if (inFlight_.empty())
                break;
            if (!socket_->waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1))))
                break;
        }
    }

private:
    struct Written {
        QByteArray message;
        // The end of its frame in the bytes written to this connection.
        qint64 end;
    };

    void open()
    {
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, [this] { onConnected(); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) { onBytesWritten(bytes); });
        // A receiver has nothing to say; whatever arrives is thrown away.
        connect(socket_, &QTcpSocket::readyRead, this, [this] { socket_->skip(socket_->bytesAvailable()); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
            broken((wasConnected_ ? QStringLiteral("Connection lost: %1") : QStringLiteral("Cannot connect: %1"))
                       .arg(socket_->errorString()));
        });
        connect(socket_, &QTcpSocket::disconnected, this,
                [this] { broken(QStringLiteral("Connection lost: the receiver closed it")); });
        wasConnected_ = false;
        connectTimer_->start(owner_.options_.connectTimeoutMs);
        socket_->connectToHost(destination().host, destination().port);
    }

    void onConnected()
    {
        connectTimer_->stop();
        wasConnected_ = true;
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
    bool wasConnected_ = false;
    int duplicate_ = -1;
    std::vector<QByteArray> batch_;
    // Written to the socket, not yet handed to the operating system, oldest first.
    std::deque<Written> inFlight_;
    // Ends of the latest frames handed to the operating system (Linux only).
    std::deque<qint64> handedEnds_;
    // Bytes written to the socket, and handed by it to the system, on this connection.
    qint64 appended_ = 0;
    qint64 handed_ = 0;
};

Forwarder::Forwarder(const QList<ForwardDestination>& destinations, QObject* parent)
    : Forwarder(destinations, ForwarderOptions{}, parent)
{
}

Forwarder::Forwarder(const QList<ForwardDestination>& destinations, const ForwarderOptions& options, QObject* parent)
    : QObject(parent), options_(options), worker_(std::make_unique<QObject>())
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
    thread_.start();
    QMetaObject::invokeMethod(worker_.get(), [this] { startOnWorker(); }, Qt::QueuedConnection);
}

Forwarder::~Forwarder() { stop(0); }

void Forwarder::startOnWorker()
{
    for (const auto& lane : lanes_) {
        Link* link = lane->destination.transport == ForwardDestination::Transport::Tcp
            ? static_cast<Link*>(new TcpLink(*this, *lane))
            : static_cast<Link*>(new UdpLink(*this, *lane));
        link->setParent(worker_.get());
        {
            std::lock_guard lock(lane->mutex);
            lane->link = link;
        }
        link->start();
    }
}

void Forwarder::forward(const QByteArray& message)
{
    bool missed = false;
    for (const auto& lane : lanes_) {
        std::lock_guard lock(lane->mutex);
        if (lane->closed || qsizetype(lane->queue.size()) >= options_.queueCapacity) {
            ++lane->missed;
            missed = true;
            continue;
        }
        lane->queue.push_back(message);
        if (lane->idle && lane->link) {
            lane->idle = false;
            Link* link = lane->link;
            QMetaObject::invokeMethod(link, [link] { link->drain(); }, Qt::QueuedConnection);
        }
    }
    if (missed)
        noteStatusChange();
}

QList<ForwardStatus> Forwarder::status() const
{
    QList<ForwardStatus> result;
    result.reserve(qsizetype(lanes_.size()));
    for (const auto& lane : lanes_) {
        std::lock_guard lock(lane->mutex);
        ForwardStatus status;
        status.destination = lane->name;
        status.sent = lane->sent;
        status.missed = lane->missed;
        status.waiting = qint64(lane->queue.size()) + lane->inFlight;
        status.connected = lane->connected;
        status.lastError = lane->lastError;
        result << status;
    }
    return result;
}

void Forwarder::stop(int graceMs)
{
    if (stopped_)
        return;
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
    std::vector<Link*> links;
    for (const auto& lane : lanes_) {
        Link* link = nullptr;
        {
            std::lock_guard lock(lane->mutex);
            link = lane->link;
        }
        if (link) {
            link->finish(deadline);
            links.push_back(link);
        }
    }
    for (const auto& lane : lanes_) {
        std::lock_guard lock(lane->mutex);
        lane->missed += quint64(lane->queue.size()) + quint64(std::max<qint64>(lane->inFlight, 0));
        lane->queue.clear();
        lane->inFlight = 0;
        lane->link = nullptr;
        lane->closed = true;
        lane->connected = false;
        lane->idle = false;
    }
    for (Link* link : links)
        delete link;
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
