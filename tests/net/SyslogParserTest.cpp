#include "net/SyslogParser.h"
#include "tests/net/SyslogParserInvariants.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

using namespace std::string_view_literals;

namespace {

using F = SyslogFormat;

// One message as it arrives (UTF-8 bytes; NUL is turned into U+2400 as the
// program's decoding does) and the parts expected from it. A part left out
// is expected empty; iso is senderTimeIso() at the row's arrival time.
struct Row {
    std::string_view input;
    int pri = -1;
    F format = F::None;
    const char* timestamp = "";
    const char* host = "";
    const char* app = "";
    const char* procid = "";
    const char* msgid = "";
    const char* sd = "";
    const char* sequence = "";
    const char* msg = "";
    const char* iso = "";
    const char* arrival = "2026-12-07T18:45:00Z";
};

const Row kRows[] = {
    // logger -n 127.0.0.1 -P PORT -d --rfc3164 -t myapp -p user.notice "rfc3164 disk info ok"
    {.input = "<13>Dec  7 18:40:46 vm myapp: rfc3164 disk info ok", .pri = 13, .format = F::Rfc3164,
     .timestamp = "Dec  7 18:40:46", .host = "vm", .app = "myapp", .msg = "rfc3164 disk info ok",
     .iso = "2026-12-07T18:40:46"},
    // logger -d --rfc3164 -i -t myapp -p local0.err "rfc3164 with pid error"
    {.input = "<131>Dec  7 18:40:46 vm myapp[9000]: rfc3164 with pid error", .pri = 131, .format = F::Rfc3164,
     .timestamp = "Dec  7 18:40:46", .host = "vm", .app = "myapp", .procid = "9000", .msg = "rfc3164 with pid error",
     .iso = "2026-12-07T18:40:46"},
    // logger -d --rfc5424 -t myapp -p user.info "rfc5424 plain info" (also logger's default, and -T)
    {.input = R"(<14>1 2026-12-07T18:40:46.301215+00:00 vm myapp - - [timeQuality tzKnown="1" isSynced="0"] rfc5424 plain info)",
     .pri = 14, .format = F::Rfc5424, .timestamp = "2026-12-07T18:40:46.301215+00:00", .host = "vm", .app = "myapp",
     .sd = R"([timeQuality tzKnown="1" isSynced="0"])", .msg = "rfc5424 plain info",
     .iso = "2026-12-07T18:40:46.301215+00:00"},
    // logger -d --rfc5424 -i -t myapp --msgid ID47 --sd-id exampleSDID@32473 --sd-param 'iut="3"'
    //   --sd-param 'eventSource="App\"q"' -p daemon.warning "rfc5424 with sd warning"
    {.input = R"(<28>1 2026-12-07T18:40:46.303813+00:00 vm myapp 9002 ID47 [timeQuality tzKnown="1" isSynced="0"][exampleSDID@32473 iut="3" eventSource="App\"q"] rfc5424 with sd warning)",
     .pri = 28, .format = F::Rfc5424, .timestamp = "2026-12-07T18:40:46.303813+00:00", .host = "vm", .app = "myapp",
     .procid = "9002", .msgid = "ID47",
     .sd = R"([timeQuality tzKnown="1" isSynced="0"][exampleSDID@32473 iut="3" eventSource="App\"q"])",
     .msg = "rfc5424 with sd warning", .iso = "2026-12-07T18:40:46.303813+00:00"},
    // logger -d --rfc5424=notime,nohost -t myapp "rfc5424 notime nohost info"
    {.input = "<13>1 - - myapp - - - rfc5424 notime nohost info", .pri = 13, .format = F::Rfc5424, .app = "myapp",
     .msg = "rfc5424 notime nohost info"},
    // logger -d --rfc5424 -t myapp "中文 接口已启用 info"
    {.input = R"(<13>1 2026-12-07T18:40:46.337057+00:00 vm myapp - - [timeQuality tzKnown="1" isSynced="0"] 中文 接口已启用 info)",
     .pri = 13, .format = F::Rfc5424, .timestamp = "2026-12-07T18:40:46.337057+00:00", .host = "vm", .app = "myapp",
     .sd = R"([timeQuality tzKnown="1" isSynced="0"])", .msg = "中文 接口已启用 info",
     .iso = "2026-12-07T18:40:46.337057+00:00"},

    // rsyslogd 8.2302 relaying over UDP with omfwd, template by template. The
    // default (RSYSLOG_TraditionalForwardFormat) of an RFC 5424 message: a TAG
    // without its colon is not told from text and stays in msg.
    {.input = "<11>Dec  7 18:40:58 vm myapp via rsyslog from 5424 error", .pri = 11, .format = F::Rfc3164,
     .timestamp = "Dec  7 18:40:58", .host = "vm", .msg = "myapp via rsyslog from 5424 error",
     .iso = "2026-12-07T18:40:58"},
    // template="RSYSLOG_ForwardFormat"
    {.input = "<156>2026-12-07T18:40:57+00:00 vm myapp[9289]: via rsyslog from 3164 warning", .pri = 156,
     .format = F::Rfc3164, .timestamp = "2026-12-07T18:40:57+00:00", .host = "vm", .app = "myapp",
     .procid = "9289", .msg = "via rsyslog from 3164 warning", .iso = "2026-12-07T18:40:57+00:00"},
    // template="RSYSLOG_SyslogProtocol23Format" of an RFC 3164 message (its
    // msg keeps the blank rsyslog puts before it, and ends in LF over UDP)
    {.input = "<156>1 2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog from 3164 warning\n", .pri = 156,
     .format = F::Rfc5424, .timestamp = "2026-12-07T18:40:57+00:00", .host = "vm", .app = "myapp",
     .procid = "9289", .msg = " via rsyslog from 3164 warning", .iso = "2026-12-07T18:40:57+00:00"},
    // template="RSYSLOG_SyslogProtocol23Format" of "<14>info: disk ok"
    {.input = "<14>1 2026-12-07T18:41:08.526329+00:00 localhost info - - -  disk ok\n", .pri = 14,
     .format = F::Rfc5424, .timestamp = "2026-12-07T18:41:08.526329+00:00", .host = "localhost", .app = "info",
     .msg = " disk ok", .iso = "2026-12-07T18:41:08.526329+00:00"},
    // default template of the Cisco sample below: rsyslog took "123" for its TAG
    {.input = "<189>Dec  7 18:41:09 localhost 123: *Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to down",
     .pri = 189, .format = F::Rfc3164, .timestamp = "Dec  7 18:41:09", .host = "localhost", .app = "123",
     .msg = "*Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to down",
     .iso = "2026-12-07T18:41:09"},

    // syslog-ng 3.38: destination syslog("127.0.0.1" transport(udp))
    {.input = "<156>1 2026-12-07T18:41:41+00:00 vm myapp 9974 - - via syslog-ng from 3164 warning\n", .pri = 156,
     .format = F::Rfc5424, .timestamp = "2026-12-07T18:41:41+00:00", .host = "vm", .app = "myapp",
     .procid = "9974", .msg = "via syslog-ng from 3164 warning", .iso = "2026-12-07T18:41:41+00:00"},
    // network("127.0.0.1" transport(udp)), its default legacy format
    {.input = "<156>Dec  7 18:41:41 vm myapp[9974]: via syslog-ng from 3164 warning\n", .pri = 156,
     .format = F::Rfc3164, .timestamp = "Dec  7 18:41:41", .host = "vm", .app = "myapp", .procid = "9974",
     .msg = "via syslog-ng from 3164 warning", .iso = "2026-12-07T18:41:41"},
    // network(transport(udp)) of the Cisco sample: the year is the one
    // nearest to the arrival, here the next one
    {.input = "<189>Mar  1 00:00:00 127.0.0.1 %LINK-3-UPDOWN: Interface Gi0/1, changed state to down\n", .pri = 189,
     .format = F::Rfc3164, .timestamp = "Mar  1 00:00:00", .host = "127.0.0.1", .app = "%LINK-3-UPDOWN",
     .msg = "Interface Gi0/1, changed state to down", .iso = "2027-03-01T00:00:00"},
    // syslog(transport(udp)) of the Cisco sample
    {.input = R"(<189>1 2026-03-01T00:00:00+00:00 127.0.0.1 %LINK-3-UPDOWN - - [meta sequenceId="123"][timeQuality isSynced="0"] Interface Gi0/1, changed state to down)"
              "\n",
     .pri = 189, .format = F::Rfc5424, .timestamp = "2026-03-01T00:00:00+00:00", .host = "127.0.0.1",
     .app = "%LINK-3-UPDOWN", .sd = R"([meta sequenceId="123"][timeQuality isSynced="0"])",
     .msg = "Interface Gi0/1, changed state to down", .iso = "2026-03-01T00:00:00+00:00"},
    // syslog(transport(udp)) from a syslog() source, SD value with \]
    {.input = R"(<11>1 2026-12-07T18:41:54+00:00 vm myapp - M1 [timeQuality tzKnown="1" isSynced="0"][ex@32473 a="x\]y"] via syslog-ng from 5424 error)"
              "\n",
     .pri = 11, .format = F::Rfc5424, .timestamp = "2026-12-07T18:41:54+00:00", .host = "vm", .app = "myapp",
     .msgid = "M1", .sd = R"([timeQuality tzKnown="1" isSynced="0"][ex@32473 a="x\]y"])",
     .msg = "via syslog-ng from 5424 error", .iso = "2026-12-07T18:41:54+00:00"},
    // network(transport(udp)) of an RFC 5424 message read by a network()
    // source as RFC 3164: a valid RFC 5424 header with the original in msg
    {.input = R"(<11>1 2026-12-07T18:41:42+00:00 127.0.0.1 1 - - - 2026-12-07T18:41:42.038369+00:00 vm myapp - M1 [x@1 a="b"] error)"
              "\n",
     .pri = 11, .format = F::Rfc5424, .timestamp = "2026-12-07T18:41:42+00:00", .host = "127.0.0.1", .app = "1",
     .msg = R"(2026-12-07T18:41:42.038369+00:00 vm myapp - M1 [x@1 a="b"] error)", .iso = "2026-12-07T18:41:42+00:00"},
    // syslog(transport(udp)) of a message with a BOM, which syslog-ng keeps
    {.input = "<13>1 2026-12-07T12:00:00.5-08:00 h app - - - \xef\xbb\xbf" "bom info\n", .pri = 13,
     .format = F::Rfc5424, .timestamp = "2026-12-07T12:00:00.5-08:00", .host = "h", .app = "app",
     .msg = "bom info", .iso = "2026-12-07T12:00:00.5-08:00"},

    // Python 3.11 logging.handlers.SysLogHandler over UDP: no header, NUL at the end
    {.input = "<12>python default warning\0"sv, .pri = 12, .format = F::Headerless, .msg = "python default warning"},
    // ... with handler.ident = "myapp[42]: "
    {.input = "<14>myapp[42]: python ident info\0"sv, .pri = 14, .format = F::Headerless, .app = "myapp",
     .procid = "42", .msg = "python ident info"},
    // ... with Formatter("%(name)s: %(levelname)s %(message)s")
    {.input = "<11>t: ERROR python formatted error 接口\0"sv, .pri = 11, .format = F::Headerless, .app = "t",
     .msg = "ERROR python formatted error 接口"},

    // Written by hand: what devices send. printf '<14>info: disk ok' | nc -u
    {.input = "<14>info: disk ok", .pri = 14, .format = F::Headerless, .app = "info", .msg = "disk ok"},
    // Cisco IOS with a sequence number, an unsynchronised clock and milliseconds
    {.input = "<189>123: *Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to down", .pri = 189,
     .format = F::Cisco, .timestamp = "Mar  1 00:00:00.000", .app = "%LINK-3-UPDOWN", .sequence = "123",
     .msg = "Interface Gi0/1, changed state to down", .iso = "2027-03-01T00:00:00.000"},
    // ... with the origin hostname and a time zone
    {.input = "<189>45: router1: *Mar  1 00:00:00.123 UTC: %SYS-5-CONFIG_I: Configured from console by vty0",
     .pri = 189, .format = F::Cisco, .timestamp = "Mar  1 00:00:00.123 UTC", .host = "router1",
     .app = "%SYS-5-CONFIG_I", .sequence = "45", .msg = "Configured from console by vty0",
     .iso = "2027-03-01T00:00:00.123+00:00"},
    // ... with service sequence-numbers (a second number), '.' and a zone of unknown offset
    {.input = "<190>27: 000023: .Dec  7 18:44:59.5 CET: %SEC-6-IPACCESSLOGP: list 101 denied", .pri = 190,
     .format = F::Cisco, .timestamp = "Dec  7 18:44:59.5 CET", .app = "%SEC-6-IPACCESSLOGP", .sequence = "000023",
     .msg = "list 101 denied", .iso = "2026-12-07T18:44:59.5"},
    // ... with uptime instead of a date: no timestamp, the uptime stays
    {.input = "<189>12: 00:01:23: %SYS-5-CONFIG_I: Configured", .pri = 189, .format = F::Cisco, .sequence = "12",
     .msg = "00:01:23: %SYS-5-CONFIG_I: Configured"},
    // Cisco ASA without a header
    {.input = "<166>%ASA-6-302013: Built inbound TCP connection 1", .pri = 166, .format = F::Headerless,
     .app = "%ASA-6-302013", .msg = "Built inbound TCP connection 1"},
    // RFC 3339 time in an RFC 3164 header, offset without colon
    {.input = "<13>2026-12-07T12:00:00+0100 host app: x", .pri = 13, .format = F::Rfc3164,
     .timestamp = "2026-12-07T12:00:00+0100", .host = "host", .app = "app", .msg = "x",
     .iso = "2026-12-07T12:00:00+01:00"},
    // a year after the day
    {.input = "<13>Dec  7 2025 12:00:00 host app: x", .pri = 13, .format = F::Rfc3164,
     .timestamp = "Dec  7 2025 12:00:00", .host = "host", .app = "app", .msg = "x", .iso = "2025-12-07T12:00:00"},
    // a TAG right after the timestamp: no hostname
    {.input = "<13>Dec  7 12:00:00 app[12]: x", .pri = 13, .format = F::Rfc3164, .timestamp = "Dec  7 12:00:00",
     .app = "app", .procid = "12", .msg = "x", .iso = "2026-12-07T12:00:00"},
    // "Dec 31" arriving on Jan 1 is last year's
    {.input = "<13>Dec 31 23:59:59 host app: x", .pri = 13, .format = F::Rfc3164, .timestamp = "Dec 31 23:59:59",
     .host = "host", .app = "app", .msg = "x", .iso = "2026-12-31T23:59:59", .arrival = "2027-01-01T00:00:05Z"},
    // Feb 29 with no leap year near the arrival: read, but no ISO text
    {.input = "<13>Feb 29 12:00:00 host x", .pri = 13, .format = F::Rfc3164, .timestamp = "Feb 29 12:00:00",
     .host = "host", .msg = "x"},
    // the RFC 5424 example without MSG; line ends inside a message stay
    {.input = R"(<165>1 2003-10-11T22:14:15.003Z mymachine.example.com evntslog - ID47 [exampleSDID@32473 iut="3" eventSource="Application" eventID="1011"])",
     .pri = 165, .format = F::Rfc5424, .timestamp = "2003-10-11T22:14:15.003Z", .host = "mymachine.example.com",
     .app = "evntslog", .msgid = "ID47",
     .sd = R"([exampleSDID@32473 iut="3" eventSource="Application" eventID="1011"])",
     .iso = "2003-10-11T22:14:15.003Z"},
    {.input = "<13>Dec  7 12:00:00 host app: one\r\ntwo\0three\r\n\0"sv, .pri = 13, .format = F::Rfc3164,
     .timestamp = "Dec  7 12:00:00", .host = "host", .app = "app", .msg = "one\r\ntwo\u2400three",
     .iso = "2026-12-07T12:00:00"},
    // GB18030 text decodes to the same characters as this
    {.input = "<13>接口已启用 info", .pri = 13, .format = F::Headerless, .msg = "接口已启用 info"},

    // Malformed and hostile: what is not a header stays in msg.
    {.input = "<13>Dec 99 xx host: y", .pri = 13, .format = F::Headerless, .msg = "Dec 99 xx host: y"},
    {.input = "<13>2026-02-30T00:00:00Z host app: x", .pri = 13, .format = F::Headerless,
     .msg = "2026-02-30T00:00:00Z host app: x"},
    {.input = R"(<13>1 2026-12-07T12:00:00Z h a p m [id x="unterminated] tail)", .pri = 13, .format = F::Headerless,
     .msg = R"(1 2026-12-07T12:00:00Z h a p m [id x="unterminated] tail)"},
    {.input = "<13>1 - h app - 123456789012345678901234567890123 - x", .pri = 13, .format = F::Headerless,
     .msg = "1 - h app - 123456789012345678901234567890123 - x"},
    {.input = "<13>Dec  7 12:00:00x host", .pri = 13, .format = F::Headerless, .msg = "Dec  7 12:00:00x host"},
    {.input = "", .msg = ""},
    {.input = "<13>", .pri = 13, .format = F::Headerless},
    {.input = "<0>x", .pri = 0, .format = F::Headerless, .msg = "x"},
    {.input = "<999>x", .msg = "<999>x"},
    {.input = "<192>x", .msg = "<192>x"},
    {.input = "<013>x", .msg = "<013>x"},
    {.input = "<13", .msg = "<13"},
    {.input = "<>x", .msg = "<>x"},
    {.input = "\r\n\0"sv, .msg = ""},
};

QString decodedText(std::string_view bytes)
{
    QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    return text.replace(QChar(u'\0'), QChar(0x2400));
}

std::string str(QStringView view) { return view.toString().toStdString(); }

} // namespace

TEST(SyslogParserTest, ReadsTheHeadersRealSendersSend)
{
    for (const Row& row : kRows) {
        const QString text = decodedText(row.input);
        SCOPED_TRACE(text.toStdString());
        const SyslogHeader h = parseSyslogHeader(withoutTrailingLineEnds(text));
        EXPECT_EQ(h.pri, row.pri);
        EXPECT_EQ(int(h.format), int(row.format));
        EXPECT_EQ(str(h.timestamp), row.timestamp);
        EXPECT_EQ(str(h.host), row.host);
        EXPECT_EQ(str(h.app), row.app);
        EXPECT_EQ(str(h.procid), row.procid);
        EXPECT_EQ(str(h.msgid), row.msgid);
        EXPECT_EQ(str(h.structuredData), row.sd);
        EXPECT_EQ(str(h.sequence), row.sequence);
        EXPECT_EQ(str(h.msg), row.msg);
        const QDateTime arrival = QDateTime::fromString(QString::fromLatin1(row.arrival), Qt::ISODate);
        EXPECT_EQ(senderTimeIso(h.time, arrival).toStdString(), row.iso);
        EXPECT_EQ(syslogHeaderInvariantFailure(text), "");
    }
}

// Every cut of every row, and rows with characters replaced by ones that
// matter to the parser, keep the invariants (the fuzzer does this at length).
TEST(SyslogParserTest, KeepsItsInvariantsOnCutAndGarbledInput)
{
    static constexpr char16_t kAlphabet[] = u"<>0123456789 -:[]\"\\=*.TZ+DecMar\uFEFF\u2400\r\n\0";
    std::mt19937 random(19);
    for (const Row& row : kRows) {
        const QString text = decodedText(row.input);
        for (qsizetype size = 0; size <= text.size(); ++size)
            ASSERT_EQ(syslogHeaderInvariantFailure(QString(text.first(size))), "") << text.first(size).toStdString();
        for (int round = 0; round < 300 && !text.isEmpty(); ++round) {
            QString garbled = text;
            for (int change = 0; change < 3; ++change) {
                const auto at = qsizetype(random() % garbled.size());
                garbled[at] = QChar(kAlphabet[random() % (std::size(kAlphabet) - 1)]);
            }
            ASSERT_EQ(syslogHeaderInvariantFailure(garbled), "") << garbled.toStdString();
        }
    }
}
