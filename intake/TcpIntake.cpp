#include "intake/TcpIntake.h"

#include "intake/MessageText.h"
#include "net/SyslogFraming.h"
#include "platform/Clock.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

// The peer's address as a record keeps it: dotted IPv4 (also for an IPv4
// peer of the dual-stack socket), else IPv6 in its short form without a scope.
QString peerText(const QTcpSocket& socket)
{
    QHostAddress address = socket.peerAddress();
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QHostAddress(ipv4).toString();
    address.setScopeId(QString());
    return address.toString();
}

// Bytes the system holds for the socket and has not handed over yet.
qint64 unreadSystemBytes(const QTcpSocket& socket)
{
#ifdef Q_OS_UNIX
    int bytes = 0;
    if (::ioctl(int(socket.socketDescriptor()), FIONREAD, &bytes) == 0)
        return bytes;
#endif
    // Without a way to ask, read what arrives within a bounded amount.
    return 4 * 1024 * 1024;
}

} // namespace

class TcpIntake::Connection final : public QObject {
public:
    Connection(QTcpSocket* accepted, qsizetype maxMessageBytes, qint64 nowMs, QObject* parent)
        : QObject(parent), socket(accepted), framing(maxMessageBytes), peer(peerText(*accepted)), lastDataMs(nowMs)
    {
        socket->setParent(this);
    }

    QTcpSocket* socket;
    SyslogFraming framing;
    const QString peer;
    // Messages split off the stream and not handed on yet (only while paused).
    QList<QByteArray> waiting;
    qsizetype nextWaiting = 0;
    qint64 lastDataMs;
    // When the first byte of the message still incomplete came; 0 without one.
    qint64 messageStartMs = 0;
    // The peer closed while reading was paused: finished once reading resumes.
    bool ended = false;
    bool closed = false;
    // Over TLS: the handshake is done; why it failed, if it did.
    bool encrypted = false;
    QString handshakeError;
};

// Accepts plain TCP connections, or TLS ones whose handshake the intake starts.
class TcpIntake::Listener final : public QTcpServer {
public:
    explicit Listener(QObject* parent) : QTcpServer(parent) {}
    bool tls = false;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        addPendingConnection(socket);
    }
};

TcpIntake::TcpIntake(Deliver deliver, const Clock& clock, TcpIntakeOptions options, QObject* parent)
    : QObject(parent), deliver_(std::move(deliver)), clock_(clock), options_(options)
    , server_(new Listener(this))
{
    options_.readChunkBytes = std::max<qint64>(options_.readChunkBytes, 1024);
    buffer_.resize(options_.readChunkBytes);
    connect(server_, &QTcpServer::newConnection, this, [this] { acceptPending(); });
}

TcpIntake::~TcpIntake()
{
    // Nothing is handed on any more: the receiver is going away.
    deliver_ = {};
    server_->close();
    for (Connection* connection : std::as_const(connections_))
        connection->socket->disconnect(connection);
}

Result<> TcpIntake::listen(quint16 port)
{
    close();
    // IPv6 and IPv4 on one socket where the system has both.
    if (!server_->listen(QHostAddress::Any, port))
        return Failure{server_->errorString()};
    return {};
}

bool TcpIntake::isListening() const { return server_->isListening(); }

quint16 TcpIntake::listeningPort() const { return server_->serverPort(); }

void TcpIntake::setTls(std::optional<QSslConfiguration> configuration)
{
    tls_ = std::move(configuration);
    server_->tls = tls_.has_value();
}

int TcpIntake::connectionCount() const { return int(connections_.size()); }

void TcpIntake::close()
{
    server_->close();
    closing_ = true;
    const QList<Connection*> open = connections_;
    for (Connection* connection : open) {
        drain(*connection);
        if (!connection->closed) {
            finish(*connection);
            drop(*connection);
        }
    }
    closing_ = false;
}

void TcpIntake::setPaused(bool paused)
{
    if (paused == paused_)
        return;
    paused_ = paused;
    const qint64 nowMs = clock_.currentMSecsSinceEpoch();
    if (paused) {
        pausedAtMs_ = nowMs;
        return;
    }
    // The time spent paused was this side's, not the senders'.
    const qint64 pausedMs = std::max<qint64>(nowMs - pausedAtMs_, 0);
    for (Connection* connection : std::as_const(connections_)) {
        connection->lastDataMs += pausedMs;
        if (connection->messageStartMs != 0)
            connection->messageStartMs += pausedMs;
    }
    // Not from inside this call: it comes from storing, which a handed-on
    // message would enter again.
    QMetaObject::invokeMethod(this, [this] { resumeReading(); }, Qt::QueuedConnection);
}

void TcpIntake::resumeReading()
{
    const QList<Connection*> open = connections_;
    for (Connection* connection : open) {
        if (paused_)
            return;
        readAvailable(*connection);
        if (connection->ended && !connection->closed && !paused_)
            end(*connection);
    }
}

void TcpIntake::acceptPending()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        const QString peer = peerText(*socket);
        const bool full = connections_.size() >= options_.maxConnections;
        if (full || perAddress_.value(peer) >= options_.maxConnectionsPerAddress) {
            if (full) {
                ++counts_.refused;
            } else {
                ++counts_.refusedPerAddress;
                lastTrouble_ = peer + QStringLiteral(": more than %1 connections at once from this address.")
                                          .arg(options_.maxConnectionsPerAddress);
            }
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++counts_.accepted;
        ++perAddress_[peer];
        socket->setReadBufferSize(options_.readChunkBytes);
        auto* connection = new Connection(socket, options_.maxMessageBytes, clock_.currentMSecsSinceEpoch(), this);
        connections_.append(connection);
        connect(socket, &QTcpSocket::readyRead, connection, [this, connection] { readAvailable(*connection); });
        connect(socket, &QTcpSocket::disconnected, connection, [this, connection] {
            // Whatever the socket still holds came before the end.
            readAvailable(*connection);
            end(*connection);
        });
        if (tls_) {
            startHandshake(*connection);
            continue;
        }
        // Data may have come with the connection already.
        if (socket->bytesAvailable() > 0)
            readAvailable(*connection);
    }
}

// The handshake is held to the message deadline; the decrypted stream then
// comes by readyRead as a plain one does.
void TcpIntake::startHandshake(Connection& connection)
{
    auto* socket = static_cast<QSslSocket*>(connection.socket);
    socket->setSslConfiguration(*tls_);
    connection.messageStartMs = clock_.currentMSecsSinceEpoch();
    Connection* open = &connection;
    connect(socket, &QSslSocket::encrypted, open, [open] {
        open->encrypted = true;
        open->messageStartMs = 0;
    });
    connect(socket, &QSslSocket::sslErrors, open, [open](const QList<QSslError>& errors) {
        if (!errors.isEmpty())
            open->handshakeError = errors.first().errorString();
    });
    connect(socket, &QSslSocket::errorOccurred, open, [this, open, socket](QAbstractSocket::SocketError error) {
        if (open->encrypted)
            return;
        if (open->handshakeError.isEmpty() || error != QAbstractSocket::SslHandshakeFailedError)
            open->handshakeError = socket->errorString();
        drop(*open);
    });
    socket->startServerEncryption();
}

// Hands on what waits, then everything the socket has read so far: at most
// readChunkBytes, as its buffer holds no more. The socket reads on only once
// it is empty. While paused, nothing is read.
void TcpIntake::readAvailable(Connection& connection)
{
    if (connection.closed || !handOnWaiting(connection))
        return;
    bool any = false;
    while (!connection.closed && (!paused_ || closing_)) {
        const qint64 size = connection.socket->read(buffer_.data(), buffer_.size());
        if (size <= 0)
            break;
        any = true;
        counts_.bytes += size;
        feed(connection, buffer_.constData(), size);
    }
    if (any && !connection.closed)
        connection.lastDataMs = clock_.currentMSecsSinceEpoch();
}

void TcpIntake::feed(Connection& connection, const char* data, qint64 size)
{
    connection.waiting = connection.framing.feed(data, size);
    connection.nextWaiting = 0;
    // A message begun in this chunk starts its deadline now; one that was
    // already under way keeps its start.
    if (connection.framing.bufferedBytes() == 0)
        connection.messageStartMs = 0;
    else if (connection.messageStartMs == 0 || !connection.waiting.isEmpty())
        connection.messageStartMs = clock_.currentMSecsSinceEpoch();
    handOnWaiting(connection);
}

// Hands on the messages split off and waiting, in order; false when the
// connection cannot go on now (paused before the last, or closed).
bool TcpIntake::handOnWaiting(Connection& connection)
{
    while (connection.nextWaiting < connection.waiting.size()) {
        if (paused_ && !closing_)
            return false;
        const QByteArray message = connection.waiting.at(connection.nextWaiting++);
        ++counts_.messages;
        if (deliver_ && !deliver_(message, connection.peer)) {
            fault(connection, QStringLiteral("A message is longer than %1 characters.").arg(kLongestMessage));
            return false;
        }
    }
    connection.waiting.clear();
    connection.nextWaiting = 0;
    if (connection.framing.hasError()) {
        fault(connection, connection.framing.errorText());
        return false;
    }
    return !connection.closed;
}

// Reads what the system had received for the connection when it was asked.
void TcpIntake::drain(Connection& connection)
{
    connection.socket->disconnect(&connection);
    readAvailable(connection);
    qint64 left = unreadSystemBytes(*connection.socket);
    while (left > 0 && !connection.closed && connection.socket->waitForReadyRead(0)) {
        left -= connection.socket->bytesAvailable();
        readAvailable(connection);
    }
    readAvailable(connection);
}

void TcpIntake::sweep()
{
    if (paused_)
        return;
    const qint64 nowMs = clock_.currentMSecsSinceEpoch();
    const QList<Connection*> open = connections_;
    for (Connection* connection : open) {
        if (connection->closed)
            continue;
        if (tls_ && !connection->encrypted && nowMs - connection->messageStartMs >= options_.messageDeadlineMs) {
            connection->handshakeError
                = QStringLiteral("not completed within %1 s").arg(options_.messageDeadlineMs / 1000);
            drop(*connection);
        } else if (connection->messageStartMs != 0 && nowMs - connection->messageStartMs >= options_.messageDeadlineMs) {
            // The unfinished message is what the deadline refuses.
            ++counts_.slow;
            lastTrouble_ = connection->peer
                         + QStringLiteral(": a message took longer than %1 s.").arg(options_.messageDeadlineMs / 1000);
            drop(*connection);
        } else if (nowMs - connection->lastDataMs >= options_.idleTimeoutMs) {
            ++counts_.idle;
            end(*connection);
        }
    }
}

void TcpIntake::fault(Connection& connection, const QString& reason)
{
    ++counts_.faulty;
    lastFault_ = connection.peer + QStringLiteral(": ") + reason;
    drop(connection);
}

// The peer closed, or this side closes: a last message without its
// terminator is whole; an octet-counted one still short of its count is not,
// and is counted.
void TcpIntake::finish(Connection& connection)
{
    if (!handOnWaiting(connection))
        return;
    const bool unfinished = connection.framing.bufferedBytes() > 0;
    connection.waiting = connection.framing.finish();
    connection.nextWaiting = 0;
    if (connection.framing.hasError()) {
        fault(connection, connection.framing.errorText());
        return;
    }
    if (unfinished && connection.waiting.isEmpty()) {
        ++counts_.incomplete;
        lastTrouble_ = connection.peer + QStringLiteral(": a message was still short of its octet count at the end.");
    }
    handOnWaiting(connection);
}

// The connection is over: once what it holds is handed on (at once unless
// paused, else when reading resumes), it is closed.
void TcpIntake::end(Connection& connection)
{
    connection.ended = true;
    if (connection.closed || (paused_ && !closing_))
        return;
    finish(connection);
    if (!connection.closed && connection.waiting.isEmpty())
        drop(connection);
}

void TcpIntake::drop(Connection& connection)
{
    if (connection.closed)
        return;
    connection.closed = true;
    if (tls_ && !connection.encrypted && !closing_) {
        ++counts_.handshakeFailed;
        lastTrouble_ = connection.peer + QStringLiteral(": the TLS handshake failed (%1).")
                                             .arg(connection.handshakeError.isEmpty()
                                                      ? QStringLiteral("the connection ended before it completed")
                                                      : connection.handshakeError);
    }
    connection.socket->disconnect(&connection);
    connection.socket->abort();
    connections_.removeOne(&connection);
    if (--perAddress_[connection.peer] <= 0)
        perAddress_.remove(connection.peer);
    connection.deleteLater();
}
