// TCP intake benchmark.
//
// Starts the real server (offscreen, in a temporary program directory, on a
// free port), and from a separate process sends it N syslog messages of about
// 120 bytes over C connections at once, as fast as the server takes them
// (half the connections octet-counted, half ended by LF). The sender then
// ends each connection and waits until the server has closed it, which it
// does once it has handled every message before the end. The server is then
// stopped with SIGTERM and the rows in its database counted. Reports sent,
// stored, the rate (messages per second from the first byte sent to the last
// connection closed), the processor time the server used until then and its
// peak resident memory; with --runs R it
// repeats and reports each figure at its worst over the runs.
//
//   tcp-bench [--count N] [--connections C] [--runs R] [--wait-before-send S] [--program PATH]
//
// --wait-before-send gives time to attach a profiler to the server (its pid
// is printed).

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include "bench/support/BenchServer.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray syslogMessage(long long index)
{
    // About 120 bytes, the size of a typical device log line.
    QByteArray text = QByteArrayLiteral("<134>Dec  7 12:00:00 edge-router-01 kernel: info: interface ge-0/0/1 link up, speed 1000M, seq ");
    text += QByteArray::number(index).rightJustified(10, '0');
    return text;
}

// One connection of the sender: its share of the messages, framed on the fly.
struct Stream {
    int fd = -1;
    bool octetCounted = false;
    long long next = 0;   // index of the next message to frame
    long long end = 0;    // one past its last message
    QByteArray pending;   // framed, not yet written
    qsizetype offset = 0; // of pending, already written
    bool finished = false; // the server closed it after the end
    bool shut = false;
};

void refill(Stream& s)
{
    s.pending.clear();
    s.offset = 0;
    while (s.next < s.end && s.pending.size() < 64 * 1024) {
        const QByteArray message = syslogMessage(s.next++);
        if (s.octetCounted)
            s.pending += QByteArray::number(message.size()) + ' ' + message;
        else
            s.pending += message + '\n';
    }
}

// Sender mode: prints the seconds from the first byte to the last close.
int runSender(int port, long long count, int connections)
{
    std::vector<Stream> streams(connections);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < connections; ++i) {
        Stream& s = streams[i];
        s.fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            std::perror("connect");
            return 1;
        }
        s.octetCounted = i % 2 == 1;
        s.next = count * i / connections;
        s.end = count * (i + 1) / connections;
    }
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Stream*> owners;
        for (Stream& s : streams) {
            if (s.finished)
                continue;
            fds.push_back({s.fd, short(s.shut ? POLLIN : POLLOUT), 0});
            owners.push_back(&s);
        }
        if (fds.empty())
            break;
        if (::poll(fds.data(), fds.size(), 30000) <= 0) {
            std::fprintf(stderr, "sender: no progress for 30 s\n");
            return 1;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            Stream& s = *owners[i];
            if (s.shut) {
                char byte;
                if (fds[i].revents && ::read(s.fd, &byte, 1) <= 0) {
                    s.finished = true;
                    ::close(s.fd);
                }
                continue;
            }
            if (!(fds[i].revents & (POLLOUT | POLLERR | POLLHUP)))
                continue;
            if (s.offset == s.pending.size())
                refill(s);
            if (s.pending.isEmpty()) {
                ::shutdown(s.fd, SHUT_WR);
                s.shut = true;
                continue;
            }
            const ssize_t written = ::send(s.fd, s.pending.constData() + s.offset, s.pending.size() - s.offset, MSG_NOSIGNAL);
            if (written < 0 && errno != EAGAIN && errno != EINTR) {
                std::perror("send");
                return 1;
            }
            if (written > 0)
                s.offset += written;
        }
    }
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
    return 0;
}

int freePort()
{
    for (;;) {
        QUdpSocket probe;
        probe.bind(QHostAddress::AnyIPv4, 0);
        QTcpServer tcp;
        if (tcp.listen(QHostAddress::AnyIPv4, probe.localPort()))
            return probe.localPort();
    }
}

long long recoveredLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

struct RunResult {
    long long sent = 0;
    long long stored = 0;
    long long recovered = 0;
    double sendSeconds = 0;
    long long peakKiB = 0;
    double serverCpuSeconds = 0; // up to the last connection closed
    bool ok = false;
    double rate() const { return sendSeconds > 0 ? sent / sendSeconds : 0; }
};

RunResult runOnce(const QString& programPath, long long count, int connections, int waitBeforeSend)
{
    const int port = freePort();
    BenchServer server(programPath, port);
    if (waitBeforeSend > 0)
        QThread::sleep(waitBeforeSend);

    RunResult result;
    result.sent = count;
    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--send"), QString::number(port), QString::number(count), QString::number(connections)});
    sender.waitForFinished(-1);
    result.ok = sender.exitCode() == 0;
    result.sendSeconds = sender.readAllStandardOutput().trimmed().toDouble();
    std::fprintf(stderr, "%s", sender.readAllStandardError().constData());
    result.serverCpuSeconds = cpuSeconds(server.pid());
    result.peakKiB = server.stop();
    result.stored = storedRows(server.filePath(QStringLiteral("syslog.mdb")));
    result.recovered = recoveredLines(server.filePath(QStringLiteral("syslog_recovery.log")));
    return result;
}

void printRun(const char* label, int connections, const RunResult& r)
{
    std::printf("%-6s %d connections  sent %9lld  stored %9lld  recovered %6lld  lost %6lld  %6.2f s  %8.0f msg/s  "
                "peak RSS %6.1f MB  server CPU %5.1f s%s\n",
                label, connections, r.sent, r.stored, r.recovered, r.sent - r.stored - r.recovered, r.sendSeconds,
                r.rate(), r.peakKiB / 1024.0, r.serverCpuSeconds, r.ok ? "" : "  (sender failed)");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--send")
        return runSender(QByteArray(argv[2]).toInt(), QByteArray(argv[3]).toLongLong(), QByteArray(argv[4]).toInt());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TCP intake benchmark of the syslog server"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("count"), QStringLiteral("Messages per run."), QStringLiteral("N"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("connections"), QStringLiteral("Connections at once."), QStringLiteral("C"),
                      QStringLiteral("10")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs; the worst is reported."), QStringLiteral("R"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("wait-before-send"), QStringLiteral("Seconds to wait before sending."),
                      QStringLiteral("S"), QStringLiteral("0")});
    parser.addOption({QStringLiteral("program"), QStringLiteral("Server executable."), QStringLiteral("PATH"),
                      QStringLiteral(KIV_PROGRAM_PATH)});
    parser.process(app);
    const long long count = parser.value(QStringLiteral("count")).toLongLong();
    const int connections = std::max(1, parser.value(QStringLiteral("connections")).toInt());
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());

    std::vector<RunResult> results;
    for (int i = 0; i < runs; ++i) {
        results.push_back(runOnce(parser.value(QStringLiteral("program")), count, connections,
                                  parser.value(QStringLiteral("wait-before-send")).toInt()));
        printRun("run", connections, results.back());
    }
    RunResult worst = results.front();
    for (const RunResult& r : results) {
        worst.stored = std::min(worst.stored, r.stored);
        worst.recovered = std::min(worst.recovered, r.recovered);
        worst.sendSeconds = std::max(worst.sendSeconds, r.sendSeconds);
        worst.peakKiB = std::max(worst.peakKiB, r.peakKiB);
        worst.serverCpuSeconds = std::max(worst.serverCpuSeconds, r.serverCpuSeconds);
        worst.ok = worst.ok && r.ok;
    }
    // Each figure at its worst over the runs.
    printRun("worst", connections, worst);
    for (const RunResult& r : results)
        if (!r.ok || r.stored != r.sent)
            return 1;
    return 0;
}
