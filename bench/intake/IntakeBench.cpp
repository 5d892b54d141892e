// Intake benchmark.
//
// Starts the real server (offscreen, in a temporary program directory, on a
// free port), sends it N syslog datagrams of about 120 bytes at a paced rate
// from a separate process, stops it with SIGTERM and counts the rows it
// stored. It reports sent, stored, lost, elapsed time and the server's peak
// resident memory, and, measured in the same run, the rate of the same
// inserts through SQLite alone in 10-row transactions.
//
//   intake-bench [--count N] [--rate R] [--search-max [--within P]] [--forward] [--rules] [--program PATH]
//                [--with-days DIR] [--with-index]
//
// --search-max looks for the highest rate at which all N datagrams are stored,
// until the best lossless and the worst lossy rate are within P percent
// (default 10; a finer search takes more runs).
// --forward runs everything twice, alternating: as it is, and with every
// accepted message forwarded to one UDP destination, a sink on 127.0.0.1 this
// benchmark runs itself (it reads and counts what arrives); each forwarding
// run also reports what the sink received and what the server says it sent
// and missed.
// --rules runs everything twice, alternating: as it is, and with a rules.json
// of 20 rules in the program directory that test every kind of condition
// (several of them down to the regular expression) and none of which fires;
// each such run also reports what the server says its rules did.
// --with-days starts every run on a copy of DIR/syslog.mdb (earlier, closed
// days: search-bench builds such a folder), so that the search index builder
// works while the datagrams arrive; --with-index copies DIR/syslog_index.db
// too, so that it finds nothing to do. Only the rows of the new day count.

#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include "bench/support/BenchServer.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

QByteArray syslogDatagram(long long index)
{
    // About 120 bytes, the size of a typical device log line.
    QByteArray text = QByteArrayLiteral("<134>Dec  7 12:00:00 edge-router-01 kernel: info: interface ge-0/0/1 link up, speed 1000M, seq ");
    text += QByteArray::number(index).rightJustified(10, '0');
    return text;
}

// Sender mode: paced UDP to 127.0.0.1:port, in slices of 0.2 ms, each slice
// sent with as few system calls as possible so that the sender is not what
// limits the rate.
int runSender(int port, long long count, double rate)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int sendBuffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    constexpr int batch = 64;
    std::vector<QByteArray> datagrams(batch);
    std::vector<iovec> vectors(batch);
    std::vector<mmsghdr> headers(batch);
    const auto start = Clock::now();
    for (long long sent = 0; sent < count;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const long long due = std::min<long long>(count, static_cast<long long>(elapsed * rate) + 1);
        while (sent < due) {
            const int n = int(std::min<long long>(batch, due - sent));
            for (int i = 0; i < n; ++i) {
                datagrams[i] = syslogDatagram(sent + i);
                vectors[i] = {datagrams[i].data(), size_t(datagrams[i].size())};
                headers[i] = {};
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int done = ::sendmmsg(fd, headers.data(), unsigned(n), 0);
            if (done <= 0)
                break;
            sent += done;
        }
        if (sent < count)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(fd);
    return 0;
}

int freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// A throwaway forwarding destination: a UDP socket on 127.0.0.1 read on a
// thread of its own, many datagrams per system call, counting them. It
// stands for a collector on another machine, so it runs at the lowest
// priority (SCHED_IDLE): the time it takes is not the program's to pay.
class UdpSink {
public:
    UdpSink()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int buffer = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        timeval timeout{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        reader_ = std::thread([this] { read(); });
    }
    ~UdpSink()
    {
        stop_ = true;
        reader_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    long long received() const { return received_; }

private:
    void read()
    {
        sched_param idle{};
        ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle);
        constexpr int batch = 64;
        std::vector<std::vector<char>> buffers(batch, std::vector<char>(2048));
        std::vector<iovec> vectors(batch);
        std::vector<mmsghdr> headers(batch);
        while (!stop_) {
            for (int i = 0; i < batch; ++i) {
                vectors[i] = {buffers[i].data(), buffers[i].size()};
                headers[i] = {};
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int got = ::recvmmsg(fd_, headers.data(), batch, MSG_WAITFORONE, nullptr);
            if (got > 0)
                received_ += got;
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long long> received_{0};
    std::thread reader_;
};

// 20 rules of every kind of condition, none of which matches the benchmark's
// datagrams (facility 16, severity 6, host edge-router-01, program kernel,
// "info: interface ge-0/0/1 link up, speed 1000M, seq N" from 127.0.0.1).
// Each would run a program if it fired.
QByteArray benchRules()
{
    const char* const conditions[] = {
        R"({"severity_max": 3})",
        R"({"severity_max": 5, "host": "edge-router-01"})",
        R"({"facility": 4})",
        R"({"facility": 16, "severity_max": 2})",
        R"({"address": "10.0.0.0/8"})",
        R"({"address": "192.168.1.0/24", "contains": "link"})",
        R"({"address": "fd00::/8"})",
        R"({"address": "127.0.0.2"})",
        R"({"host": "core-switch-01"})",
        R"({"host": "edge-router-02"})",
        R"({"app": "sshd"})",
        R"({"app": "kernel", "contains": "link down"})",
        R"({"contains": "DOWN"})",
        R"({"contains": "link down", "case_sensitive": false})",
        R"({"contains": "error", "case_sensitive": false})",
        R"({"regex": "link (\S+) down"})",
        R"({"regex": "(?i)speed 100M,"})",
        R"({"regex": "seq 9\d{9}$"})",
        R"({"severity_max": 6, "facility": 16, "address": "127.0.0.0/8", "host": "edge-router-01", "app": "kernel",
            "contains": "interface", "regex": "link down"})",
        R"({"contains": "ge-0/0/1", "regex": "(?i)err(or)?"})",
    };
    QByteArray json = "{\"rules\": [\n";
    int n = 0;
    for (const char* when : conditions) {
        if (n > 0)
            json += ",\n";
        json += "{\"name\": \"bench " + QByteArray::number(++n) + "\", \"cooldown\": 0, \"when\": " + when
              + ", \"actions\": [{\"run\": [\"/bin/false\"]}, {\"colour\": \"#c00000\"}]}";
    }
    return json + "\n]}\n";
}

struct RunResult {
    long long sent = 0;
    long long stored = 0;
    double elapsedSeconds = 0;
    long long peakKiB = 0;
    // With forwarding: what the sink received, and the server's closing line
    // about forwarding.
    long long sinkReceived = -1;
    QByteArray forwarding;
    // With rules: the server's closing line about them.
    QByteArray rules;
    long long lost() const { return sent - stored; }
};

RunResult runServer(const QString& programPath, long long count, double rate, bool forward, bool rules,
                    const QStringList& seedFiles)
{
    const int port = freePort();
    std::unique_ptr<UdpSink> sink = forward ? std::make_unique<UdpSink>() : nullptr;
    QTemporaryDir rulesDir;
    QStringList files = seedFiles;
    if (rules) {
        QFile file(QDir(rulesDir.path()).filePath(QStringLiteral("rules.json")));
        file.open(QIODevice::WriteOnly);
        file.write(benchRules());
        file.close();
        files << file.fileName();
    }
    BenchServer server(programPath, port,
                       sink ? QStringLiteral("forward=udp://127.0.0.1:%1\n").arg(sink->port()) : QString(),
                       files);
    const QStringList seededTables = seedFiles.isEmpty() ? QStringList() : dayTables(seedFiles.first());
    RunResult result;
    result.sent = count;
    QElapsedTimer timer;
    timer.start();
    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--send"), QString::number(port), QString::number(count), QString::number(rate)});
    sender.waitForFinished(-1);
    // The server may still be working off a backlog: its stop waits for it.
    result.peakKiB = server.stop();
    result.elapsedSeconds = timer.elapsed() / 1000.0;
    result.stored = storedRows(server.filePath(QStringLiteral("syslog.mdb")), seededTables);
    if (rules) {
        const qsizetype at = server.closingLines().lastIndexOf("rules: ");
        result.rules = at >= 0 ? server.closingLines().mid(at).split('\n').value(0) : QByteArray("no line about rules");
    }
    if (sink) {
        // What is still in flight to the sink arrives within its read timeout.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        result.sinkReceived = sink->received();
        const qsizetype at = server.closingLines().lastIndexOf("forwarding: ");
        if (at >= 0)
            result.forwarding = server.closingLines().mid(at).split('\n').value(0);
    }
    return result;
}

// The same inserts through SQLite alone, in 10-row transactions, with the
// server's settings (WAL, synchronous=NORMAL). Rows per second.
double rawSqliteRate(long long rows)
{
    QTemporaryDir dir;
    SQLite::Database db(QDir(dir.path()).filePath(QStringLiteral("raw.db")).toStdString(),
                        SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=NORMAL");
    db.exec("CREATE TABLE \"syslog-2026-12-07\" (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT CHECK (length(\"时间\") <= 24), "
            "\"IP地址\" TEXT CHECK (length(\"IP地址\") <= 16), \"信息\" TEXT)");
    SQLite::Statement insert(db, "INSERT INTO \"syslog-2026-12-07\" (\"时间\",\"IP地址\",\"信息\") VALUES (?,?,?)");
    const auto start = Clock::now();
    for (long long i = 0; i < rows; i += 10) {
        SQLite::Transaction transaction(db);
        for (long long j = i; j < i + 10 && j < rows; ++j) {
            insert.reset();
            insert.bind(1, "2026-12-07 12:00:00");
            insert.bind(2, "127.0.0.1");
            insert.bind(3, syslogDatagram(j).mid(5).toStdString());
            insert.exec();
        }
        transaction.commit();
    }
    return rows / std::chrono::duration<double>(Clock::now() - start).count();
}

void printRun(const char* label, double rate, const RunResult& r)
{
    std::printf("%-16s rate %8.0f/s  sent %9lld  stored %9lld  lost %7lld  elapsed %6.1f s  peak RSS %6.1f MB\n",
                label, rate, r.sent, r.stored, r.lost(), r.elapsedSeconds, r.peakKiB / 1024.0);
    if (r.sinkReceived >= 0)
        std::printf("%-16s sink received %lld; %s\n", "", r.sinkReceived, r.forwarding.constData());
    if (!r.rules.isEmpty())
        std::printf("%-16s %s\n", "", r.rules.constData());
    std::fflush(stdout);
}

// The search for the highest rate at which every datagram is stored: grows
// by half while runs lose nothing, then halves the interval between the
// best lossless and the worst lossy rate until they are close enough.
struct RateSearch {
    double good = 0;
    double bad = 0;
    double next = 0;
    int steps = 0;
    bool done = false;

    double within = 1.1;

    RateSearch(double start, double withinPercent) : next(start), within(1 + withinPercent / 100) {}
    void record(double rate, bool lossless)
    {
        (lossless ? good : bad) = rate;
        if (bad == 0)
            next = good * 1.5;
        else if (good == 0)
            next = bad / 1.5;
        else if (bad / good < within)
            done = true;
        else
            next = (good + bad) / 2;
        done = done || ++steps >= 12;
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--send")
        return runSender(QByteArray(argv[2]).toInt(), QByteArray(argv[3]).toLongLong(), QByteArray(argv[4]).toDouble());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Intake benchmark of the syslog server"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("count"), QStringLiteral("Datagrams per run."), QStringLiteral("N"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("rate"), QStringLiteral("Datagrams per second."), QStringLiteral("R"), QStringLiteral("50000")});
    parser.addOption({QStringLiteral("search-max"), QStringLiteral("Find the highest rate with no loss.")});
    parser.addOption({QStringLiteral("within"), QStringLiteral("Stop the search when within P percent."), QStringLiteral("P"),
                      QStringLiteral("10")});
    parser.addOption({QStringLiteral("forward"),
                      QStringLiteral("Also run everything with one UDP forwarding destination (a local sink).")});
    parser.addOption({QStringLiteral("rules"),
                      QStringLiteral("Also run everything with 20 rules that test every condition and never fire.")});
    parser.addOption({QStringLiteral("program"), QStringLiteral("Server executable."), QStringLiteral("PATH"),
                      QStringLiteral(KIV_PROGRAM_PATH)});
    parser.addOption({QStringLiteral("with-days"), QStringLiteral("Start on a copy of DIR/syslog.mdb."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("with-index"), QStringLiteral("Copy DIR/syslog_index.db too.")});
    parser.process(app);
    QStringList seedFiles;
    if (parser.isSet(QStringLiteral("with-days"))) {
        const QDir seedDir(parser.value(QStringLiteral("with-days")));
        seedFiles << seedDir.filePath(QStringLiteral("syslog.mdb"));
        if (parser.isSet(QStringLiteral("with-index")))
            seedFiles << seedDir.filePath(QStringLiteral("syslog_index.db"));
        std::printf("each run starts on a copy of %s (%lld earlier day tables)%s\n", qPrintable(seedFiles.first()),
                    static_cast<long long>(dayTables(seedFiles.first()).size()),
                    parser.isSet(QStringLiteral("with-index")) ? " and its search index" : ", without a search index");
    }
    const long long count = parser.value(QStringLiteral("count")).toLongLong();
    const double rate = parser.value(QStringLiteral("rate")).toDouble();
    const QString program = parser.value(QStringLiteral("program"));

    const double raw = rawSqliteRate(std::min<long long>(count, 500000));
    std::printf("raw SQLite, 10-row transactions: %.0f rows/s\n", raw);

    // Each variant: forwarding on, rules on.
    struct Variant {
        bool forward = false;
        bool rules = false;
    };
    std::vector<Variant> variants{{}};
    if (parser.isSet(QStringLiteral("forward")))
        variants.push_back({true, false});
    if (parser.isSet(QStringLiteral("rules")))
        variants.push_back({false, true});
    auto label = [](const Variant& variant, const char* what) {
        return QByteArray(what) + (variant.forward ? " +fwd" : "") + (variant.rules ? " +rules" : "");
    };
    std::vector<RateSearch> searches;
    for (const Variant& variant : variants) {
        const RunResult run = runServer(program, count, rate, variant.forward, variant.rules, seedFiles);
        printRun(label(variant, "fixed").constData(), rate, run);
        searches.emplace_back(rate, parser.value(QStringLiteral("within")).toDouble());
        searches.back().record(rate, run.lost() == 0);
    }

    if (parser.isSet(QStringLiteral("search-max"))) {
        // The variants take turns, so that whatever else the machine does
        // weighs on all alike.
        for (bool pending = true; pending;) {
            pending = false;
            for (std::size_t v = 0; v < variants.size(); ++v) {
                RateSearch& search = searches[v];
                if (search.done)
                    continue;
                pending = true;
                const double probeRate = search.next;
                const RunResult probe =
                    runServer(program, count, probeRate, variants[v].forward, variants[v].rules, seedFiles);
                printRun(label(variants[v], "probe").constData(), probeRate, probe);
                search.record(probeRate, probe.lost() == 0);
            }
        }
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const char* with = variants[v].forward ? " with one UDP destination"
                               : variants[v].rules ? " with 20 rules"
                                                   : "";
            std::printf("highest zero-loss rate found%s: %.0f/s (%.0f%% of the raw SQLite 10-row rate)\n", with,
                        searches[v].good, 100.0 * searches[v].good / raw);
            if (v > 0 && searches[0].good > 0)
                std::printf("%s / without: %.0f%%\n", variants[v].forward ? "with forwarding" : "with rules",
                            100.0 * searches[v].good / searches[0].good);
        }
    }
    std::printf("ratio of the run's rate to the raw SQLite 10-row rate: %.2f\n", rate / raw);
    return 0;
}
