#include "intake/RemoteReceiver.h"

#include "platform/Database.h"
#include "platform/Timer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalSocket>


RemoteReceiver::RemoteReceiver(QString dataDir, std::unique_ptr<Timer> retryTimer, QObject* parent)
    : ReceiverHandle(parent)
    , dataDir_(std::move(dataDir))
    , socketPath_(linkframes::socketPath(dataDir_))
    , retryTimer_(std::move(retryTimer))
    , socket_(new QLocalSocket(this))
{
    retryTimer_->setOnTimeout([this] { retry(); });
    connect(socket_, &QLocalSocket::readyRead, this, [this] { readAvailable(); });
    connect(socket_, &QLocalSocket::disconnected, this, [this] { loseLink(); });
    connect(socket_, &QLocalSocket::errorOccurred, this, [this] {
        if (socket_->state() != QLocalSocket::ConnectedState)
            loseLink();
    });
}

RemoteReceiver::~RemoteReceiver()
{
    shutDown_ = true;
    attached_ = false;
    retryTimer_->stop();
    socket_->disconnect(this);
    socket_->abort();
}

Result<> RemoteReceiver::attach() { return connectAndGreet(); }

Result<> RemoteReceiver::connectAndGreet()
{
    auto fail = [this](const QString& reason) {
        socket_->abort();
        return Failure{reason};
    };
    socket_->abort();
    reader_.clear();
    socket_->connectToServer(socketPath_);
    if (!socket_->waitForConnected(kConnectTimeoutMs))
        return fail(QStringLiteral("no service answers on %1 (%2)").arg(socketPath_, socket_->errorString()));
    const std::optional<QJsonObject> hello =
        exchange(QStringLiteral("hello"), {{QStringLiteral("version"), linkframes::kVersion}});
    if (!hello)
        return fail(QStringLiteral("the service on %1 did not answer").arg(socketPath_));
    if (!hello->value(QStringLiteral("ok")).toBool())
        return fail(hello->value(QStringLiteral("error")).toString());
    for (const char* name : {"port", "msgfilter", "keepdays"})
        settings_.values[QLatin1String(name)] = hello->value(QLatin1String(name)).toString();
    lastPort_ = settings_.values.value(QStringLiteral("port")).toInt();
    attached_ = true;
    return {};
}

void RemoteReceiver::retry()
{
    if (attached_ || shutDown_) {
        retryTimer_->stop();
        return;
    }
    if (!connectAndGreet())
        return;
    retryTimer_->stop();
    // The window still has the cleaner open: the new service must not write meanwhile.
    if (handedOver_)
        exchange(QStringLiteral("handOver"));
    later([this] { emit serviceReachable(true); });
}

std::optional<QJsonObject> RemoteReceiver::exchange(const QString& op, QJsonObject fields)
{
    if (socket_->state() != QLocalSocket::ConnectedState)
        return std::nullopt;
    const qint64 id = ++lastId_;
    fields.insert(QStringLiteral("op"), op);
    fields.insert(QStringLiteral("id"), double(id));
    waitingFor_ = id;
    reply_.reset();
    socket_->write(linkframes::frame(fields));
    socket_->flush();
    QDeadlineTimer deadline(kRequestTimeoutMs);
    while (!reply_ && socket_->state() == QLocalSocket::ConnectedState && !reader_.malformed()) {
        if (socket_->bytesAvailable() == 0 && !socket_->waitForReadyRead(int(deadline.remainingTime())))
            break;
        readAvailable();
    }
    waitingFor_ = 0;
    std::optional<QJsonObject> reply = std::exchange(reply_, std::nullopt);
    if (!reply && attached_)
        loseLink(); // a service that does not answer in time is taken for gone
    return reply;
}

std::optional<QJsonObject> RemoteReceiver::request(const QString& op, QJsonObject fields)
{
    std::optional<QJsonObject> reply = attached_ ? exchange(op, std::move(fields)) : std::nullopt;
    if (!reply) {
        const QString text = awayText();
        later([this, text] { emit errorRaised(text); });
        return std::nullopt;
    }
    if (!reply->value(QStringLiteral("ok")).toBool()) {
        const QString text = reply->value(QStringLiteral("error")).toString();
        later([this, text] { emit errorRaised(text); });
        return std::nullopt;
    }
    return reply;
}

QString RemoteReceiver::awayText() const
{
    return tr("The service is not reachable; nothing was changed. The window attaches again as soon as the "
              "service is back.");
}

void RemoteReceiver::readAvailable()
{
    reader_.append(socket_->readAll());
    while (const std::optional<QJsonObject> message = reader_.next())
        dispatch(*message);
    if (reader_.malformed())
        loseLink();
}

void RemoteReceiver::dispatch(const QJsonObject& message)
{
    if (message.contains(QStringLiteral("re"))) {
        if (qint64(message.value(QStringLiteral("re")).toDouble()) == waitingFor_ && waitingFor_ != 0)
            reply_ = message;
        return;
    }
    const QString name = message.value(QStringLiteral("ev")).toString();
    const QString text = message.value(QStringLiteral("text")).toString();
    if (name == QLatin1String("line")) {
        later([this, text] { emit lineToShow(text); });
    } else if (name == QLatin1String("second")) {
        const IntakeSecond counters = linkframes::secondFromJson(message);
        later([this, counters] { emit secondElapsed(counters); });
    } else if (name == QLatin1String("filtered")) {
        const FilteredBufferUpdate update = linkframes::filteredFromJson(message);
        later([this, update] { emit filteredUpdated(update); });
    } else if (name == QLatin1String("dayTable")) {
        const QString day = message.value(QStringLiteral("day")).toString();
        later([this, day] { emit dayTableCreated(day); });
    } else if (name == QLatin1String("error")) {
        later([this, text] { emit errorRaised(text); });
    } else if (name == QLatin1String("problem")) {
        later([this, text] { emit problemReported(text); });
    } else if (name == QLatin1String("daysDropped")) {
        QStringList days;
        for (const QJsonValue& day : message.value(QStringLiteral("days")).toArray())
            days << day.toString();
        later([this, days] { emit daysDropped(days); });
    }
    // An event this window does not know is left alone: a newer service may tell more.
}

// Signals go out from the event loop, never from inside a request, so that
// the window sees them as it would see a receiver's queued signals.
void RemoteReceiver::later(std::function<void()> event)
{
    pending_.push_back(std::move(event));
    if (!flushScheduled_) {
        flushScheduled_ = true;
        QMetaObject::invokeMethod(this, [this] { flushEvents(); }, Qt::QueuedConnection);
    }
}

void RemoteReceiver::flushEvents()
{
    flushScheduled_ = false;
    while (!pending_.empty()) {
        const std::function<void()> event = std::move(pending_.front());
        pending_.pop_front();
        event();
    }
}

void RemoteReceiver::loseLink()
{
    if (!attached_)
        return;
    attached_ = false;
    socket_->abort();
    if (shutDown_)
        return;
    later([this] { emit serviceReachable(false); });
    retryTimer_->start();
}

void RemoteReceiver::openDatabase()
{
    if (!attached_ || !exchange(QStringLiteral("ping")))
        throw DbError(tr("no service answers on %1").arg(QDir::toNativeSeparators(socketPath_)));
}

void RemoteReceiver::setFilterEnabled(qint16 enabled)
{
    request(QStringLiteral("setFilter"), {{QStringLiteral("enabled"), int(enabled)}});
}

void RemoteReceiver::handOverDatabase()
{
    handedOver_ = true;
    request(QStringLiteral("handOver"));
}

void RemoteReceiver::takeBackDatabase()
{
    handedOver_ = false;
    linkframes::shareDatabaseWithGroup(dataDir_);
    request(QStringLiteral("takeBack"));
}

void RemoteReceiver::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    attached_ = false;
    retryTimer_->stop();
    socket_->abort();
}

QString RemoteReceiver::summaryLine()
{
    if (attached_)
        if (const std::optional<QJsonObject> reply = exchange(QStringLiteral("summary")))
            return QStringLiteral("the service reports: ") + reply->value(QStringLiteral("text")).toString();
    return QStringLiteral("detached from the service on %1; it goes on receiving").arg(socketPath_);
}

int RemoteReceiver::receiveBufferBytes()
{
    const std::optional<QJsonObject> reply = attached_ ? exchange(QStringLiteral("receiveBuffer")) : std::nullopt;
    return reply ? reply->value(QStringLiteral("bytes")).toInt() : 0;
}

std::optional<QJsonObject> RemoteReceiver::portState()
{
    std::optional<QJsonObject> reply = attached_ ? exchange(QStringLiteral("portState")) : std::nullopt;
    if (reply)
        lastPort_ = reply->value(QStringLiteral("port")).toInt();
    return reply;
}

bool RemoteReceiver::Port::setLocalPort(int port)
{
    const std::optional<QJsonObject> reply =
        receiver_.request(QStringLiteral("setLocalPort"), {{QStringLiteral("port"), port}});
    return reply && reply->value(QStringLiteral("accepted")).toBool();
}

int RemoteReceiver::Port::localPort() const
{
    receiver_.portState();
    return receiver_.lastPort_;
}

Result<> RemoteReceiver::Port::bind()
{
    const std::optional<QJsonObject> reply = receiver_.request(QStringLiteral("bind"));
    if (reply && reply->value(QStringLiteral("bound")).toBool())
        return {};
    return Failure{reply ? reply->value(QStringLiteral("error")).toString() : receiver_.awayText()};
}

void RemoteReceiver::Port::close()
{
    receiver_.request(QStringLiteral("close"));
}

bool RemoteReceiver::Port::isBound() const
{
    const std::optional<QJsonObject> reply = receiver_.portState();
    return reply && reply->value(QStringLiteral("bound")).toBool();
}
