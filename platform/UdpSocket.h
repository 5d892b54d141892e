#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QString>
#include <functional>

// One received datagram: its bytes and the sender's address: dotted IPv4
// (IPv4-mapped IPv6 addresses too), else IPv6 in its short form (RFC 5952),
// without a scope.
struct Datagram {
    QByteArray bytes;
    QString senderIp;
};

// A port the program listens on: what the port prompt and the startup bind
// need of it.
class ListeningPort {
public:
    virtual ~ListeningPort() = default;
    // The port to bind. Keeps its value across close() and a failed bind().
    // False (and the port unchanged) when the value is not a valid port.
    virtual bool setLocalPort(int port) = 0;
    virtual int localPort() const = 0;
    // Binds to localPort() on every local address, IPv4 and IPv6. Fails, with the
    // reason, when the port is taken or cannot be bound; the port is then
    // unbound.
    virtual Result<> bind() = 0;
    // Releases the port. Closing an unbound port does nothing.
    virtual void close() = 0;
    virtual bool isBound() const = 0;
};

// The program's one UDP endpoint, bound on every local IPv4 and IPv6 address.
//
// Datagrams are handed to the receiver on the thread that created the socket
// (the user-interface thread), one call per datagram, in order of arrival,
// never while another call of the receiver runs.
//
// close() releases the port; datagrams that were received before the call are
// still handed to the receiver before it returns, none after it until the next
// successful bind().
class UdpSocket : public ListeningPort {
public:
    using Receiver = std::function<void(const Datagram&)>;

    void setReceiver(Receiver receiver) { receiver_ = std::move(receiver); }

    // Datagrams this socket could not keep since it was created: dropped by
    // the kernel because its receive buffer was full, and dropped here because
    // too many bytes were waiting to be handled.
    struct Losses {
        qint64 kernelDropped = 0;
        qint64 queueDropped = 0;
    };
    virtual Losses losses() const { return {}; }
    // Datagrams read from the network since the socket was created.
    virtual qint64 datagramsRead() const { return 0; }
    // The usable receive buffer the system granted at the last bind, in bytes.
    virtual int receiveBufferBytes() const { return 0; }

protected:
    void deliver(const Datagram& datagram) { if (receiver_) receiver_(datagram); }

private:
    Receiver receiver_;
};
