#pragma once

#include "platform/Result.h"

#include <QObject>
#include <QString>
#include <functional>

class QTcpServer;
class QTcpSocket;

struct TcpIntakeOptions {
    // Connections open at once; a further one is closed as soon as it is
    // accepted, and counted.
    int maxConnections = 256;
    // A connection that sends nothing for this long is closed.
    int idleTimeoutMs = 10 * 60 * 1000;
    // The most a connection's socket holds read and not yet handled, and so
    // the most handled per wake-up. Nothing more is read from a connection
    // while its messages are handled, so a sender faster than storing is held
    // back by TCP's own flow control instead of filling memory.
    qint64 readChunkBytes = 64 * 1024;
    // The longest message, in bytes, before decoding.
    qsizetype maxMessageBytes = 3 * 65534;
};

// What became of the connections since the intake was made.
struct TcpCounts {
    qint64 accepted = 0;
    // Closed at once: maxConnections were open.
    qint64 refused = 0;
    // Closed for a message too long or a wrong octet count.
    qint64 faulty = 0;
    // Closed after idleTimeoutMs without data.
    qint64 idle = 0;
    // Messages read and handed on.
    qint64 messages = 0;
};

// Syslog over TCP: listens on one port on every local IPv4 address and splits
// each connection's stream into messages with a SyslogFraming of its own
// (octet-counted or terminated by LF, CR LF or NUL, told apart per message).
// Every message is handed on, on the thread that made this object, in the
// order its connection sent it, together with the peer's dotted IPv4 address.
//
// Messages are handed on while the bytes holding them are read, so a slow
// receiver slows reading, and a slow reader slows the sender: what was read
// is never dropped. A message longer than maxMessageBytes, an octet count
// that is wrong, or a text the receiver refuses closes its connection after
// the whole messages before it were handed on.
class TcpIntake final : public QObject {
    Q_OBJECT
public:
    // Handles one message; false when its text is too long, which closes the
    // connection it came from.
    using Deliver = std::function<bool(const QByteArray& message, const QString& peerIp)>;

    explicit TcpIntake(Deliver deliver, TcpIntakeOptions options = {}, QObject* parent = nullptr);
    ~TcpIntake() override;

    // Closes what is open, then listens on the port. Fails, with the reason,
    // when the port cannot be bound.
    Result<> listen(quint16 port);
    // Stops listening, then hands on everything each connection had received
    // (also what waits in the system's buffer, and a last message without its
    // terminator) and closes the connections. Closing twice does nothing.
    void close();
    bool isListening() const;

    int connectionCount() const;
    const TcpCounts& counts() const { return counts_; }
    // Why a connection was last closed for a fault: "PEER: reason".
    QString lastFault() const { return lastFault_; }
    // Applies to connections accepted from now on.
    void setIdleTimeoutMs(int ms) { options_.idleTimeoutMs = ms; }

private:
    class Connection;

    void acceptPending();
    void readAvailable(Connection& connection);
    void feed(Connection& connection, const char* data, qint64 size);
    void drain(Connection& connection);
    void fault(Connection& connection, const QString& reason);
    void finish(Connection& connection);
    void drop(Connection& connection);

    Deliver deliver_;
    TcpIntakeOptions options_;
    QTcpServer* server_;
    QList<Connection*> connections_;
    QByteArray buffer_;
    TcpCounts counts_;
    QString lastFault_;
};
