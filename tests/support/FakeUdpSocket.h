#pragma once

#include "platform/UdpSocket.h"

#include <QSet>

// A socket whose ports can be made "busy" and through which a test hands in
// datagrams as if they had arrived.
class FakeUdpSocket final : public UdpSocket {
public:
    bool setLocalPort(int port) override
    {
        if (port < 1 || port > 65535)
            return false;
        port_ = port;
        return true;
    }
    int localPort() const override { return port_; }
    Result<> bind() override
    {
        ++bindAttempts;
        if (busyPorts.contains(port_))
            return Failure{QStringLiteral("The bound address is already in use")};
        bound_ = true;
        return {};
    }
    void close() override { bound_ = false; }
    bool isBound() const override { return bound_; }

    // Hands a datagram to the receiver when the socket is bound, as the real one would.
    void arrive(const QByteArray& bytes, const QString& sender = QStringLiteral("192.168.1.20"))
    {
        if (bound_)
            deliver({bytes, sender});
    }

    // Hands a datagram over whatever the state, as one already on its way when
    // the socket was closed would be.
    void arriveLate(const QByteArray& bytes) { deliver({bytes, QStringLiteral("192.168.1.20")}); }

    QSet<int> busyPorts;
    int bindAttempts = 0;
    // What the socket reports as lost.
    Losses reportedLosses;

private:
    int port_ = 0;
    bool bound_ = false;
};

// Hands a test's FakeUdpSocket to an owner that wants to own its socket (the
// receiver), while the test keeps driving the fake itself.
class FakeSocketView final : public UdpSocket {
public:
    explicit FakeSocketView(FakeUdpSocket& fake) : fake_(fake)
    {
        fake_.setReceiver([this](const Datagram& datagram) { deliver(datagram); });
    }
    ~FakeSocketView() override { fake_.setReceiver({}); }
    bool setLocalPort(int port) override { return fake_.setLocalPort(port); }
    int localPort() const override { return fake_.localPort(); }
    Result<> bind() override { return fake_.bind(); }
    void close() override { fake_.close(); }
    bool isBound() const override { return fake_.isBound(); }
    Losses losses() const override { return fake_.reportedLosses; }

private:
    FakeUdpSocket& fake_;
};
