#include "intake/FilteredMessages.h"

#include "intake/SaturatingCounter.h"

#include <algorithm>
#include <limits>

namespace {

bool hasRoom(const FilteredMessageBuffer& buffer)
{
    return buffer.count >= 0 && buffer.count < FilteredMessageBuffer::kCapacity;
}

void startNewGeneration(FilteredMessageBuffer& buffer)
{
    buffer.count = 0;
    incrementSaturating(buffer.generation);
}

QString keptText(const QString& text)
{
    if (text.size() <= kLongestFilteredText)
        return text;
    return text.left(kLongestFilteredText) + QChar(0x2026);
}

} // namespace

void storeFilteredMessage(FilteredMessageBuffer& buffer, const QDateTime& time, const QString& ip,
                          const QString& text)
{
    if (hasRoom(buffer)) {
        const auto slot = static_cast<std::size_t>(buffer.count);
        buffer.times[slot] = time;
        buffer.ips[slot] = ip;
        buffer.texts[slot] = keptText(text);
        ++buffer.count;
    } else {
        startNewGeneration(buffer);
    }
    buffer.changed = true;
}

std::optional<FilteredBufferUpdate> nextFilteredPiece(const FilteredMessageBuffer& buffer, qint32& sentGeneration,
                                                      qint32& sentCount, qsizetype maxChars)
{
    const qint32 count = std::clamp(buffer.count, 0, FilteredMessageBuffer::kCapacity);
    const bool restart = sentGeneration != buffer.generation || sentCount > count;
    if (!restart && sentCount >= count)
        return std::nullopt;
    FilteredBufferUpdate piece;
    piece.generation = buffer.generation;
    piece.firstIndex = restart ? 0 : sentCount;
    qsizetype chars = 0;
    qint32 index = piece.firstIndex;
    for (; index < count && (index == piece.firstIndex || chars < maxChars); ++index) {
        const auto slot = static_cast<std::size_t>(index);
        piece.entries.append({buffer.times[slot], buffer.ips[slot], buffer.texts[slot]});
        chars += buffer.texts[slot].size();
    }
    sentGeneration = buffer.generation;
    sentCount = index;
    return piece;
}

FilteredBufferUpdate takeFilteredUpdate(FilteredMessageBuffer& buffer, qint32& sentGeneration, qint32& sentCount)
{
    buffer.changed = false;
    return nextFilteredPiece(buffer, sentGeneration, sentCount, std::numeric_limits<qsizetype>::max())
        .value_or(FilteredBufferUpdate{buffer.generation, sentCount, {}});
}

void applyFilteredUpdate(FilteredMessageBuffer& copy, const FilteredBufferUpdate& update)
{
    if (copy.generation != update.generation) {
        copy.generation = update.generation;
        copy.count = 0;
    }
    qint32 index = std::clamp(update.firstIndex, 0, FilteredMessageBuffer::kCapacity);
    for (const FilteredBufferUpdate::Entry& entry : update.entries) {
        if (index >= FilteredMessageBuffer::kCapacity)
            break;
        const auto slot = static_cast<std::size_t>(index++);
        copy.times[slot] = entry.time;
        copy.ips[slot] = entry.ip;
        copy.texts[slot] = entry.text;
    }
    copy.count = index;
    copy.changed = true;
}

QDataStream& operator<<(QDataStream& out, const FilteredBufferUpdate::Entry& entry)
{
    return out << entry.time << entry.ip << entry.text;
}

QDataStream& operator>>(QDataStream& in, FilteredBufferUpdate::Entry& entry)
{
    return in >> entry.time >> entry.ip >> entry.text;
}

QDataStream& operator<<(QDataStream& out, const FilteredBufferUpdate& update)
{
    return out << update.generation << update.firstIndex << update.entries;
}

QDataStream& operator>>(QDataStream& in, FilteredBufferUpdate& update)
{
    return in >> update.generation >> update.firstIndex >> update.entries;
}
