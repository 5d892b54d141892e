#include "intake/MessageText.h"

#include "net/SyslogParser.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace {

// A byte order mark at the start of a datagram stays in the text: the
// converters would otherwise drop it silently (and a datagram of only a BOM
// would become no text at all).
constexpr auto kConverterFlags = QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom;

// Text after a NUL can neither be seen in the lists nor found by a search, so
// every NUL becomes the visible symbol for NUL. The check is one fast scan
// that finds nothing in ordinary datagrams; only a text holding a NUL is
// rewritten (in place: the decoded text is not shared).
QString withVisibleNuls(QString text)
{
    constexpr QChar nul(u'\0');
    constexpr QChar nulSymbol(u'\u2400');
    if (text.contains(nul))
        text.replace(nul, nulSymbol);
    return text;
}

} // namespace

DatagramDecoder::DatagramDecoder()
    : utf8_(QStringConverter::Utf8, kConverterFlags)
    , fallback_("GB18030", kConverterFlags)
{
}

QString DatagramDecoder::decode(const QByteArray& bytes)
{
    utf8_.resetState();
    QString text = utf8_.decode(bytes);
    if (!utf8_.hasError())
        return withVisibleNuls(std::move(text));
    return withVisibleNuls(decodeFallback(bytes));
}

QString DatagramDecoder::decodeFallback(const QByteArray& bytes)
{
    if (!fallback_.isValid())
        return QString::fromLatin1(bytes);
    // The converter silently drops a multi-byte sequence cut off at the end of
    // its input, and with it the end of the datagram. A blank after the
    // datagram (a byte no sequence can take) turns such a sequence into an
    // invalid one, shown as U+FFFD like any other; the blank is then removed.
    fallback_.resetState();
    QString text = fallback_.decode(bytes + ' ');
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

QString decodeDatagram(const QByteArray& bytes)
{
    DatagramDecoder decoder;
    return decoder.decode(bytes);
}

namespace {

// Whether text holds word, case-sensitively: the places of word's first
// character are found by the library's vectorised search, and only there is
// the rest compared. Every message passes this filter, so it is kept cheap.
bool containsText(QStringView text, std::u16string_view word)
{
    const qsizetype lastStart = text.size() - qsizetype(word.size());
    for (qsizetype at = 0; at <= lastStart; ++at) {
        at = text.indexOf(QChar(word.front()), at);
        if (at < 0 || at > lastStart)
            return false;
        if (std::equal(word.begin() + 1, word.end(), text.utf16() + at + 1))
            return true;
    }
    return false;
}

} // namespace

bool isValidMessage(const QString& text)
{
    return containsText(text, u"info") || containsText(text, u"error") || containsText(text, u"warning");
}

QString trimmedMessage(const QString& text)
{
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    return blank < 0 ? text : text.mid(blank + 1);
}

namespace {

// A missing part is a null text, so it is stored as NULL. A part equal to
// the previous message's shares its text instead of allocating another: a
// flood from one sender repeats its host, program and the like.
QString sharedOrCopy(QStringView part, const QString& previous)
{
    return !previous.isNull() && previous == part ? previous : part.toString();
}

QString partOrNull(QStringView part, const QString& previous)
{
    return part.isEmpty() ? QString() : sharedOrCopy(part, previous);
}

// Two texts are the same text when they point at the same characters: the
// first one keeps those alive, so they cannot have been reused meanwhile.
void keepText(QString& previous, const QString& current)
{
    if (previous.constData() != current.constData() || previous.size() != current.size()
        || previous.isNull() != current.isNull())
        previous = current;
}

} // namespace

LogFields readFields(QStringView text, const QDateTime& arrival)
{
    FieldReader reader;
    return reader.read(text, SyslogArrival::of(arrival));
}

LogFields FieldReader::read(QStringView text, const SyslogArrival& arrival)
{
    if (repeatsHeader(text, arrival))
        return previous_;
    const SyslogHeader header = parseSyslogHeader(text);
    LogFields fields;
    fields.facility = header.facility();
    fields.severity = header.severity();
    fields.host = partOrNull(header.host, previous_.host);
    fields.app = partOrNull(header.app, previous_.app);
    fields.procid = partOrNull(header.procid, previous_.procid);
    fields.msgid = partOrNull(header.msgid, previous_.msgid);
    fields.sd = partOrNull(header.structuredData, previous_.sd);
    fields.timestamp = senderTime(header, arrival);
    // The stored message is what follows the first blank; the part before it
    // (after the priority, which holds no blank) is kept as head.
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    if (blank >= 0) {
        fields.head = sharedOrCopy(text.sliced(header.priLength, blank - header.priLength), previous_.head);
        fields.msgPos = int(header.msgOffset);
    } else {
        fields.msgPos = int(header.priLength + header.msgOffset);
    }
    keepAsPrevious(fields);
    rememberHeader(text, header);
    return fields;
}

// A flood from one sender repeats the whole header (priority, time, host and
// tag) within a second of arrival; such a message has the fields of the one
// before, without reading it again.
bool FieldReader::repeatsHeader(QStringView text, const SyslogArrival& arrival) const
{
    return !repeatableHeader_.isEmpty() && text.startsWith(repeatableHeader_)
        && (!repeatableHasTime_ || (arrival.valid && arrival.wallSeconds == stampArrival_));
}

// Only a header whose reading looked at nothing after it can be taken as
// read again by what starts with it: an RFC 3164 header or a bare TAG, ended
// by the TAG's ": ". Reading an RFC 5424 header looks at the message for a
// byte order mark, and a Cisco header may have been tried for a time after
// what ended it.
void FieldReader::rememberHeader(QStringView text, const SyslogHeader& header)
{
    const qsizetype end = header.priLength + header.msgOffset;
    const bool repeatable = (header.format == SyslogFormat::Rfc3164 || header.format == SyslogFormat::Headerless)
                         && !header.app.isNull() && header.msgOffset > 0 && text[end - 1] == u' ';
    if (!repeatable)
        repeatableHeader_.clear();
    else if (QStringView(repeatableHeader_) != text.first(end))
        repeatableHeader_ = text.first(end).toString();
    repeatableHasTime_ = header.time.isValid();
}

// The same text, read the same way, placed next to the same arrival second,
// gives the same time.
QString FieldReader::senderTime(const SyslogHeader& header, const SyslogArrival& arrival)
{
    if (!header.time.isValid())
        return {};
    const bool again = arrival.valid && header.format == stampFormat_ && arrival.wallSeconds == stampArrival_
                    && header.timestamp == stamp_;
    if (!again) {
        const QString iso = senderTimeIso(header.time, arrival);
        stampIso_ = iso.isEmpty() ? QString() : iso == previous_.timestamp ? previous_.timestamp : iso;
        stamp_ = arrival.valid ? header.timestamp.toString() : QString();
        stampFormat_ = header.format;
        stampArrival_ = arrival.wallSeconds;
    }
    return stampIso_;
}

// Leaves alone the texts the two share already: taking a share costs two
// atomic counts.
void FieldReader::keepAsPrevious(const LogFields& fields)
{
    previous_.facility = fields.facility;
    previous_.severity = fields.severity;
    previous_.msgPos = fields.msgPos;
    for (QString LogFields::*text : {&LogFields::host, &LogFields::app, &LogFields::procid, &LogFields::msgid,
                                     &LogFields::timestamp, &LogFields::sd, &LogFields::head})
        keepText(previous_.*text, fields.*text);
}
