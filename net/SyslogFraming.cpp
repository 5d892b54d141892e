#include "net/SyslogFraming.h"

#include <algorithm>
#include <cstring>

namespace {

// An octet count of more digits than this is refused.
constexpr qsizetype kMaxCountDigits = 9;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The first LF or NUL in [begin, begin + size), or nullptr.
const char* findTerminator(const char* begin, qsizetype size)
{
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', size_t(size)));
    const qsizetype nulRange = lf ? lf - begin : size;
    const auto* nul = static_cast<const char*>(std::memchr(begin, '\0', size_t(nulRange)));
    return nul ? nul : lf;
}

} // namespace

SyslogFraming::SyslogFraming(qsizetype maxMessageBytes) : maxMessageBytes_(std::max<qsizetype>(maxMessageBytes, 1)) {}

QList<QByteArray> SyslogFraming::feed(const char* data, qsizetype size)
{
    QList<QByteArray> messages;
    if (hasError() || size <= 0)
        return messages;
    if (pending_.isEmpty()) {
        // Split the chunk in place; only an incomplete tail is copied.
        const qsizetype used = split(data, size, messages);
        if (!hasError())
            pending_.append(data + used, size - used);
    } else {
        pending_.append(data, size);
        const qsizetype used = split(pending_.constData(), pending_.size(), messages);
        if (!hasError())
            pending_.remove(0, used);
    }
    return messages;
}

QList<QByteArray> SyslogFraming::finish()
{
    QList<QByteArray> messages;
    if (!hasError() && head_.kind != Kind::OctetCounted && !pending_.isEmpty()) {
        if (pending_.size() > maxMessageBytes_)
            fail(Error::Oversized, QStringLiteral("A message is longer than the limit of %1 bytes.").arg(maxMessageBytes_));
        else
            messages.append(pending_);
    }
    pending_.clear();
    head_ = Head{};
    return messages;
}

// Appends the whole messages of data to out and returns how many bytes they
// took; the rest is the start of a message still incomplete, described by
// head_. data begins with the message head_ describes.
qsizetype SyslogFraming::split(const char* data, qsizetype size, QList<QByteArray>& out)
{
    const qsizetype max = maxMessageBytes_;
    Head head = head_;
    qsizetype pos = 0;
    while (pos < size) {
        const char* p = data + pos;
        const qsizetype avail = size - pos;

        if (head.kind == Kind::Undecided) {
            if (p[0] >= '1' && p[0] <= '9') {
                qsizetype i = std::max<qsizetype>(head.scanned, 1);
                while (i < avail && isDigit(p[i]))
                    ++i;
                if (i == avail) {
                    // Only digits so far. Longer than the limit, they are too
                    // much as a message and as an octet count alike.
                    if (avail > max) {
                        fail(Error::Oversized, QStringLiteral("A message is longer than the limit of %1 bytes.").arg(max));
                        return pos;
                    }
                    head.scanned = avail;
                    break;
                }
                if (p[i] == ' ') {
                    if (i > kMaxCountDigits) {
                        fail(Error::OctetCountTooLong,
                             QStringLiteral("An octet count has %1 digits; at most %2 are accepted.")
                                 .arg(i)
                                 .arg(kMaxCountDigits));
                        return pos;
                    }
                    qsizetype length = 0;
                    for (qsizetype d = 0; d < i; ++d)
                        length = length * 10 + (p[d] - '0');
                    if (length > max) {
                        fail(Error::OctetCountAboveLimit,
                             QStringLiteral("An octet count of %1 bytes is above the limit of %2 bytes.").arg(length).arg(max));
                        return pos;
                    }
                    head = Head{Kind::OctetCounted, 0, length, i + 1};
                } else {
                    // Digits followed by something else: an ordinary message;
                    // the digits hold no terminator.
                    head = Head{Kind::NonTransparent, i, 0, 0};
                }
            } else {
                head = Head{Kind::NonTransparent, 0, 0, 0};
            }
        }

        if (head.kind == Kind::OctetCounted) {
            if (avail - head.headerBytes < head.length)
                break;
            out.append(QByteArray(p + head.headerBytes, head.length));
            pos += head.headerBytes + head.length;
        } else {
            const char* end = findTerminator(p + head.scanned, avail - head.scanned);
            if (!end) {
                // Still open. One byte over the limit may be the CR of a CR LF.
                if (avail > max + 1 || (avail == max + 1 && p[avail - 1] != '\r')) {
                    fail(Error::Oversized, QStringLiteral("A message is longer than the limit of %1 bytes.").arg(max));
                    return pos;
                }
                head.scanned = avail;
                break;
            }
            qsizetype length = end - p;
            const qsizetype next = pos + length + 1;
            if (*end == '\n' && length > 0 && p[length - 1] == '\r')
                --length;
            if (length > max) {
                fail(Error::Oversized, QStringLiteral("A message is longer than the limit of %1 bytes.").arg(max));
                return pos;
            }
            if (length > 0)
                out.append(QByteArray(p, length));
            pos = next;
        }
        head = Head{};
    }
    head_ = head;
    return pos;
}

void SyslogFraming::fail(Error error, const QString& text)
{
    error_ = error;
    errorText_ = text;
    pending_.clear();
    head_ = Head{};
}
