#include "FilteredMessages.h"

#include "SaturatingCounter.h"

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

} // namespace

void StoreFilteredMessage(FilteredMessageBuffer& buffer, const QDateTime& time, const QString& ip,
                          const QString& text)
{
    if (hasRoom(buffer)) {
        const auto slot = static_cast<std::size_t>(buffer.FilteredBufferCount);
        buffer.FilteredTime[slot] = time;
        buffer.FilteredIp[slot] = ip;
        buffer.FilteredMessage[slot] = text;
        ++buffer.FilteredBufferCount;
    } else {
        startNewGeneration(buffer);
    }
    buffer.FilteredBufferChanged = true;
}
