#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// One received datagram: its bytes and the sender's IPv4 address, dotted.
struct Datagram {
    QByteArray bytes;
    QString senderIp;
};

// The program's one UDP endpoint, bound on every local IPv4 address.
//
// Datagrams are handed to the receiver on the thread that created the socket
// (the user-interface thread), one call per datagram, in order of arrival,
// never while another call of the receiver runs.
class UdpSocket {
public:
    using Receiver = std::function<void(const Datagram&)>;

    virtual ~UdpSocket() = default;
    void setReceiver(Receiver receiver) { receiver_ = std::move(receiver); }

    // The port to bind. Keeps its value across close() and a failed bind().
    // False (and the port unchanged) when the value is not a valid port.
    virtual bool setLocalPort(int port) = 0;
    virtual int localPort() const = 0;
    // Binds to localPort() on every local IPv4 address. False, with the reason
    // in *error, when the port is taken or cannot be bound; the socket is then
    // unbound.
    virtual bool bind(QString* error = nullptr) = 0;
    // Releases the port. Datagrams that were received before the call are still
    // handed to the receiver before it returns; none after it until the next
    // successful bind(). Closing an unbound socket does nothing.
    virtual void close() = 0;
    virtual bool isBound() const = 0;

protected:
    void deliver(const Datagram& datagram) { if (receiver_) receiver_(datagram); }

private:
    Receiver receiver_;
};
