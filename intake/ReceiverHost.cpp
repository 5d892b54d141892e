#include "intake/ReceiverHost.h"

#include "intake/DatagramIntake.h"
#include "intake/ReceiverCore.h"
#include "intake/rep_Receiver_merged.h"
#include "platform/Database.h"
#include "platform/UdpSocket.h"
#include "settings/SettingsTexts.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRemoteObjectHost>
#include <algorithm>
#include <utility>

namespace {

// The interface a window may call.
const SourceApiMap& receiverApi()
{
    static const ReceiverSourceAPI<ReceiverSource> api(nullptr);
    return api;
}
// Below this much unsent data a window is given more of the filtered buffer.
constexpr qint64 kFilteredBacklog = 1024 * 1024;
// One piece of the filtered buffer: at most this many characters of text.
constexpr qsizetype kFilteredPieceChars = 128 * 1024;
// Longest path a local socket can have (sun_path less its final NUL).
constexpr qsizetype kLongestSocketPath = 107;

} // namespace

// One window's receiver: its calls carried out on the core, the core's
// reports passed on, the filtered buffer sent at the pace the window reads.
class ReceiverHost::Session final : public ReceiverSimpleSource {
public:
    // The guard (on the window's socket) stays the host's.
    Session(ReceiverHost& host, LinkGuard& guard) : host_(host), core_(host.core_), guard_(guard)
    {
        mirror();
        connect(&core_, &ReceiverCore::stateChanged, this, [this] { mirror(); });
        connect(&core_, &ReceiverCore::recordToShow, this, &ReceiverSource::recordToShow);
        connect(&core_, &ReceiverCore::secondElapsed, this, &ReceiverSource::secondElapsed);
        connect(&core_, &ReceiverCore::dayTableCreated, this, &ReceiverSource::dayTableCreated);
        connect(&core_, &ReceiverCore::errorRaised, this, &ReceiverSource::errorRaised);
        connect(&core_, &ReceiverCore::problemReported, this, &ReceiverSource::problemReported);
        connect(&core_, &ReceiverCore::daysDropped, this, &ReceiverSource::daysDropped);
        connect(&core_, &ReceiverCore::ruleFired, this, &ReceiverSource::ruleFired);
        connect(&core_, &ReceiverCore::rulesChanged, this, &ReceiverSource::rulesChanged);
        connect(&core_, &ReceiverCore::filteredUpdated, this, [this] { sendFiltered(); });
        connect(&guard_, &QIODevice::bytesWritten, this, [this] { sendFiltered(); });
        remoting_.addHostSideConnection(&guard_);
        remoting_.enableRemoting(this, receiverApi().name());
    }

    // What this window held goes back; a service listens on its port again.
    ~Session() override
    {
        if (core_.isShutDown())
            return;
        release();
        if (host_.isService())
            host_.restoreListening();
    }

    int ping() override { return heard(1); }
    RulesState rulesState() override { return heard(core_.rulesState()); }

    bool reloadRules() override { return carryOut([&] { core_.reloadRules(); }); }
    bool setKeepDays(int days) override { return ownOnly([&] { core_.setKeepDays(days); }); }
    bool startCounting() override { return ownOnly([&] { core_.startCounting(); }); }
    bool closePort() override { return carryOut([&] { core_.port().close(); }); }
    bool takeBackDatabase() override { return carryOut([&] { release(); }); }

    QString openDatabase() override
    {
        heard();
        try {
            ownOnly([&] { core_.openDatabase(); });
        } catch (const DbError& error) {
            return error.text().isEmpty() ? QStringLiteral("unknown error") : error.text();
        }
        return {};
    }

    bool setFilterEnabled(int enabled) override
    {
        const qint16 on = host_.isService() ? qint16(enabled != 0 ? 1 : 0) : qint16(enabled);
        core_.setFilterEnabled(on);
        if (host_.isService())
            host_.store(settingstexts::filterValueName(), on);
        return heard(true);
    }

    bool bindPort(int port) override
    {
        heard();
        ListeningPort& socket = core_.port();
        const bool service = host_.isService();
        if (core_.isShutDown())
            return false;
        // Binding again the port the service listens on would only lose what
        // arrives meanwhile: a window attaching binds it as it starts.
        if (service && socket.isBound() && socket.localPort() == port && port == host_.boundPort_)
            return true;
        const bool bound = socket.setLocalPort(port) && socket.bind();
        if (service && bound && port != host_.boundPort_)
            emit host_.logLine(QStringLiteral("a window moved the service to UDP port %1").arg(port));
        if (service && bound) {
            host_.boundPort_ = port;
            host_.store(settingstexts::portValueName(), port);
        } else if (service) {
            host_.restoreListening(); // the service goes on receiving while the window asks for another port
        }
        mirror();
        return bound;
    }

    // Gives the file up for cleaning; the window opens the cleaner once this
    // answers.
    bool handOverDatabase() override
    {
        if (!std::exchange(handedOver_, true) && host_.handovers_++ == 0)
            core_.handOverDatabase();
        return heard(true);
    }

    // A window attached to a service only detaches: the service goes on.
    QString shutdown() override
    {
        heard();
        if (host_.isService())
            return {};
        core_.shutdown();
        return core_.summaryLine();
    }

    bool hasSpoken() const { return listening_; }
    LinkGuard& guard() const { return guard_; }

private:
    // The first call shows the window is attached and listening: it is given
    // the filtered buffer from then on. (A probe that only connects is no window.)
    template <typename T = int>
    T heard(T result = {})
    {
        if (!listening_) {
            listening_ = true;
            ++host_.tally_.attached;
            host_.countClients();
            sendFiltered();
        }
        return result;
    }

    void mirror()
    {
        setListeningPort(core_.port().localPort());
        setPortBound(core_.port().isBound());
        setFilterOn(core_.filterEnabled());
        setReceiveBufferBytes(core_.receiveBufferBytes());
    }

    void release()
    {
        if (std::exchange(handedOver_, false) && --host_.handovers_ == 0)
            core_.takeBackDatabase();
    }

    // A call whose answer only tells that it was heard.
    template <typename Call>
    bool carryOut(Call call)
    {
        call();
        return heard(true);
    }
    // What only a receiver of the window's own does: a service opens, keeps
    // its days and counts by itself.
    template <typename Call>
    bool ownOnly(Call call)
    {
        if (!host_.isService())
            call();
        return heard(true);
    }

    // The part of the filtered buffer this window does not have yet, piece
    // by piece while it reads what it is sent.
    void sendFiltered()
    {
        while (listening_ && guard_.isOpen() && guard_.bytesToWrite() < kFilteredBacklog) {
            const std::optional<FilteredBufferUpdate> piece =
                nextFilteredPiece(core_.intake().filtered(), sentGeneration_, sentCount_, kFilteredPieceChars);
            if (!piece)
                return;
            emit filteredUpdated(*piece);
        }
    }

    ReceiverHost& host_;
    ReceiverCore& core_;
    LinkGuard& guard_;
    // Gone before the source object it remotes.
    QRemoteObjectHost remoting_;
    bool listening_ = false;
    bool handedOver_ = false;
    qint32 sentGeneration_ = -1;
    qint32 sentCount_ = 0;
};

ReceiverHost::ReceiverHost(ReceiverCore& core, Options options, QObject* parent)
    : QObject(parent)
    , core_(core)
    , options_(options)
{
    tallyTimer_.setInterval(1000);
    connect(&tallyTimer_, &QTimer::timeout, this, [this] { tellClients(); });
}

ReceiverHost::~ReceiverHost()
{
    while (!sessions_.empty())
        remove(sessions_.back().get(), QString());
}

QString ReceiverHost::socketPath(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("kiv-syslog.sock"));
}

bool ReceiverHost::serviceAnswers(const QString& path, int timeoutMs)
{
    QLocalSocket probe;
    probe.connectToServer(path);
    const bool answers = probe.waitForConnected(timeoutMs);
    probe.abort();
    return answers;
}

Result<> ReceiverHost::listen(const QString& path)
{
    if (QFile::encodeName(path).size() > kLongestSocketPath)
        return Failure{QStringLiteral("the local socket %1 is longer than %2 bytes").arg(path).arg(kLongestSocketPath)};
    if (serviceAnswers(path))
        return Failure{QStringLiteral("another service answers on %1").arg(path)};
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (!server_->listen(path))
        return Failure{QStringLiteral("cannot listen on %1: %2").arg(path, server_->errorString())};
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection())
            accept(socket);
    });
    boundPort_ = core_.port().isBound() ? core_.port().localPort() : 0;
    return {};
}

void ReceiverHost::adopt(qintptr descriptor)
{
    auto* socket = new QLocalSocket(this);
    socket->setSocketDescriptor(descriptor);
    accept(socket);
}

void ReceiverHost::accept(QLocalSocket* socket)
{
    if (isService() && clientCount() >= kMaxClients) {
        ++tally_.refused;
        countClients();
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto* guard = new LinkGuard(socket, options_.limits, receiverApi(), this);
    Session* session = sessions_.emplace_back(std::make_unique<Session>(*this, *guard)).get();
    connect(guard, &LinkGuard::droppedFor, this, [this, session](const QString& reason) {
        // After the Remote Objects host has let go of the connection (it hears disconnected()).
        QMetaObject::invokeMethod(this, [this, session, reason] { remove(session, reason); }, Qt::QueuedConnection);
    });
}

void ReceiverHost::remove(Session* session, const QString& reason)
{
    const auto it =
        std::find_if(sessions_.begin(), sessions_.end(), [session](const auto& s) { return s.get() == session; });
    if (it == sessions_.end())
        return;
    const bool spoke = session->hasSpoken();
    LinkGuard& guard = session->guard();
    sessions_.erase(it); // gives back what this window held
    guard.disconnect(this);
    guard.deleteLater();
    if (reason.isEmpty()) {
        if (!spoke)
            return;
        ++tally_.detached;
    } else {
        ++tally_.dropped;
        tally_.lastDrop = reason;
    }
    countClients();
}

// A window that went away while it had the port closed for a change, or
// whose port could not be bound, leaves the service listening on its port.
void ReceiverHost::restoreListening()
{
    ListeningPort& port = core_.port();
    if (handovers_ > 0 || port.isBound() || boundPort_ == 0)
        return;
    if (const Result<> bound = port.setLocalPort(boundPort_) ? port.bind() : Failure{}; !bound)
        emit logLine(QStringLiteral("cannot listen on UDP port %1 again: %2").arg(boundPort_).arg(bound.error()));
}

void ReceiverHost::store(const QString& name, int value)
{
    if (!options_.serviceSettings->write(name, QString::number(value)))
        emit logLine(QStringLiteral("cannot store the setting %1").arg(name));
}

// Windows coming and going: one line at once, then at most one a second
// while they go on, with the counts.
void ReceiverHost::countClients()
{
    if (!tallyTimer_.isActive())
        tellClients();
}

void ReceiverHost::tellClients()
{
    if (tally_.empty()) {
        tallyTimer_.stop();
        return;
    }
    QString line = QStringLiteral("windows: %1 attached, %2 detached, %3 dropped, %4 refused in the last second; "
                                  "%5 attached now")
                       .arg(tally_.attached)
                       .arg(tally_.detached)
                       .arg(tally_.dropped)
                       .arg(tally_.refused)
                       .arg(clientCount());
    if (tally_.dropped > 0)
        line += QStringLiteral(" (the last dropped because %1)").arg(tally_.lastDrop);
    if (tally_.refused > 0)
        line += QStringLiteral(" (at most %1 at a time)").arg(kMaxClients);
    tally_ = {};
    if (isService())
        emit logLine(line);
    tallyTimer_.start();
}
