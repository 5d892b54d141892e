#pragma once

// What must hold for the parsed header of any text, whatever its characters:
// shared by the parser test's mutated inputs and the libFuzzer target.

#include "net/SyslogParser.h"

#include <QTimeZone>

#include <string>

// An empty string when every invariant holds, else the first one broken.
inline std::string syslogHeaderInvariantFailure(QStringView text)
{
    const SyslogHeader h = parseSyslogHeader(text);
    const char16_t* begin = text.utf16();
    const char16_t* end = begin + text.size();

    if (h.pri < -1 || h.pri > 191)
        return "pri is outside -1..191";
    if ((h.pri < 0) != (h.priLength == 0) || (h.pri < 0) != (h.format == SyslogFormat::None))
        return "pri, priLength and format disagree on whether there is a PRI";
    if (h.pri >= 0 && (h.priLength < 3 || h.priLength > 5 || text.front() != u'<' || text[h.priLength - 1] != u'>'))
        return "the PRI is not a <...> of 1 to 3 digits at the start";
    if (h.pri >= 0 && text.sliced(1, h.priLength - 2).toInt() != h.pri)
        return "pri is not the number between the angle brackets";

    // msg runs to the end, starts at msgOffset after the PRI, and every other
    // part lies in the header before it: no text is dropped or read twice.
    if (!text.isEmpty() && h.msg.utf16() + h.msg.size() != end)
        return "msg does not end where the text ends";
    if (h.priLength + h.msgOffset < 0 || h.priLength + h.msgOffset > text.size()
        || text.sliced(h.priLength + h.msgOffset) != h.msg || h.msg.utf16() != begin + h.priLength + h.msgOffset)
        return "msg is not the text from priLength + msgOffset on";
    for (const QStringView part : {h.timestamp, h.host, h.app, h.procid, h.msgid, h.structuredData, h.sequence,
                                   h.time.fraction, h.time.zone}) {
        if (part.isEmpty())
            continue;
        if (part.utf16() < begin + h.priLength || part.utf16() + part.size() > h.msg.utf16())
            return "a header part lies outside the header between the PRI and msg";
    }
    if (h.format == SyslogFormat::None && h.msg.size() != text.size())
        return "a text without PRI is not all msg";

    const SyslogTime& t = h.time;
    if (t.isValid() != !h.timestamp.isEmpty())
        return "a timestamp text without time values, or time values without text";
    if (t.isValid()) {
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 || t.minute < 0
            || t.minute > 59 || t.second < 0 || t.second > 60 || t.fraction.size() > 9
            || t.offsetMinutes < -1439 || t.offsetMinutes > 1439 || (!t.hasOffset && t.offsetMinutes != 0)
            || (t.year != SyslogTime::kUnknownYear && (t.year < 0 || t.year > 9999)))
            return "a time value is out of range";
        const QDateTime arrival(QDate(2026, 12, 7), QTime(18, 45), QTimeZone::utc());
        const QString iso = senderTimeIso(t, arrival);
        if (t.year != SyslogTime::kUnknownYear && iso.size() < 19)
            return "a timestamp with its year did not format";
        if (!iso.isEmpty() && (iso[4] != u'-' || iso[10] != u'T' || iso[13] != u':'))
            return "the formatted timestamp is not ISO 8601";
    } else if (!senderTimeIso(t, QDateTime::currentDateTime()).isEmpty()) {
        return "a missing timestamp was formatted";
    }

    const QStringView trimmed = withoutTrailingLineEnds(text);
    if (trimmed.utf16() != begin && !text.isEmpty())
        return "removing line ends did not keep the start";
    for (const QChar c : text.sliced(trimmed.size())) {
        if (c != u'\r' && c != u'\n' && c != u'\0' && c != QChar(0x2400))
            return "removing line ends removed other characters";
    }
    if (!trimmed.isEmpty()) {
        const QChar last = trimmed.back();
        if (last == u'\r' || last == u'\n' || last == u'\0' || last == QChar(0x2400))
            return "a line end was left at the end";
    }
    return {};
}
