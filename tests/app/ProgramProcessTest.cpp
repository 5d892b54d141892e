#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include "UdpPorts.h"

#include <map>

#include <SQLiteCpp/SQLiteCpp.h>

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

    QProcess* start()
    {
        auto* process = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome_.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), configHome_.path());
        env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
        process->setProcessEnvironment(env);
        process->start(program_, {});
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
    QString dbPath() const { return QDir(programDir_.path()).filePath(QStringLiteral("syslog.mdb")); }

    ~ProgramProcess()
    {
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
