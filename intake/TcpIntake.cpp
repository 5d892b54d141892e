#include "intake/TcpIntake.h"

#include "intake/MessageText.h"
#include "net/SyslogFraming.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

// The peer's address as a record keeps it: dotted IPv4.
QString peerText(const QTcpSocket& socket)
{
    const QHostAddress address = socket.peerAddress();
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4).toString() : address.toString();
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
    Connection(QTcpSocket* accepted, qsizetype maxMessageBytes, QObject* parent)
        : QObject(parent), socket(accepted), framing(maxMessageBytes), peer(peerText(*accepted)), idle(new QTimer(this))
    {
        socket->setParent(this);
        idle->setSingleShot(true);
    }

    QTcpSocket* socket;
    SyslogFraming framing;
    const QString peer;
    QTimer* idle;
    bool closed = false;
};

TcpIntake::TcpIntake(Deliver deliver, TcpIntakeOptions options, QObject* parent)
    : QObject(parent), deliver_(std::move(deliver)), options_(options), server_(new QTcpServer(this))
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
    if (server_->listen(QHostAddress::AnyIPv4, port))
        return {};
    return Failure{server_->errorString()};
}

bool TcpIntake::isListening() const { return server_->isListening(); }

int TcpIntake::connectionCount() const { return int(connections_.size()); }

void TcpIntake::close()
{
    server_->close();
    const QList<Connection*> open = connections_;
    for (Connection* connection : open) {
        drain(*connection);
        if (!connection->closed) {
            finish(*connection);
            drop(*connection);
        }
    }
}

void TcpIntake::acceptPending()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (connections_.size() >= options_.maxConnections) {
            ++counts_.refused;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++counts_.accepted;
        socket->setReadBufferSize(options_.readChunkBytes);
        auto* connection = new Connection(socket, options_.maxMessageBytes, this);
        connections_.append(connection);
        connect(socket, &QTcpSocket::readyRead, connection, [this, connection] { readAvailable(*connection); });
        connect(socket, &QTcpSocket::disconnected, connection, [this, connection] {
            // Whatever the socket still holds came before the end.
            readAvailable(*connection);
            if (connection->closed)
                return;
            finish(*connection);
            drop(*connection);
        });
        connect(connection->idle, &QTimer::timeout, connection, [this, connection] {
            ++counts_.idle;
            finish(*connection);
            drop(*connection);
        });
        connection->idle->start(options_.idleTimeoutMs);
        // Data may have come with the connection already.
        if (socket->bytesAvailable() > 0)
            readAvailable(*connection);
    }
}

// Handles everything the socket has read so far: at most readChunkBytes, as
// its buffer holds no more. The socket reads on only once it is empty.
void TcpIntake::readAvailable(Connection& connection)
{
    if (connection.closed)
        return;
    bool any = false;
    while (!connection.closed) {
        const qint64 size = connection.socket->read(buffer_.data(), buffer_.size());
        if (size <= 0)
            break;
        any = true;
        feed(connection, buffer_.constData(), size);
    }
    if (any && !connection.closed)
        connection.idle->start(options_.idleTimeoutMs);
}

void TcpIntake::feed(Connection& connection, const char* data, qint64 size)
{
    const QList<QByteArray> messages = connection.framing.feed(data, size);
    for (const QByteArray& message : messages) {
        ++counts_.messages;
        if (deliver_ && !deliver_(message, connection.peer)) {
            fault(connection, QStringLiteral("A message is longer than %1 characters.").arg(kLongestMessage));
            return;
        }
    }
    if (connection.framing.hasError())
        fault(connection, connection.framing.errorText());
}

// Reads what the system had received for the connection when it was asked.
void TcpIntake::drain(Connection& connection)
{
    connection.socket->disconnect(&connection);
    connection.idle->stop();
    readAvailable(connection);
    qint64 left = unreadSystemBytes(*connection.socket);
    while (left > 0 && !connection.closed && connection.socket->waitForReadyRead(0)) {
        left -= connection.socket->bytesAvailable();
        readAvailable(connection);
    }
    readAvailable(connection);
}

void TcpIntake::fault(Connection& connection, const QString& reason)
{
    ++counts_.faulty;
    lastFault_ = connection.peer + QStringLiteral(": ") + reason;
    drop(connection);
}

// The peer closed, or this side closes: a last message without its terminator is whole.
void TcpIntake::finish(Connection& connection)
{
    for (const QByteArray& message : connection.framing.finish()) {
        ++counts_.messages;
        if (deliver_)
            deliver_(message, connection.peer);
    }
}

void TcpIntake::drop(Connection& connection)
{
    if (connection.closed)
        return;
    connection.closed = true;
    connection.idle->stop();
    connection.socket->disconnect(&connection);
    connection.socket->abort();
    connections_.removeOne(&connection);
    connection.deleteLater();
}
