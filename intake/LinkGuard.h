#pragma once

#include <QElapsedTimer>
#include <QIODevice>
#include <QString>

class QLocalSocket;
class SourceApiMap;

// Stands between a window's socket and the Qt Remote Objects host, which
// takes its peer's packets on trust: it waits for any length a packet
// announces, loses step on a packet type it does not know, and reads a call's
// arguments as if they were there and of the right types (a call without its
// argument crashes it). The guard passes on only whole packets of at most
// maxPacketBytes of a type a window may send, and only calls whose method and
// argument types fit the interface; it drops the window when it sends
// anything else, more than maxPacketsPerSecond packets in a second, or leaves
// more than maxUnsentBytes unread. (A packet is a little-endian quint32
// length, then a quint16 packet type and its QDataStream body.)
class LinkGuard final : public QIODevice {
    Q_OBJECT
public:
    struct Limits {
        quint32 maxPacketBytes = 64 * 1024;
        int maxPacketsPerSecond = 200;
        qint64 maxUnsentBytes = 4 * 1024 * 1024;
    };
    // A window of this process is trusted: no rate and no backlog limit.
    static Limits trusted();

    // Takes the socket over (it becomes this guard's child). api: the
    // interface a window may call; it outlives the guard.
    LinkGuard(QLocalSocket* socket, Limits limits, const SourceApiMap& api, QObject* parent = nullptr);

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return ready_.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override;
    // Hangs up on the window; droppedFor(reason) tells why.
    void drop(const QString& reason);

signals:
    // The host listens for this signal by its name, to forget the connection.
    void disconnected();
    // The window went (reason empty) or was dropped.
    void droppedFor(const QString& reason);

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    void takeIn();
    bool fitsTheApi(const QByteArray& packet) const;

    QLocalSocket* socket_;
    Limits limits_;
    const SourceApiMap& api_;
    QByteArray pending_;
    QByteArray ready_;
    QElapsedTimer second_;
    int packetsThisSecond_ = 0;
    bool dropped_ = false;
};
