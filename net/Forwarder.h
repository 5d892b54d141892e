#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>
#include <vector>

class QTimer;

// A place messages are forwarded to: udp://HOST:PORT or tcp://HOST:PORT.
struct ForwardDestination {
    enum class Transport { Udp, Tcp };
    Transport transport = Transport::Udp;
    // A host name or an address; an IPv6 address without its brackets.
    QString host;
    quint16 port = 0;

    // The destination as it is written in the settings: "udp://HOST:PORT",
    // an IPv6 address in brackets.
    QString text() const;
    bool operator==(const ForwardDestination&) const = default;
};

struct ParsedForwardDestinations {
    QList<ForwardDestination> destinations;
    // One sentence per entry that was not taken, naming the entry.
    QStringList errors;
};

// Reads the forwarding setting: zero or more entries separated by blanks,
// each udp://HOST:PORT or tcp://HOST:PORT, HOST a name, an IPv4 address or an
// IPv6 address in brackets, PORT 1..65535; the transport is read in any case.
// An entry that does not parse, or repeats an earlier one, gives an error
// instead of a destination.
ParsedForwardDestinations parseForwardDestinations(const QString& settingText);

// Where one destination stands.
struct ForwardStatus {
    QString destination;  // ForwardDestination::text()
    // Messages handed to the network: for UDP sent as a datagram, for TCP
    // written to the connection (see Forwarder for what is taken back).
    quint64 sent = 0;
    // Messages that will never reach the destination: no room in the queue,
    // a datagram the network refused, unacknowledged TCP data of a broken
    // connection, or still waiting when the forwarder stopped.
    quint64 missed = 0;
    // Messages queued or being written and not yet sent.
    qint64 waiting = 0;
    // TCP: a connection is up. UDP: the host's address is known.
    bool connected = false;
    // The latest failure, kept after the destination recovers; empty if none.
    QString lastError;
};

// One line for a destination: "tcp://h:601: connected, 10 sent, 2 missed,
// 0 waiting; last error: ...".
QString describeForwardStatus(const ForwardStatus& status);

// The line to print while misses grow: empty if no destination missed more
// messages in `now` than in `before` (an earlier snapshot of the same
// forwarder), else one line naming each such destination with the growth,
// its total and its state.
QString forwardMissesLine(const QList<ForwardStatus>& now, const QList<ForwardStatus>& before);

struct ForwarderOptions {
    // Messages that may wait per destination; beyond it they are missed.
    qsizetype queueCapacity = 100000;
    // Delay before the first new attempt after a TCP connection failed or
    // broke, or a UDP host name did not resolve; it doubles per failure up to
    // retryMaxMs and starts again from retryInitialMs after a success.
    int retryInitialMs = 500;
    int retryMaxMs = 30000;
    // A TCP connection attempt (name lookup included) not completed within
    // this time is given up and retried.
    int connectTimeoutMs = 10000;
    // statusChanged() is emitted at most once per this interval.
    int statusIntervalMs = 250;
};

// Forwards every message, byte for byte, to each destination, from a thread
// of its own.
//
// forward() only appends to a queue per destination and returns; it may be
// called from any thread. UDP sends one datagram per message. TCP sends each
// message as "<length> <message>" over one connection, opened at start and,
// when it breaks or cannot be opened, again after the retry delay; messages
// wait in the queue meanwhile. Host names are looked up on the forwarder's
// thread without holding anything up (a UDP host once, again after a failed
// lookup; a TCP host at each connection attempt).
//
// When a TCP connection breaks, the messages not yet handed to the operating
// system go back to the head of the queue and are sent again on the next
// connection. Messages already handed to it count as sent, except (on Linux)
// those whose bytes the receiver had not acknowledged yet: they are moved
// from sent to missed. Messages the receiver acknowledged but never read
// cannot be told apart and stay counted as sent.
class Forwarder final : public QObject {
    Q_OBJECT
public:
    explicit Forwarder(const QList<ForwardDestination>& destinations, QObject* parent = nullptr);
    Forwarder(const QList<ForwardDestination>& destinations, const ForwarderOptions& options,
              QObject* parent = nullptr);
    // Stops as stop(0) does.
    ~Forwarder() override;

    // Queues the message for every destination; never blocks on the network.
    void forward(const QByteArray& message);

    // A consistent snapshot per destination, in the order given. Any thread.
    QList<ForwardStatus> status() const;

    // Sends what it can within graceMs (UDP: everything queued; TCP: whatever
    // an open connection takes in time), counts what is left as missed and
    // ends the thread. Later forward() calls count as missed. Not to be called
    // from the forwarder's own thread.
    void stop(int graceMs);

signals:
    // A destination connected or lost its connection, got a new error, or
    // missed messages, or the forwarder stopped. Emitted on the thread this
    // object belongs to (through its event loop), at most once per
    // ForwarderOptions::statusIntervalMs; read status() for the details.
    void statusChanged();

private:
    struct Lane;
    class Link;
    class UdpLink;
    class TcpLink;

    void startOnWorker();
    void stopOnWorker(qint64 graceDeadlineMs);
    void noteStatusChange();
    void emitStatus();

    ForwarderOptions options_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    QThread thread_;
    // Lives on the forwarder's thread: context of its work, parent of the links.
    std::unique_ptr<QObject> worker_;
    bool stopped_ = false;

    // Status change notices: posted from any thread, emitted on this object's.
    std::atomic<bool> statusPosted_{false};
    QTimer* statusTimer_ = nullptr;
    QElapsedTimer lastStatus_;
};
