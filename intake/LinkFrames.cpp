#include "LinkFrames.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtEndian>

namespace linkframes {

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
    return {{QStringLiteral("filtered"), counters.FilteredCount},
            {QStringLiteral("received"), counters.ReceivedThisSecond},
            {QStringLiteral("filter"), counters.FilterEnabled},
            {QStringLiteral("kernelDropped"), double(counters.losses.kernelDropped)},
            {QStringLiteral("queueDropped"), double(counters.losses.queueDropped)},
            {QStringLiteral("recordsLost"), double(counters.losses.recordsLost)}};
}

IntakeSecond secondFromJson(const QJsonObject& object)
{
    IntakeSecond counters;
    counters.FilteredCount = object.value(QStringLiteral("filtered")).toInt();
    counters.ReceivedThisSecond = object.value(QStringLiteral("received")).toInt();
    counters.FilterEnabled = qint16(object.value(QStringLiteral("filter")).toInt(1));
    counters.losses.kernelDropped = qint64(object.value(QStringLiteral("kernelDropped")).toDouble());
    counters.losses.queueDropped = qint64(object.value(QStringLiteral("queueDropped")).toDouble());
    counters.losses.recordsLost = qint64(object.value(QStringLiteral("recordsLost")).toDouble());
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
