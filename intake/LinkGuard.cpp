#include "intake/LinkGuard.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QVariant>
#include <QtEndian>
#include <QtRemoteObjects/qremoteobjectsource.h>
#include <QtRemoteObjects/qtremoteobjectglobal.h>

#include <cstring>
#include <limits>

namespace {

constexpr qsizetype kHeaderBytes = 6;

// What a window sends: the greeting, asking for an object and letting it go,
// calls, the list of objects and the heartbeat.
bool windowMaySend(quint16 type)
{
    using namespace QtRemoteObjects;
    return type == Handshake || type == AddObject || type == RemoveObject || type == InvokePacket
        || type == ObjectList || type == Ping;
}

} // namespace

LinkGuard::Limits LinkGuard::trusted()
{
    Limits limits;
    limits.maxPacketsPerSecond = std::numeric_limits<int>::max();
    limits.maxUnsentBytes = std::numeric_limits<qint64>::max();
    return limits;
}

LinkGuard::LinkGuard(QLocalSocket* socket, Limits limits, const SourceApiMap& api, QObject* parent)
    : QIODevice(parent), socket_(socket), limits_(limits), api_(api)
{
    socket_->setParent(this);
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    second_.start();
    connect(socket_, &QLocalSocket::readyRead, this, [this] { takeIn(); });
    connect(socket_, &QLocalSocket::bytesWritten, this, &QIODevice::bytesWritten);
    connect(socket_, &QLocalSocket::disconnected, this, [this] {
        if (dropped_)
            return;
        dropped_ = true;
        emit droppedFor(QString());
        emit disconnected();
    });
}

qint64 LinkGuard::bytesToWrite() const { return socket_->bytesToWrite(); }

void LinkGuard::takeIn()
{
    if (dropped_)
        return;
    pending_ += socket_->readAll();
    bool passed = false;
    while (pending_.size() >= kHeaderBytes) {
        const quint32 length = qFromLittleEndian<quint32>(pending_.constData());
        const quint16 type = qFromLittleEndian<quint16>(pending_.constData() + 4);
        if (length < 2 || length > limits_.maxPacketBytes || !windowMaySend(type)) {
            drop(QStringLiteral("it sent a malformed packet (type %1, %2 bytes)").arg(type).arg(length));
            return;
        }
        if (pending_.size() < qsizetype(4 + length))
            break;
        if (second_.elapsed() >= 1000) {
            second_.restart();
            packetsThisSecond_ = 0;
        }
        if (++packetsThisSecond_ > limits_.maxPacketsPerSecond) {
            drop(QStringLiteral("it sent more than %1 packets in a second").arg(limits_.maxPacketsPerSecond));
            return;
        }
        const QByteArray packet = pending_.left(4 + length);
        if (type == QtRemoteObjects::InvokePacket && !fitsTheApi(packet)) {
            drop(QStringLiteral("it made a call that does not fit the interface"));
            return;
        }
        ready_ += packet;
        pending_.remove(0, 4 + length);
        passed = true;
    }
    if (passed)
        emit readyRead();
}

// A call: object name, call kind, method index, argument count, one QVariant
// per argument, serial number, property index.
bool LinkGuard::fitsTheApi(const QByteArray& packet) const
{
    QDataStream in(packet.mid(kHeaderBytes));
    in.setByteOrder(QDataStream::LittleEndian);
    in.setVersion(QDataStream::Qt_6_0);
    QString name;
    qint32 call = -1;
    qint32 index = -1;
    quint32 count = 0;
    in >> name >> call >> index >> count;
    if (in.status() != QDataStream::Ok || name != api_.name() || call != QMetaObject::InvokeMetaMethod || index < 0
        || index >= api_.methodCount() || count != quint32(api_.methodParameterCount(index)))
        return false;
    for (int p = 0; p < int(count); ++p) {
        QVariant argument;
        in >> argument;
        if (in.status() != QDataStream::Ok || argument.metaType().id() != api_.methodParameterType(index, p))
            return false;
    }
    qint32 serial = 0;
    qint32 property = 0;
    in >> serial >> property;
    return in.status() == QDataStream::Ok && in.atEnd();
}

qint64 LinkGuard::readData(char* data, qint64 maxSize)
{
    const qint64 n = std::min<qint64>(maxSize, ready_.size());
    std::memcpy(data, ready_.constData(), size_t(n));
    ready_.remove(0, n);
    return n;
}

qint64 LinkGuard::writeData(const char* data, qint64 size)
{
    if (dropped_)
        return size; // the connection is going: swallowed
    socket_->write(data, size);
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes)
        drop(QStringLiteral("it left more than %1 bytes unread").arg(limits_.maxUnsentBytes));
    return size;
}

void LinkGuard::drop(const QString& reason)
{
    if (dropped_)
        return;
    dropped_ = true;
    socket_->disconnect(this);
    socket_->abort();
    emit droppedFor(reason);
    // Queued: this may run inside the host's write to its connections, which
    // must not lose one under its feet.
    QMetaObject::invokeMethod(this, [this] { emit disconnected(); }, Qt::QueuedConnection);
}
