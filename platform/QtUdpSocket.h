#pragma once

#include "UdpSocket.h"

#include <QHostAddress>
#include <QThread>
#include <memory>

class QObject;
class QUdpSocket;
class DatagramInbox;

// The UDP socket on Qt. A worker thread owns the QUdpSocket and reads every
// datagram as soon as it arrives, so the kernel's buffer keeps draining while
// the user-interface thread is busy. The datagrams wait in an inbox and are
// handed to the receiver on the thread that created this object, in arrival
// order, a few hundred per turn of its event loop so that a flood never
// starves the user interface.
class QtUdpSocket final : public UdpSocket {
public:
    // The receive buffer asked of the kernel for the socket.
    static constexpr int RequestedReceiveBufferBytes = 8 * 1024 * 1024;
    // The largest datagram read; anything longer is cut to this size.
    static constexpr int MaxDatagramBytes = 65535;

    QtUdpSocket();
    ~QtUdpSocket() override;

    // False for a port outside 1..65535.
    bool setLocalPort(int port) override;
    int localPort() const override { return localPort_; }
    // Binds exclusively: a port held by any other socket fails, whatever
    // options that socket was bound with. Returns once the bind has happened
    // on the worker. A bound socket is closed first.
    bool bind(QString* error = nullptr) override;
    // Stops reception, then hands the receiver every datagram already read and
    // every datagram still waiting in the kernel's buffer, before it returns.
    void close() override;
    bool isBound() const override { return bound_; }

    // The receive buffer the kernel granted at the last successful bind, in
    // bytes as the kernel reports it (Linux counts its bookkeeping in and
    // reports twice the requested size); 0 before the first bind.
    int receiveBufferBytes() const { return receiveBufferBytes_; }
    // Datagrams already read from the network and not yet handed to the receiver.
    qsizetype pendingDeliveries() const;

private:
    void openOnWorker(QString* error);
    void closeOnWorker();
    void readPendingOnWorker(int limit);
    void enlargeReceiveBufferOnWorker();
    void scheduleDelivery();
    QString senderText(const QHostAddress& address);
    void deliverSlice();
    void deliverAll();
    bool deliverNext();

    int localPort_ = 0;
    bool bound_ = false;
    int receiveBufferBytes_ = 0;
    bool delivering_ = false;

    std::unique_ptr<DatagramInbox> inbox_;
    QThread thread_;
    // Lives in the worker thread; context of everything done there.
    QObject* worker_;
    // Lives in the creating thread; context of the deliveries.
    std::unique_ptr<QObject> uiContext_;
    // Owned by the worker thread while bound.
    QUdpSocket* socket_ = nullptr;
    // Worker-only: the last sender's address and its text, and how many
    // datagrams were dropped since the inbox last had room.
    QHostAddress lastSender_;
    QString lastSenderText_;
    qint64 droppedWhileFull_ = 0;
};
