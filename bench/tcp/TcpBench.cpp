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
// --tls runs each time twice, taking turns: over plain TCP and over TLS (a
// P-256 certificate made with the openssl command for the run, TLS 1.3, the
// sender on Qt's TLS; after its last message the sender shuts the sending
// side of the connection and waits for the server to close it, as over TCP),
// and reports each mode's worst and the ratio of the worst rates.
//
//   tcp-bench [--count N] [--connections C] [--runs R] [--tls] [--wait-before-send S] [--program PATH]
//
// --wait-before-send gives time to attach a profiler to the server (its pid
// is printed).

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include "bench/support/BenchServer.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <memory>
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

// The same over TLS, on Qt's event loop: each connection is kept supplied
// while less than 256 KiB wait to be encrypted and written.
int runTlsSender(int port, long long count, int connections)
{
    std::vector<Stream> streams(connections);
    std::vector<std::unique_ptr<QSslSocket>> sockets;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    int finished = 0;
    bool failed = false;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < connections; ++i) {
        Stream& s = streams[i];
        s.octetCounted = i % 2 == 1;
        s.next = count * i / connections;
        s.end = count * (i + 1) / connections;
        sockets.push_back(std::make_unique<QSslSocket>());
        QSslSocket* socket = sockets.back().get();
        socket->setSslConfiguration(configuration);
        const auto pump = [&s, socket] {
            if (s.shut || !socket->isEncrypted())
                return;
            while (socket->bytesToWrite() + socket->encryptedBytesToWrite() < 256 * 1024) {
                if (s.offset == s.pending.size())
                    refill(s);
                if (s.pending.isEmpty()) {
                    if (socket->bytesToWrite() == 0 && socket->encryptedBytesToWrite() == 0) {
                        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
                        s.shut = true;
                    }
                    return;
                }
                socket->write(s.pending.constData() + s.offset, s.pending.size() - s.offset);
                s.offset = s.pending.size();
            }
        };
        QObject::connect(socket, &QSslSocket::encrypted, pump);
        QObject::connect(socket, &QSslSocket::encryptedBytesWritten, pump);
        QObject::connect(socket, &QSslSocket::readyRead, [socket] { socket->readAll(); });
        QObject::connect(socket, &QSslSocket::disconnected, [&, i] {
            if (!streams[i].shut) {
                std::fprintf(stderr, "sender: connection %d closed before its end\n", i);
                failed = true;
            }
            if (++finished == connections)
                QCoreApplication::quit();
        });
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), quint16(port));
    }
    QCoreApplication::exec();
    if (failed)
        return 1;
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
    return 0;
}

// A self-signed certificate and its key (mode 0600) for the server, in dir.
bool makeCertificate(const QString& dir)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-keyout"), dir + QStringLiteral("/key.pem"), QStringLiteral("-out"),
                   dir + QStringLiteral("/cert.pem")});
    return openssl.waitForFinished(30000) && openssl.exitCode() == 0
        && QFile::setPermissions(dir + QStringLiteral("/key.pem"), QFile::ReadOwner | QFile::WriteOwner);
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

RunResult runOnce(const QString& programPath, long long count, int connections, int waitBeforeSend, bool tls)
{
    const int port = freePort();
    int sendPort = port;
    QTemporaryDir certificateDir;
    QString tlsSettings;
    if (tls) {
        sendPort = freePort();
        if (!makeCertificate(certificateDir.path())) {
            std::fprintf(stderr, "openssl could not make a certificate\n");
            return {};
        }
        tlsSettings = QStringLiteral("tlscert=%1/cert.pem\ntlskey=%1/key.pem\ntlsport=%2\n")
                          .arg(certificateDir.path())
                          .arg(sendPort);
    }
    BenchServer server(programPath, port, tlsSettings);
    if (waitBeforeSend > 0)
        QThread::sleep(waitBeforeSend);

    RunResult result;
    result.sent = count;
    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {tls ? QStringLiteral("--send-tls") : QStringLiteral("--send"), QString::number(sendPort),
                  QString::number(count), QString::number(connections)});
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
    std::printf("%-9s %d connections  sent %9lld  stored %9lld  recovered %6lld  lost %6lld  %6.2f s  %8.0f msg/s  "
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
    if (argc == 5 && QByteArray(argv[1]) == "--send-tls")
        return runTlsSender(QByteArray(argv[2]).toInt(), QByteArray(argv[3]).toLongLong(), QByteArray(argv[4]).toInt());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TCP intake benchmark of the syslog server"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("count"), QStringLiteral("Messages per run."), QStringLiteral("N"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("connections"), QStringLiteral("Connections at once."), QStringLiteral("C"),
                      QStringLiteral("10")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs; the worst is reported."), QStringLiteral("R"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("tls"), QStringLiteral("Each run over TCP and over TLS, taking turns.")});
    parser.addOption({QStringLiteral("wait-before-send"), QStringLiteral("Seconds to wait before sending."),
                      QStringLiteral("S"), QStringLiteral("0")});
    parser.addOption({QStringLiteral("program"), QStringLiteral("Server executable."), QStringLiteral("PATH"),
                      QStringLiteral(KIV_PROGRAM_PATH)});
    parser.process(app);
    const long long count = parser.value(QStringLiteral("count")).toLongLong();
    const int connections = std::max(1, parser.value(QStringLiteral("connections")).toInt());
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());

    const bool tls = parser.isSet(QStringLiteral("tls"));
    std::vector<RunResult> results[2];
    for (int i = 0; i < runs; ++i) {
        for (int mode = 0; mode < (tls ? 2 : 1); ++mode) {
            results[mode].push_back(runOnce(parser.value(QStringLiteral("program")), count, connections,
                                            parser.value(QStringLiteral("wait-before-send")).toInt(), mode == 1));
            printRun(mode == 1 ? "tls" : "tcp", connections, results[mode].back());
        }
    }
    bool allStored = true;
    double worstRate[2] = {0, 0};
    for (int mode = 0; mode < (tls ? 2 : 1); ++mode) {
        RunResult worst = results[mode].front();
        for (const RunResult& r : results[mode]) {
            worst.stored = std::min(worst.stored, r.stored);
            worst.recovered = std::min(worst.recovered, r.recovered);
            worst.sendSeconds = std::max(worst.sendSeconds, r.sendSeconds);
            worst.peakKiB = std::max(worst.peakKiB, r.peakKiB);
            worst.serverCpuSeconds = std::max(worst.serverCpuSeconds, r.serverCpuSeconds);
            worst.ok = worst.ok && r.ok;
            allStored = allStored && r.ok && r.stored == r.sent;
        }
        // Each figure at its worst over the runs.
        printRun(mode == 1 ? "worst tls" : "worst tcp", connections, worst);
        worstRate[mode] = worst.rate();
    }
    if (tls)
        std::printf("TLS rate / TCP rate, worst of each: %.0f%%\n", worstRate[0] > 0 ? 100 * worstRate[1] / worstRate[0] : 0);
    return allStored ? 0 : 1;
}
