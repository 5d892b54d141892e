#pragma once

#include "net/ForwardDestination.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>
#include <vector>

class QTimer;

// Where one destination stands.
struct ForwardStatus {
    QString destination;  // ForwardDestination::text()
    // Messages handed to the network: for UDP sent as a datagram, for TCP
    // written to the connection (see Forwarder for what is taken back).
    quint64 sent = 0;
    // Messages that will never reach the destination: no room in the queue,
    // datagrams the destination's system refused, unacknowledged TCP data of
    // a broken connection, or still waiting when the forwarder stopped.
    quint64 missed = 0;
    // Messages queued or being written and not yet sent.
    qint64 waiting = 0;
    // TCP: a connection is up. UDP: the host's address is known and a probe
    // datagram was not refused (see Forwarder).
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
    // Messages handed over and not yet given to the destinations are bounded
    // by it as well, and by 16,384.
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
    // Datagrams go out many per system call where the system offers one for
    // it (sendmmsg on Linux); false sends one per call everywhere.
    bool batchedDatagrams = true;
    // TLS destinations: the authorities the collector's certificate is
    // verified against, the protocols, and the certificate offered, if any
    // (net/TlsCredentials.h, tlsClientConfiguration()).
    QSslConfiguration tlsConfiguration;
    // The forwarder's thread runs at the system's lowest priority, so that
    // it uses only the time intake leaves over: a destination that cannot
    // keep up then misses messages instead of slowing intake.
    bool lowPriority = true;
};

// Forwards every message to each destination, from a thread of its own.
//
// forward() is called on the thread the forwarder belongs to. It only copies
// the message into a batch of that thread; the batch is handed to the
// forwarder's thread, without a lock and with at most one wake-up, when it is
// full or when control returns to that thread's event loop. Nothing that
// thread does waits for the forwarder's thread. The forwarder's
// thread then gives each message to every destination's queue, in order,
// completing it as a relay does (SyslogRelay.h) for the destinations that
// are not raw. Whatever finds no room (a batch while too many wait to be
// given out, a message for a full destination queue) is counted missed for
// that destination; order is kept among the messages sent.
//
// UDP sends one datagram per message over a connected socket, many per
// system call on Linux. A datagram the destination's system refuses (ICMP
// port or host unreachable, which Linux queues on the socket one by one)
// moves from sent to missed and marks the destination down: messages wait in
// the queue, and after the retry delay one goes alone as a probe; the others
// follow when it is not refused within a quarter of a second. The first
// datagram after the start is such a probe as well. Where the system has no
// such queue, a failed send counts its message missed and marks the
// destination down the same way. What the collector's system never reports
// (it limits its ICMP answers, or the host is gone) cannot be counted.
// Host names are looked up on the forwarder's thread without holding
// anything up (a UDP host once, again after a failed lookup; a TCP host at
// each connection attempt).
//
// TCP sends each message in the destination's framing over one connection,
// opened at start and, when it breaks or cannot be opened, again after the
// retry delay; messages wait in the queue meanwhile. When a connection
// breaks, the messages not yet handed to the operating system go back to the
// head of the queue and are sent again on the next connection. Messages
// already handed to it count as sent, except (on Linux) those whose bytes the
// receiver had not acknowledged yet: they are moved from sent to missed.
// Messages the receiver acknowledged but never read cannot be told apart and
// stay counted as sent.
//
// TLS is TCP with octet counting over an encrypted connection, which is ready
// only once the collector's certificate verified (ForwarderOptions) and names
// the destination's host. A certificate that does not verify ends the attempt
// before anything is sent: the messages waiting are counted missed, the reason
// is kept as the destination's error, and the next attempt follows the retry
// delay. Nothing ever goes out unencrypted.
class Forwarder final : public QObject {
    Q_OBJECT
public:
    explicit Forwarder(const QList<ForwardDestination>& destinations, QObject* parent = nullptr);
    Forwarder(const QList<ForwardDestination>& destinations, const ForwarderOptions& options,
              QObject* parent = nullptr);
    // Stops as stop(0) does.
    ~Forwarder() override;

    // Queues a message for every destination; never blocks on the network.
    // senderHost and arrival complete a message that lacks them (see
    // SyslogRelay.h): the address it came from and when it arrived.
    void forward(const QByteArray& message, const QString& senderHost, const QDateTime& arrival);

    // A consistent snapshot per destination, in the order given. Any thread.
    QList<ForwardStatus> status() const;

    // Hands over what forward() has gathered, sends what it can within
    // graceMs (UDP: everything queued; TCP: whatever an open connection takes
    // in time), counts what is left as missed and ends the thread. Later
    // forward() calls count as missed. Called on the forwarder's own thread.
    void stop(int graceMs);

signals:
    // A destination connected or lost its connection, got a new error, or
    // missed messages, or the forwarder stopped. Emitted on the thread this
    // object belongs to (through its event loop), at most once per
    // ForwarderOptions::statusIntervalMs; read status() for the details.
    void statusChanged();

private:
    struct Batch;
    class BatchStack;
    struct Mailbox;
    struct Lane;
    class Link;
    class UdpLink;
    class TcpLink;
    class TlsLink;

    void handOver();
    void startOnWorker();
    void takeHandedOver();
    void stopOnWorker(qint64 graceMs);
    void missEverywhere(quint64 count);
    void noteStatusChange();
    void emitStatus();

    ForwarderOptions options_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    QThread thread_;
    // Lives on the forwarder's thread: context of its work, parent of the links.
    std::unique_ptr<QObject> worker_;
    bool stopped_ = false;

    // Gathered by forward() on this object's thread, handed over, not yet
    // given to the destinations.
    std::unique_ptr<Mailbox> mailbox_;
    bool handOverPosted_ = false;
    // Every message forward() was given; written on this object's thread only.
    std::atomic<quint64> offered_{0};

    // Status change notices: posted from any thread, emitted on this object's.
    std::atomic<bool> statusPosted_{false};
    QTimer* statusTimer_ = nullptr;
    QElapsedTimer lastStatus_;
};
