// Syslog header parser micro-benchmark.
//
// Parses a mix of the message kinds real senders send (logger, rsyslog,
// syslog-ng, Python's SysLogHandler, Cisco IOS, header-less text, Chinese
// text), each already decoded as the program decodes datagrams, on one
// thread, and prints messages per second: removing trailing line ends plus
// parseSyslogHeader(). Then it times senderTimeIso() on the timestamps of the
// mix, separately for those that carry their year and those whose year is
// guessed from the arrival time, and prints the cost per call.
//
//   parser-bench [--seconds S | --count N]
//
// Every result is folded into a checksum that is printed, so the compiler
// cannot drop the work.

#include "net/SyslogParser.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <cstdio>
#include <vector>

namespace {

// Captured from the senders named (see the parser test for the options) or
// written as devices send them.
const char* const kMix[] = {
    // logger --rfc3164, logger --rfc3164 -i
    "<13>Dec  7 18:40:46 vm myapp: rfc3164 disk info ok",
    "<131>Dec  7 18:40:46 vm myapp[9000]: rfc3164 with pid error",
    // logger --rfc5424 (its default), with --msgid and --sd-param
    R"(<14>1 2026-12-07T18:40:46.301215+00:00 vm myapp - - [timeQuality tzKnown="1" isSynced="0"] rfc5424 plain info)",
    R"(<28>1 2026-12-07T18:40:46.303813+00:00 vm myapp 9002 ID47 [timeQuality tzKnown="1" isSynced="0"][exampleSDID@32473 iut="3" eventSource="App\"q"] rfc5424 with sd warning)",
    // rsyslog omfwd: traditional, RSYSLOG_ForwardFormat, RSYSLOG_SyslogProtocol23Format
    "<11>Dec  7 18:40:58 vm myapp via rsyslog from 5424 error",
    "<156>2026-12-07T18:40:57+00:00 vm myapp[9289]: via rsyslog from 3164 warning",
    "<156>1 2026-12-07T18:40:57+00:00 vm myapp 9289 - -  via rsyslog from 3164 warning\n",
    // syslog-ng syslog() and network() destinations
    "<156>1 2026-12-07T18:41:41+00:00 vm myapp 9974 - - via syslog-ng from 3164 warning\n",
    "<156>Dec  7 18:41:41 vm myapp[9974]: via syslog-ng from 3164 warning\n",
    "<13>1 2026-12-07T12:00:00.5-08:00 h app - - - \xef\xbb\xbf" "bom info\n",
    // Python SysLogHandler (its NUL already shown as U+2400), plain and with an ident
    "<12>python default warning\xe2\x90\x80",
    "<14>myapp[42]: python ident info\xe2\x90\x80",
    // devices: header-less, Cisco IOS, Cisco ASA, Chinese text
    "<14>info: disk ok",
    "<189>123: *Mar  1 00:00:00.000: %LINK-3-UPDOWN: Interface Gi0/1, changed state to down",
    "<189>45: router1: *Mar  1 00:00:00.123 UTC: %SYS-5-CONFIG_I: Configured from console by vty0",
    "<166>%ASA-6-302013: Built inbound TCP connection 1 for outside:10.0.0.1/1234 to inside:10.0.0.2/80",
    "<13>Dec  7 12:00:00 edge-router-01 kernel: \xe6\x8e\xa5\xe5\x8f\xa3 ge-0/0/1 \xe5\xb7\xb2\xe5\x90\xaf\xe7\x94\xa8 info",
};

// Folds every part of a parsed header into a number.
quint64 fold(const SyslogHeader& h)
{
    quint64 sum = quint64(h.pri) + quint64(h.format) * 3 + quint64(h.msgOffset) * 7 + quint64(h.time.second);
    for (const QStringView part : {h.timestamp, h.host, h.app, h.procid, h.msgid, h.structuredData, h.msg})
        sum = sum * 31 + quint64(part.size());
    return sum;
}

struct Timing {
    double seconds = 0;
    qint64 calls = 0;
};

// Calls work(i) for i = 0, 1, ... in blocks until count calls are done, or,
// with count 0, until the time is up.
template <typename Work>
Timing timed(double seconds, qint64 count, Work work)
{
    constexpr qint64 kBlock = 4096;
    QElapsedTimer timer;
    timer.start();
    qint64 calls = 0;
    const qint64 limitNs = qint64(seconds * 1e9);
    while (count > 0 ? calls < count : timer.nsecsElapsed() < limitNs) {
        const qint64 block = count > 0 ? qMin(kBlock, count - calls) : kBlock;
        for (qint64 i = 0; i < block; ++i)
            work(calls + i);
        calls += block;
    }
    return {timer.nsecsElapsed() / 1e9, calls};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times the syslog header parser on one thread."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Seconds per measurement (default 3)."),
                                           QStringLiteral("S"), QStringLiteral("3"));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Messages per measurement instead of a time."),
                                         QStringLiteral("N"));
    parser.addOptions({secondsOption, countOption});
    parser.process(app);
    const double seconds = qMax(0.1, parser.value(secondsOption).toDouble());
    const qint64 count = parser.isSet(countOption) ? qMax<qint64>(1, parser.value(countOption).toLongLong()) : 0;

    std::vector<QString> texts;
    for (const char* message : kMix)
        texts.push_back(QString::fromUtf8(message));
    const auto kinds = qint64(texts.size());

    quint64 checksum = 0;
    const Timing parse = timed(seconds, count, [&](qint64 i) {
        checksum += fold(parseSyslogHeader(withoutTrailingLineEnds(texts[size_t(i % kinds)])));
    });
    std::printf("parse: %lld messages of %lld kinds in %.3f s: %.0f messages/s (%.1f ns each)\n",
                static_cast<long long>(parse.calls), static_cast<long long>(kinds), parse.seconds,
                parse.calls / parse.seconds, parse.seconds * 1e9 / parse.calls);

    // The timestamps of the mix, with their year and without.
    std::vector<SyslogTime> withYear;
    std::vector<SyslogTime> withoutYear;
    for (const QString& text : texts) {
        const SyslogTime time = parseSyslogHeader(withoutTrailingLineEnds(text)).time;
        if (time.isValid())
            (time.year == SyslogTime::kUnknownYear ? withoutYear : withYear).push_back(time);
    }
    const QDateTime arrival = QDateTime::currentDateTime();
    for (const auto* times : {&withYear, &withoutYear}) {
        const auto n = qint64(times->size());
        const Timing iso = timed(seconds, count, [&](qint64 i) {
            checksum += quint64(senderTimeIso((*times)[size_t(i % n)], arrival).size());
        });
        std::printf("senderTimeIso, year %s: %.1f ns each (%lld calls over %lld timestamps)\n",
                    times == &withYear ? "sent" : "guessed from the arrival", iso.seconds * 1e9 / iso.calls,
                    static_cast<long long>(iso.calls), static_cast<long long>(n));
    }
    std::printf("checksum %llu\n", static_cast<unsigned long long>(checksum));
    return 0;
}
