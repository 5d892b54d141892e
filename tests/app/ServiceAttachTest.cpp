#include "app/AttachedWindowSettings.h"
#include "app/ui/ClickableLabel.h"
#include "app/ui/MainWindow.h"
#include "cleaner/ui/CleanerWindow.h"
#include "intake/ReceiverHost.h"
#include "intake/ReceiverLink.h"
#include "intake/ui/StatusCaption.h"
#include "platform/Language.h"
#include "platform/SingleInstance.h"
#include "platform/SqliteEngine.h"
#include "platform/ui/ExtentListWidget.h"
#include "tests/support/Fakes.h"
#include "tests/support/UdpPorts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// Starts the real program offscreen with the given configuration and
// runtime directories and collects its standard error until it says waitFor.
bool startProgram(QProcess& process, const QStringList& arguments, const QString& configDir, const QString& runtimeDir,
                  QByteArray& output, const QByteArray& waitFor,
                  const QString& program = QStringLiteral(KIV_PROGRAM_PATH))
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    process.setProcessEnvironment(env);
    process.setReadChannel(QProcess::StandardError);
    output.clear();
    process.start(program, arguments);
    while (!output.contains(waitFor)) {
        if (!process.waitForReadyRead(20000))
            return false;
        output += process.readAllStandardError();
    }
    return true;
}

// The real service program (kiv-syslogd, or kiv-syslog --headless) on a data
// directory of its own, with its own configuration and runtime directories,
// on a free port.
class Service {
public:
    explicit Service(bool windowProgram = false) : windowProgram_(windowProgram), port_(unusedUdpPort())
    {
        QFile conf(configFile());
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[General]\nport=%1\n").arg(port_).toUtf8());
    }
    ~Service()
    {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished();
        }
    }

    // Starts it and waits until windows can attach.
    bool start()
    {
        process_ = std::make_unique<QProcess>();
        QProcess& process = *process_;
        if (windowProgram_)
            return startProgram(process, {QStringLiteral("--headless"), QStringLiteral("--dir"), dataDir()},
                                config_.path(), runtimeDir(), output_, "windows attach on");
        return startProgram(process, {QStringLiteral("--dir"), dataDir()}, config_.path(), runtimeDir(), output_,
                            "windows attach on", QStringLiteral(KIV_SERVICE_PATH));
    }
    // SIGSTOP, and back with SIGCONT: true once the process is stopped or runs.
    bool pause(bool paused)
    {
        ::kill(pid_t(process_->processId()), paused ? SIGSTOP : SIGCONT);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process_->processId()));
        return QTest::qWaitFor([&] {
            stat.open(QIODevice::ReadOnly);
            const bool stopped = stat.readAll().split(' ').value(2) == "T";
            stat.close();
            return stopped == paused;
        }, 10000);
    }
    // SIGTERM; true when it stored everything and exited with status 0.
    bool stop()
    {
        process_->terminate();
        return process_->waitForFinished(20000) && process_->exitCode() == 0;
    }
    bool running() const { return process_ && process_->state() == QProcess::Running; }

    void send(const QByteArray& message) const
    {
        QUdpSocket sender;
        sender.writeDatagram(message, QHostAddress::LocalHost, quint16(port_));
    }
    QString dataDir() const { return data_.path(); }
    // Where its single-instance lock is.
    QString runtimeDir() const { return config_.path(); }
    QString configFile() const { return QDir(config_.path()).filePath(QStringLiteral("varare.conf")); }
    QString setting(const QString& name) const { return QSettings(configFile(), QSettings::IniFormat).value(name).toString(); }
    int port() const { return port_; }
    QByteArray output() { return output_ += process_->readAllStandardError(); }

    qint64 storedRows(const QString& like) const
    {
        SQLite::Database db(QDir(data_.path()).filePath(QStringLiteral("syslog.mdb")).toStdString());
        SQLite::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
        qint64 rows = 0;
        while (tables.executeStep()) {
            SQLite::Statement count(db, "SELECT count(*) FROM \"" + tables.getColumn(0).getString()
                                            + "\" WHERE 信息 LIKE ?");
            count.bind(1, like.toStdString());
            if (count.executeStep())
                rows += count.getColumn(0).getInt64();
        }
        return rows;
    }

private:
    bool windowProgram_;
    QTemporaryDir data_;
    QTemporaryDir config_;
    int port_;
    std::unique_ptr<QProcess> process_;
    QByteArray output_;
};

class HeldByService final : public SingleInstance {
public:
    bool tryAcquire() override { return true; }
};

// The main window attached to the service, with scripted dialogs and a
// watchdog that ticks when the test says so.
struct AttachedWindow {
    explicit AttachedWindow(const QString& dataDir)
    {
        auto timer = std::make_unique<FakeTimer>();
        ping = timer.get();
        useLanguage(Language::English);
        link = std::make_unique<ReceiverLink>(std::move(timer));
        QSignalSpy attachedSpy(link.get(), &ReceiverLink::attached);
        link->attachToService(ReceiverHost::socketPath(dataDir));
        attached = attachedSpy.wait(20000);
        settings.values[QStringLiteral("port")] = QString::number(link->receiver().listeningPort());
        settings.values[QStringLiteral("msgfilter")] = QString::number(link->receiver().filterOn());
        window = std::make_unique<MainWindow>(Services{clock, dialogs, clipboard, fileChooser, shell, settings, instance,
                                                       *link, readEngine, dataDir});
    }
    ~AttachedWindow() { window->shutDown(); }

    bool start()
    {
        QSignalSpy ended(window.get(), &MainWindow::startupEnded);
        window->start();
        return (!ended.isEmpty() || ended.wait(20000)) && ended.at(0).at(0).toBool();
    }
    // One turn of the watchdog for each tick.
    void tick(int ticks)
    {
        for (int i = 0; i < ticks; ++i)
            ping->tick();
    }

    QStringList lines() const
    {
        auto* list = window->findChild<ExtentListWidget*>(QStringLiteral("txtoutput"));
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    }
    bool showsLine(const QString& text) const
    {
        return QTest::qWaitFor([&] { return lines().filter(text).size() == 1; }, 20000);
    }
    QString status() const { return window->findChild<ClickableLabel*>(QStringLiteral("过滤信息"))->text(); }

    SystemClock clock;
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeFileChooser fileChooser;
    FakeShell shell;
    HeldByService instance;
    FakeSettingsStore settings;
    SqliteEngine readEngine{2000};
    FakeTimer* ping = nullptr;
    std::unique_ptr<ReceiverLink> link;
    std::unique_ptr<MainWindow> window;
    bool attached = false;
};

bool portIsFree(int port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv4, quint16(port), QAbstractSocket::DontShareAddress);
}

} // namespace

TEST(AttachedWindow, ShowsLiveLinesSwitchesTheServicesFilterAndCleansThroughTheService)
{
    Service service;
    ASSERT_TRUE(service.start());
    AttachedWindow app(service.dataDir());
    ASSERT_TRUE(app.attached);
    ASSERT_TRUE(app.start());
    EXPECT_TRUE(app.dialogs.messages.isEmpty()) << app.dialogs.messages.join(u'\n').toStdString();
    EXPECT_EQ(app.window->filterEnabled(), 1);

    // It says it is a view of the service, which goes on without it.
    const QString dir = QDir::toNativeSeparators(service.dataDir());
    EXPECT_EQ(app.window->windowTitle(), u"KIV Syslog Server — attached to the service in "_s + dir);
    EXPECT_TRUE(app.window->findChild<ClickableLabel*>(QStringLiteral("过滤信息"))
                    ->toolTip()
                    .endsWith(u"\nAttached to the service in "_s + dir + u": closing this window leaves it receiving."_s));

    service.send("<13>host: info: live one");
    ASSERT_TRUE(app.showsLine(QStringLiteral("info: live one")));

    // F3 switches the service's filter and the service stores it; F2 and F3
    // act once a press on the focused list.
    app.window->show();
    app.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.window.get()));
    auto* list = app.window->findChild<ExtentListWidget*>(QStringLiteral("txtoutput"));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_F2); // cancelled
    EXPECT_EQ(app.dialogs.prompts.size(), 1);
    EXPECT_EQ(app.dialogs.messages, QStringList{QStringLiteral("已取消修改端口！")});
    QTest::keyClick(list, Qt::Key_F3);
    EXPECT_EQ(app.window->filterEnabled(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.setting(QStringLiteral("msgfilter")) == u"0"_s; }, 10000));
    service.send("<13>host: plain words");
    ASSERT_TRUE(app.showsLine(QStringLiteral("plain words")));

    // The cleaner opens once the service has given the port and the database
    // up, and the service takes them back when the cleaner closes.
    app.window->openCleaner();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.window->cleanerWindow() != nullptr; }, 10000));
    EXPECT_TRUE(portIsFree(service.port()));
    app.window->cleanerWindow()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portIsFree(service.port()); }, 10000));
    service.send("<13>host: info: after cleaning");
    ASSERT_TRUE(app.showsLine(QStringLiteral("info: after cleaning")));

    // Closing the window leaves the service receiving.
    app.window->shutDown();
    service.send("<13>host: info: window gone");
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.output().contains(" 1 detached"); }, 10000))
        << service.output().toStdString();
    ASSERT_TRUE(service.stop());
    EXPECT_EQ(service.storedRows(QStringLiteral("%live one%")), 1);
    EXPECT_EQ(service.storedRows(QStringLiteral("%plain words%")), 1);
    EXPECT_EQ(service.storedRows(QStringLiteral("%after cleaning%")), 1);
    EXPECT_EQ(service.storedRows(QStringLiteral("%window gone%")), 1);
}

TEST(AttachedWindow, SaysTheServiceIsGoneKeepsItsLinesAndAttachesAgainWhenItIsBackStillCleaning)
{
    Service service(true); // kiv-syslog --headless
    ASSERT_TRUE(service.start());
    AttachedWindow app(service.dataDir());
    ASSERT_TRUE(app.attached && app.start());
    service.send("<13>host: info: before restart");
    ASSERT_TRUE(app.showsLine(QStringLiteral("before restart")));
    app.window->openCleaner();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.window->cleanerWindow() != nullptr; }, 10000));

    ASSERT_TRUE(service.stop());
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.status().contains(QStringLiteral("service disconnected")); }, 10000))
        << app.status().toStdString();
    app.window->toggleMessageFilter(); // says it cannot
    EXPECT_EQ(app.dialogs.messages.filter(QStringLiteral("The service is not reachable")).size(), 1);
    EXPECT_EQ(app.window->filterEnabled(), 1);

    // Back: the window attaches again by itself and, the cleaner being open,
    // has the new service give the port and the database up.
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.link->isAttached() && portIsFree(service.port()); }, 20000));
    app.window->cleanerWindow()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portIsFree(service.port()); }, 10000));
    service.send("<13>host: info: after restart");
    ASSERT_TRUE(app.showsLine(QStringLiteral("after restart")));
    EXPECT_EQ(app.lines().filter(QStringLiteral("before restart")).size(), 1) << app.lines().join(u'\n').toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app.status().contains(QStringLiteral("service disconnected")); }, 10000));
}

TEST(AttachedWindow, AStoppedServiceIsToldAndRefusedWithoutHoldingTheWindowThenAnswersAgain)
{
    Service service;
    ASSERT_TRUE(service.start());
    AttachedWindow app(service.dataDir());
    ASSERT_TRUE(app.attached && app.start());
    QSignalSpy answering(app.link.get(), &ReceiverLink::answering);

    ASSERT_TRUE(service.pause(true));
    // Asked before the window noticed: it waits for the service, not the window.
    app.window->toggleMessageFilter();
    EXPECT_EQ(app.window->filterEnabled(), 0);
    app.tick(1 + ReceiverLink::kSilentTicks);
    ASSERT_EQ(answering.size(), 1);
    EXPECT_FALSE(answering.at(0).at(0).toBool());
    EXPECT_EQ(app.status(), serviceSilentCaption());
    // Asked once it is known: refused at once, with a message.
    app.window->changeServicePort();
    app.window->openCleaner();
    EXPECT_EQ(app.dialogs.messages.filter(QStringLiteral("does not answer")).size(), 2)
        << app.dialogs.messages.join(u'\n').toStdString();
    EXPECT_TRUE(app.dialogs.prompts.isEmpty());
    EXPECT_EQ(app.window->cleanerWindow(), nullptr);

    ASSERT_TRUE(service.pause(false));
    app.tick(1);
    ASSERT_TRUE(answering.wait(10000));
    EXPECT_TRUE(answering.at(1).at(0).toBool());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.setting(QStringLiteral("msgfilter")) == u"0"_s; }, 10000));
    service.send("<13>host: plain words once it answers");
    ASSERT_TRUE(app.showsLine(QStringLiteral("once it answers")));
}

TEST(AttachedWindow, TheProgramOpensAsAViewOfTheRunningServiceAndLeavesItRunning)
{
    Service service;
    ASSERT_TRUE(service.start());
    QProcess program;
    QTemporaryDir home;
    QByteArray said;
    // Same runtime directory: the service holds the directory's lock.
    ASSERT_TRUE(startProgram(program, {QStringLiteral("--dir"), service.dataDir()}, home.path(), service.runtimeDir(),
                             said, "UDP port"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("attached to the service")) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("UDP port %1").arg(service.port()).toUtf8())) << said.toStdString();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 0);

    EXPECT_TRUE(service.running());
    service.send("<13>host: info: still received");
    ASSERT_TRUE(service.stop());
    EXPECT_EQ(service.storedRows(QStringLiteral("%still received%")), 1);
}

TEST(AttachedWindow, KeepsTheUsersOwnChoicesAndLeavesTheServicesSettingsToTheService)
{
    FakeSettingsStore own;
    own.values = {{u"port"_s, u"5514"_s}, {u"msgfilter"_s, u"0"_s}, {u"fieldsview"_s, u"1"_s}};
    AttachedWindowSettings settings(514, 1, own);
    // The fields view remembered from the user's last window is shown again.
    EXPECT_EQ(settings.read(u"fieldsview"_s), u"1"_s);
    EXPECT_EQ(settings.read(u"port"_s), u"514"_s);
    EXPECT_EQ(settings.read(u"msgfilter"_s), u"1"_s);
    ASSERT_TRUE(settings.write(u"fieldsview"_s, u"0"_s));
    ASSERT_TRUE(settings.write(u"port"_s, u"6000"_s));
    EXPECT_EQ(own.values.value(u"fieldsview"_s), u"0"_s);
    EXPECT_EQ(own.values.value(u"port"_s), u"5514"_s) << "the service's port must not reach the user's file";
    EXPECT_EQ(settings.read(u"port"_s), u"6000"_s);
}
