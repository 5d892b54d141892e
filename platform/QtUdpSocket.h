#pragma once

#include "platform/UdpSocket.h"

#include <QThread>
#include <atomic>
#include <memory>

class QObject;
class QSocketNotifier;
class QUdpSocket;
class DatagramInbox;

// The UDP socket on Qt. A worker thread owns the socket and reads every
// datagram as soon as it arrives, so the kernel's buffer keeps draining while
// the thread that handles them is busy. The datagrams wait in an inbox and are
// handed to the receiver on the thread that created this object, in arrival
// order, a few hundred per turn of its event loop so that a flood never
// starves that thread.
//
// What waits in the inbox is bounded by its bytes: beyond the bound new
// datagrams are dropped and counted, as the kernel drops them when its buffer
// is full, so no flood and no datagram size can exhaust memory.
class QtUdpSocket final : public UdpSocket {
public:
    // The receive buffer asked of the kernel for the socket.
    static constexpr int kRequestedReceiveBufferBytes = 8 * 1024 * 1024;
    // The largest datagram read; anything longer is cut to this size.
    static constexpr int kMaxDatagramBytes = 65535;
    // At most this many bytes (datagrams and their bookkeeping) wait to be handled.
    static constexpr qsizetype kInboxCapacityBytes = 32 * 1024 * 1024;

    QtUdpSocket();
    ~QtUdpSocket() override;

    // False for a port outside 1..65535.
    bool setLocalPort(int port) override;
    int localPort() const override { return localPort_; }
    // Binds exclusively: a port held by any other socket fails, whatever
    // options that socket was bound with. Returns once the bind has happened
    // on the worker. A bound socket is closed first.
    Result<> bind() override;
    // Stops reception, then hands the receiver every datagram already read and
    // every datagram still waiting in the kernel's buffer, before it returns.
    void close() override;
    bool isBound() const override { return bound_; }

    Losses losses() const override;
    qint64 datagramsRead() const override { return read_.load(std::memory_order_relaxed); }

    // The usable receive buffer the kernel granted at the last successful
    // bind, in bytes (Linux reports twice that, counting its bookkeeping
    // in); 0 before the first bind.
    int receiveBufferBytes() const override;
    // Datagrams already read from the network and not yet handed to the receiver.
    qsizetype pendingDeliveries() const;

private:
    class Reader;

    Result<> openOnWorker();
    void closeOnWorker();
    void readPendingOnWorker(int limit);
    void readWhenWoken();
    void scheduleDelivery();
    void deliverSlice();
    void deliverAll();
    bool deliverBatch(int limit);
    void giveMemoryBackAfterBacklog();

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
    std::unique_ptr<Reader> reader_;
    QSocketNotifier* notifier_ = nullptr;
    // Worker-only: datagrams the last read took.
    int lastRead_ = 0;

    std::atomic<qint64> read_{0};
    std::atomic<qint64> kernelDropped_{0};
    std::atomic<qint64> queueDropped_{0};
    // Kernel drops already counted for the sockets closed before the current one.
    qint64 kernelDroppedBefore_ = 0;
};
