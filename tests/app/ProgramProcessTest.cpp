#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include "tests/support/UdpPorts.h"

#include <map>
#include <atomic>
#include <thread>

#include <QRegularExpression>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>

using namespace Qt::StringLiterals;

// The real program, started in a temporary program directory of its own with
// a temporary configuration directory, on a free port.
class ProgramProcess {
public:
    ProgramProcess()
    {
        program_ = QDir(programDir_.path()).filePath(QStringLiteral("kiv-syslog"));
        QFile::copy(QStringLiteral(KIV_PROGRAM_PATH), program_);
        QFile::setPermissions(program_, QFile::permissions(QStringLiteral(KIV_PROGRAM_PATH)));
        port_ = unusedUdpPort();
        QFile conf(QDir(configHome_.path()).filePath(QStringLiteral("varare.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[General]\nport=%1\n").arg(port_).toUtf8());
    }

    QProcess* start(const QStringList& arguments = {})
    {
        auto* process = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome_.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), configHome_.path());
        env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        process->setProcessEnvironment(env);
        process->start(program_, arguments);
        processes_.emplace_back(process);
        return process;
    }

    // Waits until the program has written its startup line (it is listening then).
    static bool waitUntilListening(QProcess* process)
    {
        return waitForOutput(process, "UDP port");
    }

    // Collects the program's standard error until it contains the text.
    static bool waitForOutput(QProcess* process, const QByteArray& text)
    {
        process->setReadChannel(QProcess::StandardError);
        QByteArray& seen = output_[process];
        while (!seen.contains(text)) {
            if (!process->waitForReadyRead(20000))
                return false;
            seen += process->readAllStandardError();
        }
        return true;
    }

    int port() const { return port_; }
    QString configFile() const { return QDir(configHome_.path()).filePath(QStringLiteral("varare.conf")); }
    QString recoveryPath() const { return QDir(programDir_.path()).filePath(QStringLiteral("syslog_recovery.log")); }
    static QByteArray output(QProcess* process)
    {
        output_[process] += process->readAllStandardError();
        return output_[process];
    }
    QString dbPath() const { return QDir(programDir_.path()).filePath(QStringLiteral("syslog.mdb")); }

    ~ProgramProcess()
    {
        for (auto& process : processes_)
            output_.erase(process.get());
        for (auto& process : processes_) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished();
            }
        }
    }

private:
    QTemporaryDir programDir_;
    QTemporaryDir configHome_;
    QString program_;
    int port_ = 0;
    std::vector<std::unique_ptr<QProcess>> processes_;
    static inline std::map<QProcess*, QByteArray> output_;
};

TEST(Program, SigtermStoresWhatArrivedAndExitsWithStatusZero)
{
    ProgramProcess program;
    QProcess* server = program.start();
    ASSERT_TRUE(ProgramProcess::waitUntilListening(server)) << server->readAllStandardError().toStdString();

    QUdpSocket sender;
    for (int i = 0; i < 20; ++i)
        sender.writeDatagram(QByteArray("<13>host: info: burst ") + QByteArray::number(i), QHostAddress::LocalHost,
                             program.port());
    server->terminate(); // SIGTERM
    ASSERT_TRUE(server->waitForFinished(20000));
    EXPECT_EQ(server->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server->exitCode(), 0);

    SQLite::Database db(program.dbPath().toStdString());
    SQLite::Statement count(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    ASSERT_TRUE(count.executeStep());
    EXPECT_EQ(count.getColumn(0).getInt(), 1);
    SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
    ASSERT_TRUE(tables.executeStep());
    const std::string table = tables.getColumn(0).getString();
    SQLite::Statement rows(db, "SELECT count(*) FROM \"" + table + "\"");
    ASSERT_TRUE(rows.executeStep());
    EXPECT_EQ(rows.getColumn(0).getInt(), 20);
}

TEST(Program, SecondCopyIsRefusedAndTheFirstKeepsItsPort)
{
    ProgramProcess program;
    QProcess* first = program.start();
    ASSERT_TRUE(ProgramProcess::waitUntilListening(first));

    // Without a screen the refusal is printed instead of shown in a box.
    QProcess* second = program.start();
    EXPECT_TRUE(ProgramProcess::waitForOutput(second, "程序已经在运行，不支持多开！"));
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_NE(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);

    QUdpSocket sender;
    sender.writeDatagram(QByteArray("<13>host: info: still here"), QHostAddress::LocalHost, program.port());
    first->terminate();
    ASSERT_TRUE(first->waitForFinished(20000));
    EXPECT_EQ(first->exitCode(), 0);
}

TEST(Program, HeadlessNamesTcpBesideUdpAndTheSettingToChangeWhenThePortIsBusy)
{
    ProgramProcess program;
    {
        QUdpSocket holder;
        ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, quint16(program.port())));
        QProcess* refused = program.start({u"--headless"_s});
        ASSERT_TRUE(refused->waitForFinished(20000));
        EXPECT_EQ(refused->exitCode(), 1);
        const QString said = QString::fromUtf8(ProgramProcess::output(refused));
        EXPECT_TRUE(said.contains(u"UDP port %1 cannot be bound"_s.arg(program.port()))) << said.toStdString();
        EXPECT_TRUE(said.contains(u"set \"port\" in the [General] section of "_s + program.configFile()))
            << said.toStdString();
        EXPECT_FALSE(said.contains(u"F2"_s)) << said.toStdString();
    }
    // TCP is on by default; another program may hold its port, which the line then says.
    QProcess* running = program.start({u"--headless"_s});
    ASSERT_TRUE(ProgramProcess::waitForOutput(running, "receive buffer"));
    const QString startup = QString::fromUtf8(ProgramProcess::output(running));
    EXPECT_TRUE(startup.contains(u"listening on UDP and TCP port %1;"_s.arg(program.port()))
                || startup.contains(u"listening on UDP port %1 (not TCP"_s.arg(program.port())))
        << startup.toStdString();
    running->terminate();
    ASSERT_TRUE(running->waitForFinished(20000));

    QProcess help;
    help.start(QStringLiteral(KIV_PROGRAM_PATH), {u"--help"_s});
    ASSERT_TRUE(help.waitForFinished(20000));
    EXPECT_TRUE(help.readAllStandardOutput().contains("over UDP and over TCP"));
}

namespace {

// What the program's closing line says became of everything it received.
struct Summary {
    qint64 read = -1, received = -1, stored = -1, recovered = -1, lost = -1, kernelDropped = -1, waitingDropped = -1;
};

Summary closingSummary(const QByteArray& output)
{
    static const QRegularExpression line(QStringLiteral(
        R"(stopped: (\d+) datagrams read; (\d+) records received, (\d+) stored, (\d+) in .*, (\d+) lost; )"
        R"(\d+ datagrams dropped \((\d+) by the kernel, (\d+) waiting\))"));
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(output));
    if (!m.hasMatch())
        return {};
    return {m.captured(1).toLongLong(), m.captured(2).toLongLong(), m.captured(3).toLongLong(),
            m.captured(4).toLongLong(), m.captured(5).toLongLong(), m.captured(6).toLongLong(),
            m.captured(7).toLongLong()};
}

qint64 storedRows(const QString& dbPath)
{
    SQLite::Database db(dbPath.toStdString());
    SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
    qint64 rows = 0;
    while (tables.executeStep()) {
        SQLite::Statement count(db, "SELECT count(*) FROM \"" + tables.getColumn(0).getString() + "\"");
        if (count.executeStep())
            rows += count.getColumn(0).getInt64();
    }
    return rows;
}

qint64 lineCount(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count("\r\n") : 0;
}

qint64 peakResidentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& entry : status.readAll().split('\n'))
        if (entry.startsWith("VmHWM:"))
            return entry.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Sends datagrams to 127.0.0.1:port as fast as it can until stopped or count is reached.
class FloodSender {
public:
    FloodSender(int port, qint64 count, QByteArray (*make)(qint64)) : thread_([=, this] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(quint16(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (qint64 i = 0; i < count && !stop_; ++i) {
            const QByteArray datagram = make(i);
            if (::sendto(fd, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to) == datagram.size())
                ++sent_;
        }
        ::close(fd);
        done_ = true;
    })
    {
    }
    ~FloodSender() { finish(); }
    void finish()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    qint64 sent() const { return sent_; }
    bool done() const { return done_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<qint64> sent_{0};
    std::thread thread_;
};

} // namespace

TEST(Program, SigtermInTheMiddleOfABurstStoresEveryDatagramItRead)
{
    ProgramProcess program;
    QProcess* server = program.start();
    ASSERT_TRUE(ProgramProcess::waitUntilListening(server));

    FloodSender flood(program.port(), 300000, [](qint64 i) {
        return QByteArrayLiteral("<13>host info: burst message number ") + QByteArray::number(i);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return flood.sent() >= 50000 || flood.done(); }, 20000));
    server->terminate(); // SIGTERM while the burst goes on
    ASSERT_TRUE(server->waitForFinished(60000));
    flood.finish();
    EXPECT_EQ(server->exitCode(), 0);

    const Summary summary = closingSummary(ProgramProcess::output(server));
    ASSERT_GT(summary.read, 0) << ProgramProcess::output(server).toStdString();
    EXPECT_EQ(summary.waitingDropped, 0);
    // Every datagram read was handled, and each record went somewhere, once.
    EXPECT_EQ(summary.received, summary.read);
    EXPECT_EQ(summary.lost, 0);
    EXPECT_EQ(storedRows(program.dbPath()), summary.stored);
    EXPECT_EQ(lineCount(program.recoveryPath()), summary.recovered);
    EXPECT_EQ(summary.stored + summary.recovered, summary.read);
}

TEST(Program, AFloodOfTheLargestDatagramsKeepsMemoryBoundedAndCountsEveryDrop)
{
    ProgramProcess program;
    QProcess* server = program.start();
    ASSERT_TRUE(ProgramProcess::waitUntilListening(server));

    constexpr qint64 count = 4000; // 256 MB
    FloodSender flood(program.port(), count, [](qint64 i) {
        QByteArray datagram = QByteArrayLiteral("<13>host info: large ") + QByteArray::number(i) + ' ';
        datagram.append(64000 - datagram.size(), 'x');
        return datagram;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return flood.done(); }, 60000));
    flood.finish();
    const qint64 peakKiB = peakResidentKiB(server->processId());
    server->terminate();
    ASSERT_TRUE(server->waitForFinished(60000));

    EXPECT_LT(peakKiB, 150 * 1024);
    const Summary summary = closingSummary(ProgramProcess::output(server));
    ASSERT_GT(summary.read, 0) << ProgramProcess::output(server).toStdString();
    EXPECT_EQ(summary.read + summary.kernelDropped, flood.sent()) << ProgramProcess::output(server).toStdString();
    EXPECT_EQ(summary.received + summary.waitingDropped, summary.read);
    EXPECT_EQ(summary.stored + summary.recovered, summary.received);
}

TEST(Program, ExportWritesCsvForScriptsAndExitsWithTwoOnAnythingWrong)
{
    QTemporaryDir dir;
    {
        SQLite::Database db(QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")).toStdString(),
                            SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        for (const char* day : {"2026-12-02", "2026-12-01"}) {
            const std::string table = std::string("\"syslog-") + day + "\"";
            db.exec("CREATE TABLE " + table + " (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT, \"IP地址\" TEXT, \"信息\" TEXT)");
            db.exec("INSERT INTO " + table + " VALUES (NULL, '" + day + " 10:00:00', '10.0.0.1', 'link, \"up\" 50%')");
            db.exec("INSERT INTO " + table + " VALUES (NULL, '" + day + " 10:00:01', '10.0.0.22', '端口 down')");
        }
        db.exec("CREATE TABLE \"syslog-2026-12-03\" (\"ID\" INTEGER PRIMARY KEY, \"时间\" TEXT, \"IP地址\" TEXT, "
                "\"信息\" TEXT)");
        db.exec("INSERT INTO \"syslog-2026-12-03\" VALUES (NULL, '2026-12-03 10:00:00', '10.0.0.1', "
                "'=cmd|'' /C calc''!A0 info')");
    }
    auto run = [&](const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(KIV_PROGRAM_PATH), arguments);
        process.waitForFinished(20000);
        return std::pair{process.exitCode(), process.readAllStandardOutput()};
    };

    const auto [status, csv] = run({u"--export"_s, u"all"_s, u"--keyword"_s, u"50%"_s, u"--dir"_s, dir.path()});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(csv, QByteArray("\xEF\xBB\xBF") + QStringLiteral("时间,IP地址,信息\r\n").toUtf8()
                       + "2026-12-01 10:00:00,10.0.0.1,\"link, \"\"up\"\" 50%\"\r\n"
                       + "2026-12-02 10:00:00,10.0.0.1,\"link, \"\"up\"\" 50%\"\r\n");
    EXPECT_EQ(run({u"--export"_s, u"2026-12-01"_s, u"--ip"_s, u"0.2_"_s, u"--dir"_s, dir.path()}).second.count("\r\n"),
              2);
    // A message a spreadsheet would run as a formula opens as text.
    EXPECT_TRUE(run({u"--export"_s, u"2026-12-03"_s, u"--dir"_s, dir.path()})
                    .second.endsWith("\r\n2026-12-03 10:00:00,10.0.0.1,'=cmd|' /C calc'!A0 info\r\n"));
    EXPECT_EQ(run({u"--export"_s, u"2026-13-01"_s, u"--dir"_s, dir.path()}).first, 2);
    EXPECT_EQ(run({u"--export"_s, u"2026-11-30"_s, u"--dir"_s, dir.path()}).first, 2);
    QTemporaryDir empty;
    EXPECT_EQ(run({u"--export"_s, u"all"_s, u"--dir"_s, empty.path()}).first, 2);
    EXPECT_FALSE(QFile::exists(QDir(empty.path()).filePath(QStringLiteral("syslog.mdb"))));
    EXPECT_EQ(run({u"--export"_s}).first, 2);
    EXPECT_EQ(run({u"--no-such-option"_s}).first, 2);
}
