#include "net/SyslogParser.h"

#include <QDate>

#include <cstdlib>
#include <limits>

// The parser walks the UTF-16 text with raw pointers: every read checks the
// end first, and a part is only stored once all of it has been read, so a
// rejected part leaves nothing behind and its text ends up in msg.

namespace {

using Pos = const char16_t*;

constexpr int kMaxPri = 191;
constexpr qsizetype kMaxPriDigits = 3;
constexpr qsizetype kMaxHost = 255;
constexpr qsizetype kMaxAppName = 48;
constexpr qsizetype kMaxProcId = 128;
constexpr qsizetype kMaxMsgId = 32;
constexpr qsizetype kMaxSdName = 32;
constexpr qsizetype kMaxFractionDigits = 9;
constexpr qsizetype kMaxSequenceDigits = 10;
constexpr int kMaxSequences = 2;
constexpr char16_t kBom = 0xFEFF;
constexpr char16_t kNulSymbol = 0x2400;

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool isUpper(char16_t c) { return c >= u'A' && c <= u'Z'; }
// RFC 5424's PRINTUSASCII: '!' to '~'.
bool isPrintAscii(char16_t c) { return c > u' ' && c < 0x7f; }

QStringView span(Pos begin, Pos end) { return QStringView(begin, end - begin); }

bool skip(Pos& p, Pos end, char16_t c)
{
    if (p == end || *p != c)
        return false;
    ++p;
    return true;
}

// Exactly count digits at p.
bool readDigits(Pos& p, Pos end, int count, int& value)
{
    if (end - p < count)
        return false;
    int v = 0;
    for (int i = 0; i < count; ++i) {
        if (!isDigit(p[i]))
            return false;
        v = v * 10 + (p[i] - u'0');
    }
    value = v;
    p += count;
    return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool isValidDay(int year, int month, int day)
{
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1])
        return false;
    return !(month == 2 && day == 29 && year != SyslogTime::kUnknownYear && !isLeapYear(year));
}

bool isValidTime(const SyslogTime& t) { return t.hour <= 23 && t.minute <= 59 && t.second <= 60; }

// hh:mm:ss and an optional fraction of 1 to 9 digits.
bool readClock(Pos& p, Pos end, SyslogTime& t)
{
    if (!readDigits(p, end, 2, t.hour) || !skip(p, end, u':') || !readDigits(p, end, 2, t.minute)
        || !skip(p, end, u':') || !readDigits(p, end, 2, t.second) || !isValidTime(t))
        return false;
    if (end - p >= 2 && p[0] == u'.' && isDigit(p[1])) {
        Pos digits = p + 1;
        Pos q = digits;
        while (q < end && isDigit(*q) && q - digits < kMaxFractionDigits)
            ++q;
        t.fraction = span(digits, q);
        p = q;
    }
    return true;
}

// An RFC 3339 date-time: YYYY-MM-DDThh:mm:ss[.frac][Z|+hh:mm|+hhmm].
Pos readIsoTime(Pos p, Pos end, SyslogTime& out)
{
    SyslogTime t;
    if (!readDigits(p, end, 4, t.year) || !skip(p, end, u'-') || !readDigits(p, end, 2, t.month)
        || !skip(p, end, u'-') || !readDigits(p, end, 2, t.day) || !isValidDay(t.year, t.month, t.day))
        return nullptr;
    if (!skip(p, end, u'T') && !skip(p, end, u't'))
        return nullptr;
    if (!readClock(p, end, t))
        return nullptr;
    if (p < end && (*p == u'Z' || *p == u'z')) {
        t.zone = span(p, p + 1);
        t.hasOffset = true;
        ++p;
    } else if (p < end && (*p == u'+' || *p == u'-')) {
        Pos zone = p++;
        int hours = 0;
        int minutes = 0;
        if (!readDigits(p, end, 2, hours))
            return nullptr;
        skip(p, end, u':');
        if (!readDigits(p, end, 2, minutes) || hours > 23 || minutes > 59)
            return nullptr;
        t.zone = span(zone, p);
        t.hasOffset = true;
        t.offsetMinutes = (*zone == u'-' ? -1 : 1) * (hours * 60 + minutes);
    }
    out = t;
    return p;
}

int monthFromName(Pos p)
{
    static constexpr char16_t kNames[12][4] = {u"jan", u"feb", u"mar", u"apr", u"may", u"jun",
                                               u"jul", u"aug", u"sep", u"oct", u"nov", u"dec"};
    const char16_t lower[3] = {char16_t(p[0] | 0x20), char16_t(p[1] | 0x20), char16_t(p[2] | 0x20)};
    for (int i = 0; i < 12; ++i) {
        if (lower[0] == kNames[i][0] && lower[1] == kNames[i][1] && lower[2] == kNames[i][2])
            return i + 1;
    }
    return 0;
}

// A BSD timestamp: "Mmm dd hh:mm:ss" with the day space-padded ("Dec  7"),
// zero-padded or single, an optional year after the day, an optional
// fraction, and before a ':' an optional zone name of capitals (Cisco).
Pos readBsdTime(Pos p, Pos end, SyslogTime& out)
{
    SyslogTime t;
    if (end - p < 3 || (t.month = monthFromName(p)) == 0)
        return nullptr;
    p += 3;
    if (!skip(p, end, u' '))
        return nullptr;
    const bool padded = skip(p, end, u' ');
    if (p == end || !isDigit(*p))
        return nullptr;
    t.day = *p++ - u'0';
    if (!padded && p < end && isDigit(*p))
        t.day = t.day * 10 + (*p++ - u'0');
    if (!skip(p, end, u' '))
        return nullptr;
    if (end - p >= 5 && isDigit(p[0]) && isDigit(p[1]) && isDigit(p[2]) && isDigit(p[3]) && p[4] == u' ') {
        readDigits(p, end, 4, t.year);
        ++p;
    }
    if (!isValidDay(t.year, t.month, t.day) || !readClock(p, end, t))
        return nullptr;
    if (p < end && *p == u' ') {
        Pos name = p + 1;
        Pos q = name;
        while (q < end && isUpper(*q) && q - name < 5)
            ++q;
        if (q - name >= 3 && q < end && *q == u':') {
            t.zone = span(name, q);
            t.hasOffset = t.zone == u"UTC" || t.zone == u"GMT";
            p = q;
        }
    }
    out = t;
    return p;
}

// One RFC 5424 header field: printable ASCII of 1 to maxLength characters,
// followed by SP (which is consumed); "-" gives an empty view.
bool readField(Pos& p, Pos end, qsizetype maxLength, QStringView& field)
{
    Pos q = p;
    while (q < end && isPrintAscii(*q) && q - p <= maxLength)
        ++q;
    if (q == p || q - p > maxLength || q == end || *q != u' ')
        return false;
    field = q - p == 1 && *p == u'-' ? QStringView() : span(p, q);
    p = q + 1;
    return true;
}

bool isSdNameChar(char16_t c) { return isPrintAscii(c) && c != u'=' && c != u']' && c != u'"'; }

bool readSdName(Pos& p, Pos end)
{
    Pos q = p;
    while (q < end && isSdNameChar(*q) && q - p <= kMaxSdName)
        ++q;
    if (q == p || q - p > kMaxSdName)
        return false;
    p = q;
    return true;
}

// One or more [SD-ID *(SP PARAM-NAME="PARAM-VALUE")] elements. Inside a value
// a backslash escapes the next character, so \" \\ and \] never end it.
bool readSdElements(Pos& p, Pos end)
{
    if (p == end || *p != u'[')
        return false;
    while (skip(p, end, u'[')) {
        if (!readSdName(p, end))
            return false;
        while (skip(p, end, u' ')) {
            if (!readSdName(p, end) || !skip(p, end, u'=') || !skip(p, end, u'"'))
                return false;
            while (p < end && *p != u'"') {
                if (*p == u'\\' && ++p == end)
                    return false;
                ++p;
            }
            if (!skip(p, end, u'"'))
                return false;
        }
        if (!skip(p, end, u']'))
            return false;
    }
    return true;
}

// RFC 5424 after the PRI; h is changed only when all of it matches.
bool readRfc5424(Pos begin, Pos end, SyslogHeader& h)
{
    Pos p = begin;
    if (p == end || *p < u'1' || *p > u'9')
        return false;
    int version = *p++ - u'0';
    for (int i = 0; i < 2 && p < end && isDigit(*p); ++i)
        version = version * 10 + (*p++ - u'0');
    if (!skip(p, end, u' '))
        return false;

    SyslogTime time;
    QStringView timestamp;
    if (!skip(p, end, u'-')) {
        const Pos stampEnd = readIsoTime(p, end, time);
        if (!stampEnd)
            return false;
        timestamp = span(p, stampEnd);
        p = stampEnd;
    }
    if (!skip(p, end, u' '))
        return false;

    QStringView host;
    QStringView app;
    QStringView procid;
    QStringView msgid;
    if (!readField(p, end, kMaxHost, host) || !readField(p, end, kMaxAppName, app)
        || !readField(p, end, kMaxProcId, procid) || !readField(p, end, kMaxMsgId, msgid))
        return false;

    QStringView structuredData;
    if (!skip(p, end, u'-')) {
        const Pos sdBegin = p;
        if (!readSdElements(p, end))
            return false;
        structuredData = span(sdBegin, p);
    }
    if (p < end && !skip(p, end, u' '))
        return false;
    skip(p, end, kBom);

    h.format = SyslogFormat::Rfc5424;
    h.version = version;
    h.time = time;
    h.timestamp = timestamp;
    h.host = host;
    h.app = app;
    h.procid = procid;
    h.msgid = msgid;
    h.structuredData = structuredData;
    h.msg = span(p, end);
    return true;
}

// A TAG at p: name[pid]: followed by SP or the end. Returns the position
// after the SP, or nullptr when there is no TAG.
Pos readTag(Pos p, Pos end, QStringView& app, QStringView& procid)
{
    Pos q = p;
    while (q < end && isPrintAscii(*q) && *q != u':' && *q != u'[' && *q != u']' && q - p <= kMaxAppName)
        ++q;
    if (q == p || q - p > kMaxAppName || q == end)
        return nullptr;
    const Pos nameEnd = q;
    QStringView pid;
    if (*q == u'[') {
        const Pos pidBegin = ++q;
        while (q < end && isPrintAscii(*q) && *q != u'[' && *q != u']' && q - pidBegin <= kMaxProcId)
            ++q;
        if (q == pidBegin || q - pidBegin > kMaxProcId || !skip(q, end, u']'))
            return nullptr;
        pid = span(pidBegin, q - 1);
    }
    if (!skip(q, end, u':') || (q < end && !skip(q, end, u' ')))
        return nullptr;
    app = span(p, nameEnd);
    procid = pid;
    return q;
}

// A word of printable ASCII followed by SP, as a HOSTNAME.
Pos readHostWord(Pos p, Pos end, QStringView& host)
{
    Pos q = p;
    while (q < end && isPrintAscii(*q) && q - p <= kMaxHost)
        ++q;
    if (q == p || q - p > kMaxHost || q == end || *q != u' ')
        return nullptr;
    host = span(p, q);
    return q + 1;
}

struct LegacyStamp {
    SyslogTime time;
    Pos begin = nullptr;
    Pos end = nullptr;
    Pos next = nullptr;  // where the text after it starts
    bool colon = false;  // followed by ": " (Cisco) rather than SP or the end
};

// A BSD or RFC 3339 timestamp at p, after an optional Cisco '*' or '.',
// ending the text or followed by SP or ": ".
bool readLegacyStamp(Pos p, Pos end, LegacyStamp& stamp)
{
    Pos q = p;
    if (q < end && (*q == u'*' || *q == u'.'))
        ++q;
    const Pos stampEnd = q < end && isDigit(*q) ? readIsoTime(q, end, stamp.time) : readBsdTime(q, end, stamp.time);
    if (!stampEnd)
        return false;
    stamp.colon = false;
    if (stampEnd == end)
        stamp.next = end;
    else if (*stampEnd == u' ')
        stamp.next = stampEnd + 1;
    else if (*stampEnd == u':' && (stampEnd + 1 == end || stampEnd[1] == u' ')) {
        stamp.next = stampEnd + 1 == end ? end : stampEnd + 2;
        stamp.colon = true;
    } else
        return false;
    stamp.begin = q;
    stamp.end = stampEnd;
    return true;
}

// RFC 3164, Cisco IOS and header-less text after the PRI.
void readLegacy(Pos begin, Pos end, SyslogHeader& h)
{
    Pos p = begin;
    SyslogFormat format = SyslogFormat::Headerless;

    for (int i = 0; i < kMaxSequences; ++i) {
        Pos q = p;
        while (q < end && isDigit(*q) && q - p < kMaxSequenceDigits)
            ++q;
        if (q == p || end - q < 2 || q[0] != u':' || q[1] != u' ')
            break;
        h.sequence = span(p, q);
        p = q + 2;
        format = SyslogFormat::Cisco;
    }

    LegacyStamp stamp;
    if (format == SyslogFormat::Cisco) {
        Pos q = p;
        while (q < end && isPrintAscii(*q) && *q != u':' && q - p <= kMaxHost)
            ++q;
        if (q > p && q - p <= kMaxHost && end - q >= 2 && q[0] == u':' && q[1] == u' '
            && readLegacyStamp(q + 2, end, stamp)) {
            h.host = span(p, q);
            p = q + 2;
        }
    }

    bool hostMayFollow = false;
    if (readLegacyStamp(p, end, stamp)) {
        h.time = stamp.time;
        h.timestamp = span(stamp.begin, stamp.end);
        p = stamp.next;
        if (stamp.colon) {
            format = SyslogFormat::Cisco;
        } else {
            if (format != SyslogFormat::Cisco)
                format = SyslogFormat::Rfc3164;
            hostMayFollow = true;
        }
    }

    Pos afterTag = readTag(p, end, h.app, h.procid);
    if (!afterTag && hostMayFollow && h.host.isNull()) {
        if (const Pos afterHost = readHostWord(p, end, h.host)) {
            p = afterHost;
            afterTag = readTag(p, end, h.app, h.procid);
        }
    }
    if (afterTag)
        p = afterTag;

    h.format = format;
    h.msg = span(p, end);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (the
// well-known days-from-civil reckoning, with years starting in March).
qint64 daysFromCivil(int year, int month, int day)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return qint64(era) * 146097 + dayOfEra - 719468;
}

// The year nearest to arrival for a timestamp sent without one. Both are
// taken as wall-clock times: the offsets of sender and arrival, a day at
// most apart, could change the year only for a timestamp half a year away,
// and reading arrival's offset costs a time zone lookup per call.
int nearestYear(const SyslogTime& time, const SyslogArrival& arrival)
{
    if (!arrival.valid)
        return SyslogTime::kUnknownYear;
    const qint64 secondOfDay = time.hour * 3600 + time.minute * 60 + time.second;
    int best = SyslogTime::kUnknownYear;
    qint64 bestDistance = std::numeric_limits<qint64>::max();
    for (int year = arrival.year - 1; year <= arrival.year + 1; ++year) {
        if (year < 0 || year > 9999 || !isValidDay(year, time.month, time.day))
            continue;
        const qint64 distance = std::llabs(daysFromCivil(year, time.month, time.day) * 86400 + secondOfDay - arrival.wallSeconds);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = year;
        }
    }
    return best;
}

char16_t* putNumber(char16_t* out, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = char16_t(u'0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

} // namespace

SyslogPriority parseSyslogPriority(QStringView text)
{
    const Pos begin = text.utf16();
    const Pos end = begin + text.size();

    // "<" PRIVAL ">": 1 to 3 digits, 0..191, no leading zero.
    Pos p = begin;
    int pri = 0;
    if (!skip(p, end, u'<'))
        return {};
    const Pos digits = p;
    while (p < end && isDigit(*p) && p - digits <= kMaxPriDigits)
        pri = pri * 10 + (*p++ - u'0');
    const qsizetype count = p - digits;
    if (count == 0 || count > kMaxPriDigits || (count > 1 && *digits == u'0') || pri > kMaxPri
        || !skip(p, end, u'>'))
        return {};
    return {pri, p - begin};
}

SyslogHeader parseSyslogHeader(QStringView text)
{
    SyslogHeader h;
    const Pos begin = text.utf16();
    const Pos end = begin + text.size();

    const SyslogPriority priority = parseSyslogPriority(text);
    if (priority.pri < 0) {
        h.msg = text;
        return h;
    }
    h.pri = priority.pri;
    h.priLength = priority.length;
    Pos p = begin + priority.length;

    if (!readRfc5424(p, end, h))
        readLegacy(p, end, h);
    h.msgOffset = h.msg.utf16() - p;
    return h;
}

QStringView withoutTrailingLineEnds(QStringView text)
{
    qsizetype size = text.size();
    while (size > 0) {
        const char16_t c = text[size - 1].unicode();
        if (c != u'\r' && c != u'\n' && c != u'\0' && c != kNulSymbol)
            break;
        --size;
    }
    return text.first(size);
}

QByteArrayView withoutTrailingLineEndBytes(QByteArrayView bytes)
{
    qsizetype size = bytes.size();
    while (size > 0 && (bytes[size - 1] == '\r' || bytes[size - 1] == '\n' || bytes[size - 1] == '\0'))
        --size;
    return bytes.first(size);
}

SyslogArrival SyslogArrival::of(const QDateTime& arrival)
{
    SyslogArrival parts;
    if (!arrival.isValid())
        return parts;
    const QDate date = arrival.date();
    parts.valid = true;
    parts.year = date.year();
    parts.wallSeconds = daysFromCivil(date.year(), date.month(), date.day()) * 86400
                      + arrival.time().msecsSinceStartOfDay() / 1000;
    return parts;
}

QString senderTimeIso(const SyslogTime& time, const QDateTime& arrival)
{
    return senderTimeIso(time, SyslogArrival::of(arrival));
}

QString senderTimeIso(const SyslogTime& time, const SyslogArrival& arrival)
{
    if (!time.isValid())
        return {};
    const int year = time.year != SyslogTime::kUnknownYear ? time.year : nearestYear(time, arrival);
    if (year == SyslogTime::kUnknownYear)
        return {};

    // "YYYY-MM-DDThh:mm:ss" ".fffffffff" "+hh:mm"
    char16_t buffer[19 + 1 + kMaxFractionDigits + 6];
    char16_t* out = putNumber(buffer, year, 4);
    *out++ = u'-';
    out = putNumber(out, time.month, 2);
    *out++ = u'-';
    out = putNumber(out, time.day, 2);
    *out++ = u'T';
    out = putNumber(out, time.hour, 2);
    *out++ = u':';
    out = putNumber(out, time.minute, 2);
    *out++ = u':';
    out = putNumber(out, time.second, 2);
    if (!time.fraction.isEmpty() && time.fraction.size() <= kMaxFractionDigits) {
        *out++ = u'.';
        for (const QChar digit : time.fraction)
            *out++ = digit.unicode();
    }
    if (time.hasOffset) {
        if (time.zone == u"Z" || time.zone == u"z") {
            *out++ = u'Z';
        } else {
            // The sign as sent: "-00:00" (offset unknown, RFC 3339) stays.
            const int minutes = std::abs(time.offsetMinutes);
            *out++ = time.offsetMinutes < 0 || time.zone.startsWith(u'-') ? u'-' : u'+';
            out = putNumber(out, minutes / 60, 2);
            *out++ = u':';
            out = putNumber(out, minutes % 60, 2);
        }
    }
    return QString(reinterpret_cast<const QChar*>(buffer), out - buffer);
}
