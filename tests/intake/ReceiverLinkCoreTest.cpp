// The link between the receiver and its windows over the real socket file: a
// service's receiver on a thread of its own, windows on the test's thread.
#include "intake/DatagramIntake.h"
#include "intake/ReceiverHost.h"
#include "intake/ReceiverLink.h"
#include "platform/SqliteEngine.h"
#include "store/GroupAccess.h"
#include "tests/support/FakeUdpSocket.h"
#include "tests/support/Fakes.h"
#include "tests/support/OnThread.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <QtRemoteObjects/qtremoteobjectglobal.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A service: a real receiver core on a fake socket (port 5514) and its host on
// the socket file, on a thread of their own as in their own process.
class Service {
public:
    template <typename Call>
    auto on(Call call)
    {
        return onThreadOf(&anchor_, call);
    }
    explicit Service(const QString& dir) : dir_(dir)
    {
        thread_.start();
        anchor_.moveToThread(&thread_);
        on([this] {
            settings.values[QStringLiteral("msgfilter")] = QStringLiteral("1");
            core = std::make_unique<ReceiverCore>(
                CoreServices{clock, engine, engine, [this] { return std::make_unique<FakeSocketView>(socket); },
                             [](int) { return std::make_unique<FakeTimer>(); }, dir_, nullptr, false,
                             /* matchRulesOnOwnThread */ true});
            core->openDatabase();
            core->port().setLocalPort(5514);
            EXPECT_TRUE(core->port().bind());
            start();
        });
    }
    ~Service()
    {
        on([this] {
            host.reset();
            core.reset();
        });
        thread_.quit();
        thread_.wait();
    }
    // Runs call on the service's thread, without waiting.
    void later(std::function<void()> call)
    {
        QMetaObject::invokeMethod(&anchor_, std::move(call), Qt::QueuedConnection);
    }
    void start()
    {
        host = std::make_unique<ReceiverHost>(*core, ReceiverHost::Options{&settings, LinkGuard::Limits{}});
        QObject::connect(host.get(), &ReceiverHost::logLine, host.get(), [this](const QString& line) { log << line; });
        const Result<> listening = host->listen(path());
        ASSERT_TRUE(listening) << listening.error().toStdString();
    }
    QString path() const { return ReceiverHost::socketPath(dir_); }
    QString logText() { return on([this] { return log.join(u'\n'); }); }
    int clients() { return on([this] { return host->clientCount(); }); }
    // Windows dropped, as the log lines count them.
    int dropped()
    {
        int total = 0;
        static const QRegularExpression count(QStringLiteral("(\\d+) dropped"));
        for (const QString& line : on([this] { return log; }))
            total += count.match(line).captured(1).toInt();
        return total;
    }

    FakeClock clock;
    SqliteEngine engine;
    FakeUdpSocket socket;
    FakeSettingsStore settings;
    std::unique_ptr<ReceiverCore> core;
    std::unique_ptr<ReceiverHost> host;
    QStringList log;

private:
    QString dir_;
    QThread thread_;
    QObject anchor_;
};

// A window's end of the link; its watchdog ticks when the test says so.
struct Window {
    explicit Window(const QString& socketPath)
    {
        auto timer = std::make_unique<FakeTimer>();
        ping = timer.get();
        link = std::make_unique<ReceiverLink>(std::move(timer));
        QSignalSpy attached(link.get(), &ReceiverLink::attached);
        link->attachToService(socketPath);
        EXPECT_TRUE(attached.wait(10000));
    }
    ReceiverReplica& receiver() { return link->receiver(); }
    // Makes a call and waits for its answer.
    QVariant answer(const std::function<QRemoteObjectPendingCall(ReceiverReplica&)>& call)
    {
        std::optional<QVariant> got;
        QObject context;
        link->request(&context, call, [&got](const QVariant& value) { got = value; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return got.has_value(); }, 10000));
        return got.value_or(QVariant());
    }
    FakeTimer* ping = nullptr;
    std::unique_ptr<ReceiverLink> link;
};

// A client speaking the socket itself, to misbehave.
int rawClient(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendRaw(int fd, const QByteArray& bytes)
{
    ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
}

// A packet as the Remote Objects peers frame it: length, type, body.
QByteArray packet(quint16 type, const std::function<void(QDataStream&)>& body)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.setVersion(QDataStream::Qt_6_0);
    out << quint32(0) << type;
    body(out);
    qToLittleEndian<quint32>(quint32(bytes.size() - 4), bytes.data());
    return bytes;
}

QByteArray acquire()
{
    return packet(QtRemoteObjects::AddObject, [](QDataStream& out) { out << QStringLiteral("Receiver") << false; });
}

QByteArray call(int method, const QVariantList& arguments)
{
    return packet(QtRemoteObjects::InvokePacket, [&](QDataStream& out) {
        out << QStringLiteral("Receiver") << qint32(QMetaObject::InvokeMetaMethod) << qint32(method)
            << quint32(arguments.size());
        for (const QVariant& argument : arguments)
            out << argument;
        out << qint32(1) << qint32(-1);
    });
}

} // namespace

TEST(ReceiverLink, CallsAnswerEventsArriveInOrderAndWhatAWindowHeldIsGivenBackWhenItGoes)
{
    QTemporaryDir dir;
    Service service(dir.path());
    Window window(service.path());
    ReceiverReplica& receiver = window.receiver();
    EXPECT_EQ(receiver.listeningPort(), 5514);
    EXPECT_TRUE(receiver.portBound());
    EXPECT_TRUE(window.link->isService());

    // F3 reaches the core and the service's own settings; the window's copy follows.
    QSignalSpy filterChanged(&receiver, &ReceiverReplica::filterOnChanged);
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.setFilterEnabled(0); }), QVariant(true));
    EXPECT_EQ(receiver.filterOn(), 0);
    EXPECT_EQ(filterChanged.size(), 1);
    EXPECT_EQ(service.on([&] { return service.core->filterEnabled(); }), 0);
    EXPECT_EQ(service.on([&] { return service.settings.values.value(u"msgfilter"_s); }), u"0"_s);

    // F2: a busy port is refused and the service goes on receiving on its
    // own; a free one is bound and stored, and binding it again does nothing.
    service.on([&] { service.socket.busyPorts.insert(6001); });
    window.answer([](ReceiverReplica& r) { return r.closePort(); });
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.bindPort(6001); }), QVariant(false));
    EXPECT_TRUE(receiver.portBound());
    EXPECT_EQ(receiver.listeningPort(), 5514);
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.bindPort(6002); }), QVariant(true));
    EXPECT_EQ(receiver.listeningPort(), 6002);
    EXPECT_EQ(service.on([&] { return service.settings.values.value(u"port"_s); }), u"6002"_s);
    const int binds = service.on([&] { return service.socket.bindAttempts; });
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.bindPort(6002); }), QVariant(true));
    EXPECT_EQ(service.on([&] { return service.socket.bindAttempts; }), binds);
    // A service opens, counts and stops by itself: a window only detaches.
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.shutdown(); }), QVariant(QString()));
    EXPECT_FALSE(service.on([&] { return service.core->isShutDown(); }));

    // What the receiver reports arrives whole and in order.
    QStringList order;
    QList<LogRecord> records;
    QObject::connect(&receiver, &ReceiverReplica::recordToShow, [&](const LogRecord& record) {
        order << record.message;
        records << record;
    });
    QObject::connect(&receiver, &ReceiverReplica::secondElapsed, [&] { order << u"second"_s; });
    QObject::connect(&receiver, &ReceiverReplica::daysDropped, [&] { order << u"days"_s; });
    QSignalSpy seconds(&receiver, &ReceiverReplica::secondElapsed);
    QSignalSpy filtered(&receiver, &ReceiverReplica::filteredUpdated);
    service.on([&] {
        ReceiverCore& core = *service.core;
        LogRecord first(u"2026-12-07 10:00:00"_s, u"10.0.0.1"_s, u"info: 一"_s,
                        readFields(u"<13>Dec  7 10:00:00 host app[7]: info: 一"_s, QDateTime()));
        first.id = 5000000000;
        emit core.recordToShow(first);
        IntakeSecond second;
        second.filteredCount = 3;
        second.filterEnabled = 0;
        second.losses = {5000000000, 4, 5, 6};
        second.tcpUnavailable = u"in use"_s;
        second.forwardMisses = {u"udp://10.0.0.9:514: 2 missed"_s};
        second.tcpNotes = {u"reading is paused"_s, u"3 refused"_s};
        emit core.secondElapsed(second);
        storeFilteredMessage(core.intake().filtered(), QDateTime(QDate(2026, 12, 7), QTime(10, 0, 1)), u"10.0.0.2"_s,
                             u"x"_s);
        emit core.filteredUpdated({});
        emit core.daysDropped({u"2026-11-01"_s});
        emit core.recordToShow(LogRecord(u"2026-12-07 10:00:01"_s, u"10.0.0.1"_s, u"second line"_s));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 4; }, 10000));
    EXPECT_EQ(order,
              (QStringList{u"info: 一"_s, u"second"_s, u"days"_s, u"second line"_s}));
    // A record arrives with its ID and fields.
    EXPECT_EQ(records[0].id, 5000000000);
    EXPECT_EQ(records[0].time, u"2026-12-07 10:00:00"_s);
    EXPECT_EQ(records[0].fields, readFields(u"<13>Dec  7 10:00:00 host app[7]: info: 一"_s, QDateTime()));
    EXPECT_EQ(records[1].id, 0);
    EXPECT_FALSE(records[1].fields.known());
    const auto second = seconds.at(0).at(0).value<IntakeSecond>();
    EXPECT_EQ(second.filteredCount, 3);
    EXPECT_EQ(second.filterEnabled, 0);
    EXPECT_EQ(second.losses, (LossCounts{5000000000, 4, 5, 6}));
    EXPECT_EQ(second.tcpUnavailable, u"in use"_s);
    EXPECT_EQ(second.forwardMisses, QStringList{u"udp://10.0.0.9:514: 2 missed"_s});
    EXPECT_EQ(second.tcpNotes, (QStringList{u"reading is paused"_s, u"3 refused"_s}));
    ASSERT_EQ(filtered.size(), 1);
    const auto update = filtered.at(0).at(0).value<FilteredBufferUpdate>();
    ASSERT_EQ(update.entries.size(), 1);
    EXPECT_EQ(update.entries[0].time, QDateTime(QDate(2026, 12, 7), QTime(10, 0, 1)));
    EXPECT_EQ(update.entries[0].ip, u"10.0.0.2"_s);

    // A window that goes away while it cleans gives the database back, and
    // the service listens again: the other window sees it.
    {
        Window cleaning(service.path());
        QSignalSpy bound(&receiver, &ReceiverReplica::portBoundChanged);
        EXPECT_EQ(cleaning.answer([](ReceiverReplica& r) { return r.handOverDatabase(); }), QVariant(true));
        EXPECT_FALSE(cleaning.receiver().portBound());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !receiver.portBound(); }, 10000));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.portBound(); }, 10000));
    EXPECT_EQ(receiver.listeningPort(), 6002);
    EXPECT_EQ(service.clients(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.logText().contains(u"1 detached"_s); }, 10000))
        << service.logText().toStdString();
}

TEST(ReceiverLink, RulesReachTheWindowTheirStateFiringsAndReading)
{
    QTemporaryDir dir;
    QFile rules(QDir(dir.path()).filePath(u"rules.json"_s));
    ASSERT_TRUE(rules.open(QIODevice::WriteOnly));
    rules.write(R"({"rules": [{"name": "errors", "when": {"severity_max": 3}, "actions": [{"notify": true}]},
                             {"name": "broken", "when": {"x": 1}, "actions": [{"notify": true}]}]})");
    rules.close();
    Service service(dir.path());
    Window window(service.path());
    ReceiverReplica& receiver = window.receiver();

    const auto state = window.answer([](ReceiverReplica& r) { return r.rulesState(); }).value<RulesState>();
    EXPECT_EQ(state.file, QDir::toNativeSeparators(rules.fileName()));
    EXPECT_EQ(state.counters, (QList<RuleCounter>{{u"errors"_s, 0, 0, 0}}));
    ASSERT_EQ(state.faults.size(), 1);
    EXPECT_TRUE(state.faults[0].startsWith(u"rule 2 (\"broken\")"_s));

    QSignalSpy fired(&receiver, &ReceiverReplica::ruleFired);
    service.on([&] { service.socket.arrive("<11>Dec  7 10:00:00 sw1 kernel: error: link down", u"10.0.0.7"_s); });
    ASSERT_TRUE(fired.wait(10000));
    const auto firing = fired[0][0].value<RuleFiring>();
    EXPECT_EQ(firing.rule, u"errors"_s);
    EXPECT_EQ(firing.record.ip, u"10.0.0.7"_s);
    EXPECT_EQ(firing.record.fields.host, u"sw1"_s);
    EXPECT_EQ(firing.held, 0);

    QSignalSpy changed(&receiver, &ReceiverReplica::rulesChanged);
    service.on([&] { service.core->tick(); });
    ASSERT_TRUE(changed.wait(10000));
    EXPECT_EQ(changed.last()[0].value<RulesState>().counters.value(0).fired, 1);
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.reloadRules(); }), QVariant(true));
}

TEST(ReceiverLink, MisbehavingClientsAreDroppedWhileAGoodWindowGoesOn)
{
    QTemporaryDir dir;
    Service service(dir.path());
    Window window(service.path());
    QSignalSpy lines(&window.receiver(), &ReceiverReplica::recordToShow);

    // A call without its argument would crash a host that is not guarded.
    const ReceiverSourceAPI<ReceiverSource> api(nullptr);
    int methodWithAnInt = 0;
    auto takesAnInt = [&api](int method) {
        return api.methodParameterCount(method) == 1 && api.methodParameterType(method, 0) == QMetaType::Int;
    };
    while (!takesAnInt(methodWithAnInt))
        ASSERT_LT(++methodWithAnInt, api.methodCount());
    const int garbage = rawClient(service.path());
    const int forbidden = rawClient(service.path());
    const int flooder = rawClient(service.path());
    const int sleeper = rawClient(service.path());
    ASSERT_TRUE(garbage >= 0 && forbidden >= 0 && flooder >= 0 && sleeper >= 0);
    sendRaw(garbage, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    sendRaw(forbidden, acquire() + call(methodWithAnInt, {}));
    QByteArray flood;
    for (int i = 0; i < 1000; ++i)
        flood += call(0, {});
    sendRaw(flooder, flood);
    sendRaw(sleeper, acquire()); // and never reads

    // 100 lines of 64 KiB: the good window reads each, the sleeper none.
    const QString big(64 * 1024, u'w');
    for (int i = 0; i < 100; ++i) {
        service.on([&] { emit service.core->recordToShow(LogRecord({}, {}, big + QString::number(i))); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return lines.count() == i + 1; }, 10000)) << i;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.clients() == 1 && service.dropped() == 4; }, 10000))
        << service.logText().toStdString();
    EXPECT_EQ(lines.last().at(0).value<LogRecord>().message, big + u"99"_s);
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.ping(); }), QVariant(1));
    for (int fd : {garbage, forbidden, flooder, sleeper})
        ::close(fd);
}

TEST(ReceiverLink, CallsOpenWhenTheServiceGoesEndAndTheWindowAttachesAgainWhenItIsBack)
{
    QTemporaryDir dir;
    Service service(dir.path());
    Window window(service.path());
    QSignalSpy reachable(window.link.get(), &ReceiverLink::reachable);

    // The service goes while a call is open.
    QSemaphore asked;
    service.later([&] {
        asked.acquire();
        service.host.reset();
    });
    std::optional<QVariant> answer;
    QObject context;
    window.link->request(&context, [](ReceiverReplica& r) { return r.ping(); },
                         [&answer](const QVariant& value) { answer = value; });
    asked.release();
    ASSERT_TRUE(reachable.wait(10000));
    EXPECT_FALSE(reachable.at(0).at(0).toBool());
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 10000));
    EXPECT_FALSE(answer->isValid());
    EXPECT_FALSE(window.link->isAttached());

    service.on([&] { service.start(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reachable.size() == 2; }, 20000));
    EXPECT_TRUE(reachable.at(1).at(0).toBool());
    EXPECT_EQ(window.answer([](ReceiverReplica& r) { return r.ping(); }), QVariant(1));
}

TEST(ReceiverLink, TheDatabaseBecomesGroupWritableOnlyInAGroupWritableDirectory)
{
    auto modeAfterSharing = [](mode_t dirMode) {
        QTemporaryDir dir;
        const QByteArray db = QFile::encodeName(QDir(dir.path()).filePath(QStringLiteral("syslog.mdb")));
        ::close(::open(db.constData(), O_CREAT | O_WRONLY, 0600));
        ::chmod(db.constData(), 0600);
        ::chmod(QFile::encodeName(dir.path()).constData(), dirMode);
        shareDatabaseWithGroup(dir.path());
        struct stat info {};
        ::stat(db.constData(), &info);
        return info.st_mode & 07777;
    };
    EXPECT_EQ(modeAfterSharing(02770), mode_t(0660));
    EXPECT_EQ(modeAfterSharing(0700), mode_t(0600));
}
