#include "intake/LinkFrames.h"
#include "intake/RemoteReceiver.h"
#include "intake/ServiceLink.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A receiver that records what it is asked and tells what the test makes it tell.
class FakeReceiver final : public ReceiverHandle {
public:
    struct Port final : ListeningPort {
        bool setLocalPort(int port) override
        {
            if (port < 1 || port > 65535)
                return false;
            number = port;
            return true;
        }
        int localPort() const override { return number; }
        Result<> bind() override
        {
            bound = number != busy;
            ++binds;
            return bound ? Result<>() : Failure{QStringLiteral("Address already in use")};
        }
        void close() override { bound = false; }
        bool isBound() const override { return bound; }
        int number = 5514;
        int busy = 0;
        int binds = 0;
        bool bound = true;
    };

    ListeningPort& port() override { return fakePort; }
    void openDatabase() override {}
    void startCounting() override {}
    void setFilterEnabled(qint16 enabled) override { filter = enabled; }
    void setKeepDays(int) override {}
    void handOverDatabase() override
    {
        ++handOvers;
        fakePort.bound = false;
    }
    void takeBackDatabase() override { ++takeBacks; }
    void shutdown() override {}
    QString summaryLine() override { return QStringLiteral("12 datagrams read"); }
    int receiveBufferBytes() override { return 425984; }

    Port fakePort;
    qint16 filter = 1;
    int handOvers = 0;
    int takeBacks = 0;
};

// The service's side on a thread of its own, as it would be in its own
// process: the window's requests wait for replies that thread gives.
class Service {
public:
    explicit Service(const QString& dir) : path_(linkframes::socketPath(dir))
    {
        thread_.start();
        context_.moveToThread(&thread_);
        on([this] {
            settings.values[QStringLiteral("msgfilter")] = QStringLiteral("1");
            settings.values[QStringLiteral("keepdays")] = QStringLiteral("30");
            receiver = std::make_unique<FakeReceiver>();
            start();
        });
    }
    ~Service()
    {
        on([this] {
            link.reset();
            receiver.reset();
        });
        thread_.quit();
        thread_.wait();
    }
    // Runs call on the service's thread and waits for it.
    template <typename Call>
    auto on(Call call) -> decltype(call())
    {
        using Result = decltype(call());
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(&context_, call, Qt::BlockingQueuedConnection);
        } else {
            Result result{};
            QMetaObject::invokeMethod(&context_, [&] { result = call(); }, Qt::BlockingQueuedConnection);
            return result;
        }
    }
    void start()
    {
        link = std::make_unique<ServiceLink>(*receiver, settings);
        QObject::connect(link.get(), &ServiceLink::logLine, link.get(), [this](const QString& line) { log << line; });
        ASSERT_TRUE(link->listen(path_));
    }
    QString logText() { return on([this] { return log.join(QLatin1Char('\n')); }); }
    int clients() { return on([this] { return link->clientCount(); }); }

    FakeSettingsStore settings;
    std::unique_ptr<FakeReceiver> receiver;
    std::unique_ptr<ServiceLink> link;
    QStringList log;

private:
    QString path_;
    QThread thread_;
    QObject context_;
};

struct Window {
    explicit Window(const QString& dir)
    {
        auto timer = std::make_unique<FakeTimer>();
        retry = timer.get();
        remote = std::make_unique<RemoteReceiver>(dir, std::move(timer));
    }
    FakeTimer* retry;
    std::unique_ptr<RemoteReceiver> remote;
};

// A client speaking the socket directly, to misbehave.
int rawClient(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = path.toLocal8Bit();
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendRaw(int fd, const QByteArray& bytes) { ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size()); }

QByteArray request(int id, const char* op)
{
    return linkframes::frame({{QStringLiteral("id"), id},
                              {QStringLiteral("op"), QLatin1String(op)},
                              {QStringLiteral("version"), linkframes::kVersion}});
}

} // namespace

TEST(ServiceLink, WindowRequestsAreCarriedOutAndTheReceiversReportsArriveInOrder)
{
    QTemporaryDir dir;
    Service service(dir.path());
    Window window(dir.path());
    ASSERT_TRUE(window.remote->attach());
    RemoteReceiver& remote = *window.remote;
    EXPECT_EQ(remote.settings().read(QStringLiteral("port")), QStringLiteral("5514"));
    EXPECT_EQ(remote.settings().read(QStringLiteral("keepdays")), QStringLiteral("30"));

    // F3 reaches the receiver and the service's own settings.
    remote.setFilterEnabled(0);
    EXPECT_EQ(service.on([&] { return service.receiver->filter; }), 0);
    EXPECT_EQ(service.on([&] { return service.settings.values.value(QStringLiteral("msgfilter")); }), u"0"_s);

    // F2: a busy port is refused with the reason, a free one bound and stored.
    service.on([&] { service.receiver->fakePort.busy = 6001; });
    ListeningPort& port = remote.port();
    port.close();
    EXPECT_TRUE(port.setLocalPort(6001));
    const Result<> refused = port.bind();
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error(), QStringLiteral("Address already in use"));
    // Meanwhile the service goes on receiving on the port it had.
    EXPECT_TRUE(service.on(
        [&] { return service.receiver->fakePort.bound && service.receiver->fakePort.number == 5514; }));
    EXPECT_FALSE(port.setLocalPort(70000));
    EXPECT_TRUE(port.setLocalPort(6002) && port.bind());
    EXPECT_EQ(port.localPort(), 6002);
    EXPECT_EQ(service.on([&] { return service.settings.values.value(QStringLiteral("port")); }), u"6002"_s);
    // Binding the port the service listens on already does not rebind it.
    const int binds = service.on([&] { return service.receiver->fakePort.binds; });
    EXPECT_TRUE(port.setLocalPort(6002) && port.bind());
    EXPECT_EQ(service.on([&] { return service.receiver->fakePort.binds; }), binds);

    EXPECT_EQ(remote.summaryLine(), QStringLiteral("the service reports: 12 datagrams read"));
    EXPECT_EQ(remote.receiveBufferBytes(), 425984);

    QSignalSpy lines(&remote, &ReceiverHandle::lineToShow);
    QSignalSpy seconds(&remote, &ReceiverHandle::secondElapsed);
    QSignalSpy filtered(&remote, &ReceiverHandle::filteredUpdated);
    QSignalSpy dropped(&remote, &ReceiverHandle::daysDropped);
    service.on([&] {
        FakeReceiver& receiver = *service.receiver;
        emit receiver.lineToShow(QStringLiteral("2026-12-07 10:00:00 10.0.0.1 info: 一"));
        IntakeSecond second;
        second.filteredCount = 3;
        second.receivedThisSecond = 7;
        second.losses.kernelDropped = 5000000000;
        emit receiver.secondElapsed(second);
        FilteredBufferUpdate update;
        update.generation = 2;
        update.entries = {{QDateTime(QDate(2026, 12, 7), QTime(10, 0, 1)), QStringLiteral("10.0.0.2"), QStringLiteral("x")}};
        emit receiver.filteredUpdated(update);
        emit receiver.daysDropped({QStringLiteral("2026-11-01")});
        emit receiver.lineToShow(QStringLiteral("second line"));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines.count() == 2 && dropped.count() == 1; }, 10000));
    EXPECT_EQ(lines.at(0).at(0).toString(), QStringLiteral("2026-12-07 10:00:00 10.0.0.1 info: 一"));
    EXPECT_EQ(lines.at(1).at(0).toString(), QStringLiteral("second line"));
    ASSERT_EQ(seconds.count(), 1);
    const auto second = seconds.at(0).at(0).value<IntakeSecond>();
    EXPECT_EQ(second.filteredCount, 3);
    EXPECT_EQ(second.receivedThisSecond, 7);
    EXPECT_EQ(second.losses.kernelDropped, 5000000000);
    // The attach itself brought the (empty) filtered buffer, then the update.
    ASSERT_EQ(filtered.count(), 2);
    const auto update = filtered.at(1).at(0).value<FilteredBufferUpdate>();
    EXPECT_EQ(update.generation, 2);
    ASSERT_EQ(update.entries.size(), 1);
    EXPECT_EQ(update.entries[0].time, QDateTime(QDate(2026, 12, 7), QTime(10, 0, 1)));
    EXPECT_EQ(update.entries[0].ip, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(dropped.at(0).at(0).toStringList(), QStringList{QStringLiteral("2026-11-01")});

    // A window that goes away while it cleans gives the database back, and the
    // service listens again.
    remote.handOverDatabase();
    EXPECT_EQ(service.on([&] { return service.receiver->handOvers; }), 1);
    remote.shutdown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.clients() == 0; }, 10000));
    EXPECT_EQ(service.on([&] { return service.receiver->takeBacks; }), 1);
    EXPECT_TRUE(service.on([&] { return service.receiver->fakePort.bound; }));
}

TEST(ServiceLink, MisbehavingClientsAreDroppedWhileAGoodWindowGoesOn)
{
    QTemporaryDir dir;
    const QString path = linkframes::socketPath(dir.path());
    Service service(dir.path());
    Window window(dir.path());
    ASSERT_TRUE(window.remote->attach());
    QSignalSpy lines(window.remote.get(), &ReceiverHandle::lineToShow);

    const int garbage = rawClient(path);
    const int flooder = rawClient(path);
    const int sleeper = rawClient(path);
    ASSERT_TRUE(garbage >= 0 && flooder >= 0 && sleeper >= 0);
    sendRaw(garbage, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray flood = request(1, "hello");
    for (int i = 2; i < 1000; ++i)
        flood += request(i, "ping");
    sendRaw(flooder, flood);
    sendRaw(sleeper, request(1, "hello")); // and never reads again

    // 100 lines of 64 KiB: the good window reads each, the sleeper none.
    const QString big(64 * 1024, QLatin1Char('w'));
    for (int i = 0; i < 100; ++i) {
        service.on([&] { emit service.receiver->lineToShow(big + QString::number(i)); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return lines.count() == i + 1; }, 10000)) << i;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.clients() == 1; }, 10000)) << service.logText().toStdString();
    const QString log = service.logText();
    EXPECT_TRUE(log.contains(QStringLiteral("dropped a window: it sent a malformed frame"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("dropped a window: it asked more than 200 times in a second")));
    EXPECT_TRUE(log.contains(QStringLiteral("dropped a window: it left more than 4194304 bytes unread")));
    EXPECT_EQ(lines.last().at(0).toString(), big + QStringLiteral("99"));
    EXPECT_EQ(window.remote->summaryLine(), QStringLiteral("the service reports: 12 datagrams read"));
    for (int fd : {garbage, flooder, sleeper})
        ::close(fd);
}

TEST(ServiceLink, AWindowAttachesAgainWhenTheServiceIsBackAndStillHoldsTheDatabase)
{
    QTemporaryDir dir;
    Service service(dir.path());
    Window window(dir.path());
    RemoteReceiver& remote = *window.remote;
    ASSERT_TRUE(remote.attach());
    QSignalSpy reachable(&remote, &ReceiverHandle::serviceReachable);
    QSignalSpy errors(&remote, &ReceiverHandle::errorRaised);
    remote.handOverDatabase(); // the cleaner is open

    service.on([&] { service.link.reset(); }); // the service stops
    ASSERT_TRUE(reachable.wait(10000));
    EXPECT_FALSE(reachable.at(0).at(0).toBool());
    EXPECT_FALSE(remote.isAttached());
    EXPECT_TRUE(window.retry->isActive());
    window.retry->tick(); // nobody there yet
    EXPECT_FALSE(remote.isAttached());
    remote.setFilterEnabled(0); // says it cannot
    ASSERT_TRUE(errors.wait(10000));
    EXPECT_TRUE(errors.at(0).at(0).toString().contains(QStringLiteral("not reachable")));

    service.on([&] { service.start(); });
    window.retry->tick();
    EXPECT_TRUE(remote.isAttached());
    EXPECT_FALSE(window.retry->isActive());
    ASSERT_TRUE(reachable.wait(10000));
    EXPECT_TRUE(reachable.at(1).at(0).toBool());
    EXPECT_EQ(service.on([&] { return service.receiver->handOvers; }), 2);
    EXPECT_EQ(service.on([&] { return service.receiver->filter; }), 1);
}

TEST(ServiceLink, TheDatabaseBecomesGroupWritableOnlyInAGroupWritableDirectory)
{
    auto modeAfterSharing = [](mode_t dirMode) {
        QTemporaryDir dir;
        const QByteArray db = QFile::encodeName(QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")));
        ::close(::open(db.constData(), O_CREAT | O_WRONLY, 0600));
        ::chmod(db.constData(), 0600);
        ::chmod(QFile::encodeName(dir.path()).constData(), dirMode);
        linkframes::shareDatabaseWithGroup(dir.path());
        struct stat info {};
        ::stat(db.constData(), &info);
        return info.st_mode & 07777;
    };
    EXPECT_EQ(modeAfterSharing(02770), mode_t(0660));
    EXPECT_EQ(modeAfterSharing(0700), mode_t(0600));
}

TEST(ServiceLink, TheSecondsCountersCrossTheLinkWhole)
{
    IntakeSecond counters;
    counters.filteredCount = 7;
    counters.receivedThisSecond = 12;
    counters.filterEnabled = 0;
    counters.losses = {3, 4, 5};
    counters.tcpUnavailable = QStringLiteral("TCP port 514 cannot be bound: in use");
    counters.forwardMisses = {QStringLiteral("udp://10.0.0.9:514: 2 missed")};
    counters.tcpNotes = {QStringLiteral("reading is paused"), QStringLiteral("3 refused")};
    const IntakeSecond back = linkframes::secondFromJson(linkframes::toJson(counters));
    EXPECT_EQ(back.filteredCount, 7);
    EXPECT_EQ(back.receivedThisSecond, 12);
    EXPECT_EQ(back.filterEnabled, 0);
    EXPECT_EQ(back.losses, counters.losses);
    EXPECT_EQ(back.tcpUnavailable, counters.tcpUnavailable);
    EXPECT_EQ(back.forwardMisses, counters.forwardMisses);
    EXPECT_EQ(back.tcpNotes, counters.tcpNotes);
}
