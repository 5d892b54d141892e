#include "intake/FilteredMessages.h"

#include "intake/SaturatingCounter.h"

#include <algorithm>

namespace {

bool hasRoom(const FilteredMessageBuffer& buffer)
{
    return buffer.FilteredBufferCount >= 0 && buffer.FilteredBufferCount < FilteredMessageBuffer::Capacity;
}

void startNewGeneration(FilteredMessageBuffer& buffer)
{
    buffer.FilteredBufferCount = 0;
    incrementSaturating(buffer.FilteredBufferGeneration);
}

QString keptText(const QString& text)
{
    if (text.size() <= kLongestFilteredText)
        return text;
    return text.left(kLongestFilteredText) + QChar(0x2026);
}

} // namespace

void StoreFilteredMessage(FilteredMessageBuffer& buffer, const QDateTime& time, const QString& ip,
                          const QString& text)
{
    if (hasRoom(buffer)) {
        const auto slot = static_cast<std::size_t>(buffer.FilteredBufferCount);
        buffer.FilteredTime[slot] = time;
        buffer.FilteredIp[slot] = ip;
        buffer.FilteredMessage[slot] = keptText(text);
        ++buffer.FilteredBufferCount;
    } else {
        startNewGeneration(buffer);
    }
    buffer.FilteredBufferChanged = true;
}

FilteredBufferUpdate takeFilteredUpdate(FilteredMessageBuffer& buffer, qint32& sentGeneration, qint32& sentCount)
{
    FilteredBufferUpdate update;
    update.generation = buffer.FilteredBufferGeneration;
    const qint32 count = std::clamp(buffer.FilteredBufferCount, 0, FilteredMessageBuffer::Capacity);
    const bool restart = sentGeneration != buffer.FilteredBufferGeneration || sentCount > count;
    update.firstIndex = restart ? 0 : sentCount;
    for (qint32 i = update.firstIndex; i < count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        update.entries.append({buffer.FilteredTime[slot], buffer.FilteredIp[slot], buffer.FilteredMessage[slot]});
    }
    sentGeneration = buffer.FilteredBufferGeneration;
    sentCount = count;
    buffer.FilteredBufferChanged = false;
    return update;
}

void applyFilteredUpdate(FilteredMessageBuffer& copy, const FilteredBufferUpdate& update)
{
    if (copy.FilteredBufferGeneration != update.generation) {
        copy.FilteredBufferGeneration = update.generation;
        copy.FilteredBufferCount = 0;
    }
    qint32 index = std::clamp(update.firstIndex, 0, FilteredMessageBuffer::Capacity);
    for (const FilteredBufferUpdate::Entry& entry : update.entries) {
        if (index >= FilteredMessageBuffer::Capacity)
            break;
        const auto slot = static_cast<std::size_t>(index++);
        copy.FilteredTime[slot] = entry.time;
        copy.FilteredIp[slot] = entry.ip;
        copy.FilteredMessage[slot] = entry.text;
    }
    copy.FilteredBufferCount = index;
    copy.FilteredBufferChanged = true;
}
