#pragma once

#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringView>

// Reading the priority and header of one syslog message.
//
// parseSyslogHeader() takes the decoded text of one message and returns its
// parts as numbers and views into that text: nothing is copied and nothing is
// allocated, so the views are valid only as long as the text is. Whatever
// cannot be read as a header stays in msg: no character of the text is ever
// dropped, and msg always runs to the end of the text.
//
// The steps, in order:
//
// 1. PRI: "<" 1 to 3 digits ">" with a value of 0 to 191 and no leading zero
//    ("<0>" is fine, "<00>" and "<013>" are not). Anything else ("<999>x",
//    "<13", "<>", text without "<") is no PRI: pri is -1, the format None and
//    msg the whole text; no header is looked for.
//
// 2. RFC 5424: VERSION (a nonzero digit and up to two more), SP, TIMESTAMP
//    ("-" or an RFC 3339 date-time), HOSTNAME, APP-NAME, PROCID, MSGID (each
//    printable ASCII of at most 255, 48, 128 and 32 characters, "-" for none),
//    STRUCTURED-DATA ("-" or one or more [SD-ID PARAM="value"...] elements,
//    where \" \\ and \] are escapes inside a value), then the end or SP and
//    MSG. A leading BOM (U+FEFF) of MSG is skipped. If any of this does not
//    match, the message is read as in step 3 instead, from the same place.
//    Leniencies: the fraction may have up to 9 digits, the offset may be
//    missing or written without the colon (+0100), 'T' and 'Z' may be lower
//    case.
//
// 3. Everything else (RFC 3164 and what devices really send), each part
//    optional, in this order:
//    - Cisco IOS sequence numbers: up to two runs of digits, each followed by
//      ": " ("<189>123: ..." or "<189>27: 000023: ..."); the last one is kept
//      as sequence.
//    - After a sequence number, an origin hostname followed by ": " when a
//      timestamp follows it ("<189>12: router1: *Mar  1 ...").
//    - A timestamp, optionally after Cisco's '*' (clock not authoritative) or
//      '.' (clock not synchronised): either "Mmm dd hh:mm:ss" (the month name
//      in any case, the day space-padded, zero-padded or single, an optional
//      year after the day, an optional fraction, and before a ':' an optional
//      zone name of 3 to 5 capitals, where UTC and GMT give offset 0) or an
//      RFC 3339 date-time as in step 2 (rsyslog's forwarding format). It must
//      end the text or be followed by SP or by ": " (Cisco).
//    - After a timestamp followed by SP: a HOSTNAME, the next word of
//      printable ASCII (at most 255 characters) followed by SP, unless that
//      word is a TAG (below). So "Mmm dd hh:mm:ss app[12]: x" has a TAG and no
//      HOSTNAME, and "Mmm dd hh:mm:ss host text" has a HOSTNAME and no TAG.
//    - A TAG: 1 to 48 printable ASCII characters other than ':' '[' ']',
//      optionally followed by "[pid]" (1 to 128 characters, kept as procid),
//      then ':' followed by SP or the end of the text. A word without that
//      colon is never a TAG: it stays in msg. This is looked for after the
//      header and also when there is no header ("<14>myapp[42]: text",
//      "<166>%ASA-6-302013: Built ...").
//    The format is Cisco when a sequence number was found or the timestamp
//    was followed by ": ", else Rfc3164 when a timestamp was found, else
//    Headerless.
//
// Trailing line ends are not removed here: pass the text through
// withoutTrailingLineEnds() first.

enum class SyslogFormat : quint8 {
    None,        // no PRI: nothing parsed, msg is the whole text
    Headerless,  // a PRI, no timestamp; a TAG may still have been found
    Rfc3164,     // a PRI and a BSD or RFC 3339 timestamp, then HOSTNAME and TAG if present
    Rfc5424,     // the structured format with VERSION
    Cisco,       // Cisco IOS: sequence number and/or "[*.]Mmm dd hh:mm:ss.mmm: "
};

// The sender's own time as it was sent. month is 0 when the message has no
// timestamp (or a NILVALUE "-"); then nothing else here is meaningful.
struct SyslogTime {
    static constexpr int kUnknownYear = -1;

    int year = kUnknownYear;  // kUnknownYear for "Mmm dd hh:mm:ss" without a year
    int month = 0;            // 1..12; 0: no timestamp
    int day = 0;              // 1..31, valid for the month (Feb 29 only in leap years, or the year unknown)
    int hour = 0;             // 0..23
    int minute = 0;           // 0..59
    int second = 0;           // 0..60 (60: a leap second)
    QStringView fraction;     // the digits after '.', as sent (1 to 9); empty when none
    QStringView zone;         // the offset or zone name as sent ("Z", "+01:00", "-0800", "UTC", "CET"); empty when none
    bool hasOffset = false;   // whether the UTC offset is known (a zone name other than UTC or GMT is not)
    int offsetMinutes = 0;    // east of UTC, -1439..1439; 0 when !hasOffset

    bool isValid() const { return month != 0; }
};

// The parts of one message. Views are empty (and null) when the part is
// missing or sent as "-" (RFC 5424's NILVALUE); msg is never null when the
// text is not, and always ends where the text ends.
struct SyslogHeader {
    int pri = -1;                 // 0..191, -1: no PRI
    qsizetype priLength = 0;      // characters of "<PRI>" at the start, 0 without one
    SyslogFormat format = SyslogFormat::None;
    int version = 0;              // RFC 5424 VERSION, 0 for other formats
    SyslogTime time;              // the timestamp's values
    QStringView timestamp;        // the timestamp as sent, without a Cisco '*' or '.' and the ':' after it
    QStringView host;             // HOSTNAME
    QStringView app;              // RFC 5424 APP-NAME or the name part of a TAG
    QStringView procid;           // RFC 5424 PROCID or the pid of a TAG "app[pid]:"
    QStringView msgid;            // RFC 5424 MSGID
    QStringView structuredData;   // RFC 5424 STRUCTURED-DATA, all its elements as sent
    QStringView sequence;         // Cisco IOS sequence number
    QStringView msg;              // MSG / CONTENT: the text after the header (without a leading BOM in RFC 5424)
    qsizetype msgOffset = 0;      // where msg starts, counted from the end of the PRI

    int facility() const { return pri < 0 ? -1 : pri >> 3; }
    int severity() const { return pri < 0 ? -1 : pri & 7; }
};

// Step 1 alone: the PRI at the start of text, -1 and length 0 without one.
struct SyslogPriority {
    int pri = -1;
    qsizetype length = 0;

    int severity() const { return pri < 0 ? -1 : pri & 7; }
};
SyslogPriority parseSyslogPriority(QStringView text);

// Parses one message as described above. Allocates nothing; the views point
// into text.
SyslogHeader parseSyslogHeader(QStringView text);

// text without the CR, LF and NUL characters at its end, as rsyslog and
// syslog-ng remove them (senders end messages with LF, CR LF or NUL). A NUL
// that decoding already turned into its visible symbol U+2400 counts as NUL
// there too. The same characters inside the text stay.
QStringView withoutTrailingLineEnds(QStringView text);

// The same on the bytes of a message, before they are decoded: without the
// CR, LF and NUL bytes at its end (none of them can be part of a multi-byte
// character in UTF-8 or GB18030).
QByteArrayView withoutTrailingLineEndBytes(QByteArrayView bytes);

// The sender's timestamp as ISO 8601 text ("2026-12-07T12:00:00.250+01:00"):
// the fraction as sent, the offset as sent ("Z" stays "Z", "+0100" becomes
// "+01:00", a zone name becomes its offset when known) and no offset at all
// when the sender gave none (its local time, zone unknown). A timestamp
// without a year gets the year that puts it nearest to arrival (both read
// as wall-clock times), so "Dec 31 23:59:59" arriving on Jan 1 is last
// year's. Empty when the time is not valid, arrival is not valid, or no year
// next to arrival's has that date (Feb 29).
QString senderTimeIso(const SyslogTime& time, const QDateTime& arrival);

// The arrival instant as senderTimeIso() needs it: its wall-clock year and
// seconds, worked out from the date-time once (the calendar lookup is the
// costly part) and then shared by every message of that second.
struct SyslogArrival {
    bool valid = false;
    int year = 0;
    qint64 wallSeconds = 0;  // wall-clock seconds since 1970-01-01 00:00

    static SyslogArrival of(const QDateTime& arrival);
};

QString senderTimeIso(const SyslogTime& time, const SyslogArrival& arrival);
