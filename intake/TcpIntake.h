#pragma once

#include "platform/Result.h"

#include <QHash>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <functional>
#include <optional>

class Clock;
class QTcpSocket;

struct TcpIntakeOptions {
    // Connections open at once; a further one is closed as soon as it is
    // accepted, and counted.
    int maxConnections = 256;
    // Connections open at once from one sender address; a further one from
    // that address is closed as soon as it is accepted, and counted.
    int maxConnectionsPerAddress = 32;
    // A connection that sends nothing for this long is closed.
    int idleTimeoutMs = 10 * 60 * 1000;
    // A connection that takes longer than this to complete one message,
    // counted from the message's first byte, is closed.
    int messageDeadlineMs = 60 * 1000;
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
    // Closed at once: maxConnectionsPerAddress were open from the same address.
    qint64 refusedPerAddress = 0;
    // Closed for a message too long or a wrong octet count.
    qint64 faulty = 0;
    // Closed after idleTimeoutMs without data.
    qint64 idle = 0;
    // Closed because a message took longer than messageDeadlineMs.
    qint64 slow = 0;
    // Bytes read.
    qint64 bytes = 0;
    // Messages read and handed on.
    qint64 messages = 0;
    // Octet-counted messages whose bytes had not all come when their
    // connection ended (a count longer than its message takes what follows
    // into it): dropped.
    qint64 incomplete = 0;
    // Over TLS: connections that ended before their handshake completed
    // (no TLS, a client certificate missing or not signed by the authority).
    qint64 handshakeFailed = 0;

    // Connections closed or refused for the sender's fault, and messages dropped at a close.
    qint64 trouble() const { return refused + refusedPerAddress + faulty + slow + incomplete + handshakeFailed; }
};

// Syslog over TCP: listens on one port on every local address (IPv4 and IPv6) and splits
// each connection's stream into messages with a SyslogFraming of its own
// (octet-counted or terminated by LF, CR LF or NUL, told apart per message).
// Every message is handed on, on the thread that made this object, in the
// order its connection sent it, together with the peer's address (dotted
// IPv4, or IPv6 in its short form).
//
// Messages are handed on while the bytes holding them are read, so a slow
// receiver slows reading, and a slow reader slows the sender: what was read
// is never dropped. While paused (nothing can be stored), nothing is handed on
// and nothing more is read: messages already split wait in their connection,
// and the senders are held back by TCP's flow control until reading resumes.
// A message longer than maxMessageBytes, an octet count that is wrong, or a
// text the receiver refuses closes its connection after the whole messages
// before it were handed on.
//
// Over TLS (setTls()), each connection first completes its handshake (within
// the message deadline); then its decrypted stream takes exactly the same path.
//
// Idle connections and messages slower than their deadline are found by
// sweep(), which the owner calls once a second, by the clock given (the time
// spent paused is not held against a connection).
class TcpIntake final : public QObject {
    Q_OBJECT
public:
    // Handles one message; false when its text is too long, which closes the
    // connection it came from.
    using Deliver = std::function<bool(const QByteArray& message, const QString& peerIp)>;

    TcpIntake(Deliver deliver, const Clock& clock, TcpIntakeOptions options = {}, QObject* parent = nullptr);
    ~TcpIntake() override;

    // Closes what is open, then listens on the port. Fails, with the reason,
    // when the port cannot be bound.
    Result<> listen(quint16 port);
    // Stops listening, then hands on everything each connection had received
    // (also what waits in the system's buffer, and a last message without its
    // terminator, even while paused) and closes the connections. Closing twice
    // does nothing.
    void close();
    bool isListening() const;
    quint16 listeningPort() const;
    // Connections accepted from now on speak TLS with this configuration
    // (nullopt: plain TCP). Set before listen().
    void setTls(std::optional<QSslConfiguration> configuration);
    bool isTls() const { return tls_.has_value(); }

    // Stops handing on messages and reading (paused) or goes on (not paused;
    // reading resumes from the event loop, never inside this call).
    void setPaused(bool paused);
    bool isPaused() const { return paused_; }

    int connectionCount() const;
    const TcpCounts& counts() const { return counts_; }
    const TcpIntakeOptions& options() const { return options_; }
    // Why a connection was last closed for a fault: "PEER: reason".
    QString lastFault() const { return lastFault_; }
    // The last connection refused for its address's limit, closed for a slow
    // message or ending inside an octet-counted message: "PEER: what".
    QString lastTrouble() const { return lastTrouble_; }
    // Apply to connections accepted (idle, deadline) or refused (limit) from now on.
    void setIdleTimeoutMs(int ms) { options_.idleTimeoutMs = ms; }
    void setMaxConnectionsPerAddress(int count) { options_.maxConnectionsPerAddress = count; }

    // Closes idle connections and those whose message is past its deadline;
    // meant to be called once a second. Nothing while paused.
    void sweep();

private:
    class Connection;
    class Listener;

    void acceptPending();
    void readAvailable(Connection& connection);
    void feed(Connection& connection, const char* data, qint64 size);
    bool handOnWaiting(Connection& connection);
    void drain(Connection& connection);
    void fault(Connection& connection, const QString& reason);
    void finish(Connection& connection);
    void end(Connection& connection);
    void drop(Connection& connection);
    void startHandshake(Connection& connection);
    void resumeReading();

    Deliver deliver_;
    const Clock& clock_;
    TcpIntakeOptions options_;
    Listener* server_;
    std::optional<QSslConfiguration> tls_;
    QList<Connection*> connections_;
    QHash<QString, int> perAddress_;
    QByteArray buffer_;
    TcpCounts counts_;
    QString lastFault_;
    QString lastTrouble_;
    bool paused_ = false;
    qint64 pausedAtMs_ = 0;
    // Set while close() hands on what the connections hold, paused or not.
    bool closing_ = false;
};
