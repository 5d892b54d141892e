#include "intake/LinkFrames.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A file this user made takes its directory's group and, when the directory
// is group-writable, group read and write access.
void shareWithDirectoryGroup(const QString& path)
{
#ifdef Q_OS_UNIX
    const QByteArray file = QFile::encodeName(path);
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat fileInfo {};
    struct stat dirInfo {};
    if (::lstat(file.constData(), &fileInfo) != 0 || !S_ISREG(fileInfo.st_mode) || fileInfo.st_uid != ::geteuid()
        || ::stat(dir.constData(), &dirInfo) != 0)
        return;
    if (fileInfo.st_gid != dirInfo.st_gid && ::chown(file.constData(), uid_t(-1), dirInfo.st_gid) != 0)
        return;
    if ((dirInfo.st_mode & S_IWGRP) != 0)
        ::chmod(file.constData(), (fileInfo.st_mode | S_IRGRP | S_IWGRP) & 07777);
#else
    Q_UNUSED(path);
#endif
}

} // namespace

namespace linkframes {

void shareDatabaseWithGroup(const QString& dataDir)
{
    const QString database = QDir(dataDir).filePath(QStringLiteral("syslog.mdb"));
    for (const char* suffix : {"", "-wal", "-shm"})
        shareWithDirectoryGroup(database + QLatin1String(suffix));
}

QString socketPath(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("kiv-syslog.sock"));
}

QByteArray frame(const QJsonObject& message)
{
    const QByteArray body = QJsonDocument(message).toJson(QJsonDocument::Compact);
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), out.data());
    return out + body;
}

std::optional<QJsonObject> FrameReader::next()
{
    if (malformed_ || buffer_.size() < 4)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(buffer_.constData());
    if (length == 0 || length > quint32(maxBytes_)) {
        malformed_ = true;
        return std::nullopt;
    }
    if (buffer_.size() < qsizetype(4 + length))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(buffer_.mid(4, length), &error);
    buffer_.remove(0, 4 + length);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        malformed_ = true;
        return std::nullopt;
    }
    return document.object();
}

QJsonObject toJson(const IntakeSecond& counters)
{
    return {{QStringLiteral("filtered"), counters.filteredCount},
            {QStringLiteral("received"), counters.receivedThisSecond},
            {QStringLiteral("filter"), counters.filterEnabled},
            {QStringLiteral("kernelDropped"), double(counters.losses.kernelDropped)},
            {QStringLiteral("queueDropped"), double(counters.losses.queueDropped)},
            {QStringLiteral("recordsLost"), double(counters.losses.recordsLost)},
            {QStringLiteral("tcpUnavailable"), counters.tcpUnavailable},
            {QStringLiteral("forwardMisses"), QJsonArray::fromStringList(counters.forwardMisses)},
            {QStringLiteral("tcpNotes"), QJsonArray::fromStringList(counters.tcpNotes)}};
}

IntakeSecond secondFromJson(const QJsonObject& object)
{
    IntakeSecond counters;
    counters.filteredCount = object.value(QStringLiteral("filtered")).toInt();
    counters.receivedThisSecond = object.value(QStringLiteral("received")).toInt();
    counters.filterEnabled = qint16(object.value(QStringLiteral("filter")).toInt(1));
    counters.losses.kernelDropped = qint64(object.value(QStringLiteral("kernelDropped")).toDouble());
    counters.losses.queueDropped = qint64(object.value(QStringLiteral("queueDropped")).toDouble());
    counters.losses.recordsLost = qint64(object.value(QStringLiteral("recordsLost")).toDouble());
    counters.tcpUnavailable = object.value(QStringLiteral("tcpUnavailable")).toString();
    for (const QJsonValue& miss : object.value(QStringLiteral("forwardMisses")).toArray())
        counters.forwardMisses << miss.toString();
    for (const QJsonValue& note : object.value(QStringLiteral("tcpNotes")).toArray())
        counters.tcpNotes << note.toString();
    return counters;
}

QJsonObject toJson(const FilteredBufferUpdate& update)
{
    QJsonArray entries;
    for (const FilteredBufferUpdate::Entry& entry : update.entries)
        entries.append(QJsonArray{entry.time.isValid() ? QJsonValue(double(entry.time.toMSecsSinceEpoch()))
                                                       : QJsonValue(),
                                  entry.ip, entry.text});
    return {{QStringLiteral("generation"), update.generation},
            {QStringLiteral("first"), update.firstIndex},
            {QStringLiteral("entries"), entries}};
}

FilteredBufferUpdate filteredFromJson(const QJsonObject& object)
{
    FilteredBufferUpdate update;
    update.generation = object.value(QStringLiteral("generation")).toInt();
    update.firstIndex = object.value(QStringLiteral("first")).toInt();
    for (const QJsonValue& value : object.value(QStringLiteral("entries")).toArray()) {
        const QJsonArray entry = value.toArray();
        const QJsonValue time = entry.at(0);
        update.entries.append({time.isDouble() ? QDateTime::fromMSecsSinceEpoch(qint64(time.toDouble())) : QDateTime(),
                               entry.at(1).toString(), entry.at(2).toString()});
    }
    return update;
}

} // namespace linkframes
