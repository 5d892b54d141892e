#include "intake/ServiceLink.h"

#include "intake/ReceiverHandle.h"
#include "platform/SettingsStore.h"
#include "platform/UdpSocket.h"
#include "settings/Settings.h"

#include <QFile>
#include <QJsonArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <algorithm>
#include <exception>

namespace {

// Below this much unsent data a window is given more of the filtered buffer.
constexpr qint64 kFilteredBacklog = 1024 * 1024;
// One piece of the filtered buffer: at most this many characters of text.
constexpr qsizetype kFilteredPieceChars = 128 * 1024;
// Longest path a local socket can have (sun_path less its final NUL).
constexpr qsizetype kLongestSocketPath = 107;

QJsonObject eventFrame(const char* name, QJsonObject fields = {})
{
    fields.insert(QStringLiteral("ev"), QLatin1String(name));
    return fields;
}

} // namespace

struct ServiceLink::Client {
    QLocalSocket* socket = nullptr;
    linkframes::FrameReader reader{linkframes::kMaxRequestBytes};
    bool greeted = false;
    bool handedOver = false;
    bool dead = false;
    // How far this window has the filtered buffer.
    qint32 filteredGeneration = -1;
    qint32 filteredSent = 0;
    QElapsedTimer requestWindow;
    int requestsInWindow = 0;
};

ServiceLink::ServiceLink(ReceiverHandle& receiver, SettingsStore& settings, QObject* parent)
    : QObject(parent)
    , receiver_(receiver)
    , settings_(settings)
    , server_(std::make_unique<QLocalServer>())
    , filtered_(std::make_unique<FilteredMessageBuffer>())
{
    filterEnabled_ = loadSettings(settings_).filterEnabled;
    connect(server_.get(), &QLocalServer::newConnection, this, [this] { accept(); });
    connect(&receiver_, &ReceiverHandle::lineToShow, this, [this](const QString& line) {
        broadcast(eventFrame("line", {{QStringLiteral("text"), line}}));
    });
    connect(&receiver_, &ReceiverHandle::secondElapsed, this, [this](const IntakeSecond& counters) {
        filterEnabled_ = counters.filterEnabled;
        broadcast(eventFrame("second", linkframes::toJson(counters)));
    });
    connect(&receiver_, &ReceiverHandle::filteredUpdated, this, [this](const FilteredBufferUpdate& update) {
        applyFilteredUpdate(*filtered_, update);
        for (auto& client : clients_)
            if (client->greeted)
                sendFiltered(*client);
    });
    connect(&receiver_, &ReceiverHandle::dayTableCreated, this, [this](const QString& day) {
        broadcast(eventFrame("dayTable", {{QStringLiteral("day"), day}}));
    });
    connect(&receiver_, &ReceiverHandle::errorRaised, this, [this](const QString& text) {
        broadcast(eventFrame("error", {{QStringLiteral("text"), text}}));
    });
    connect(&receiver_, &ReceiverHandle::problemReported, this, [this](const QString& line) {
        broadcast(eventFrame("problem", {{QStringLiteral("text"), line}}));
    });
    connect(&receiver_, &ReceiverHandle::daysDropped, this, [this](const QStringList& days) {
        broadcast(eventFrame("daysDropped", {{QStringLiteral("days"), QJsonArray::fromStringList(days)}}));
    });
}

ServiceLink::~ServiceLink()
{
    for (auto& client : clients_)
        if (!client->dead) {
            client->socket->disconnect(this);
            client->socket->abort();
            delete client->socket;
        }
}

bool ServiceLink::serviceAnswers(const QString& path, int timeoutMs)
{
    QLocalSocket probe;
    probe.connectToServer(path);
    const bool answers = probe.waitForConnected(timeoutMs);
    probe.abort();
    return answers;
}

Result<> ServiceLink::listen(const QString& path)
{
    if (QFile::encodeName(path).size() > kLongestSocketPath)
        return Failure{QStringLiteral("the local socket %1 is longer than %2 bytes").arg(path).arg(kLongestSocketPath)};
    if (serviceAnswers(path))
        return Failure{QStringLiteral("another service answers on %1").arg(path)};
    QLocalServer::removeServer(path);
    server_->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (!server_->listen(path))
        return Failure{QStringLiteral("cannot listen on %1: %2").arg(path, server_->errorString())};
    ListeningPort& port = receiver_.port();
    boundPort_ = port.isBound() ? port.localPort() : 0;
    return {};
}

int ServiceLink::clientCount() const
{
    return int(std::count_if(clients_.begin(), clients_.end(), [](const auto& client) { return !client->dead; }));
}

void ServiceLink::accept()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (clientCount() >= kMaxClients) {
            emit logLine(QStringLiteral("refused a window: %1 are attached already").arg(kMaxClients));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->requestWindow.start();
        Client* raw = client.get();
        clients_.push_back(std::move(client));
        connect(socket, &QLocalSocket::readyRead, this, [this, raw] { readFrom(*raw); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, raw] {
            if (raw->greeted)
                sendFiltered(*raw);
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, raw] { drop(*raw, QString()); });
        readFrom(*raw);
    }
}

void ServiceLink::readFrom(Client& client)
{
    if (client.dead)
        return;
    client.reader.append(client.socket->readAll());
    while (!client.dead) {
        const std::optional<QJsonObject> request = client.reader.next();
        if (!request)
            break;
        handle(client, *request);
    }
    if (!client.dead && client.reader.malformed())
        drop(client, QStringLiteral("it sent a malformed frame"));
}

void ServiceLink::handle(Client& client, const QJsonObject& request)
{
    const QJsonValue id = request.value(QStringLiteral("id"));
    const QString op = request.value(QStringLiteral("op")).toString();
    if (!id.isDouble() || op.isEmpty()) {
        drop(client, QStringLiteral("it sent a malformed frame"));
        return;
    }
    if (client.requestWindow.elapsed() >= 1000) {
        client.requestWindow.restart();
        client.requestsInWindow = 0;
    }
    if (++client.requestsInWindow > kMaxRequestsPerSecond) {
        drop(client, QStringLiteral("it asked more than %1 times in a second").arg(kMaxRequestsPerSecond));
        return;
    }
    QJsonObject reply;
    if (!client.greeted) {
        if (op != QLatin1String("hello")) {
            drop(client, QStringLiteral("it asked before saying hello"));
            return;
        }
        const int version = request.value(QStringLiteral("version")).toInt();
        if (version != linkframes::kVersion) {
            reply = {{QStringLiteral("ok"), false},
                     {QStringLiteral("error"), QStringLiteral("link version %1 is not spoken here (this service speaks %2)")
                                                   .arg(version)
                                                   .arg(linkframes::kVersion)}};
        } else {
            reply = helloReply();
            client.greeted = true;
        }
    } else {
        try {
            reply = carryOut(client, op, request);
        } catch (const std::exception& failure) {
            reply = {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QString::fromStdString(failure.what())}};
        }
    }
    reply.insert(QStringLiteral("re"), id);
    if (!reply.contains(QStringLiteral("ok")))
        reply.insert(QStringLiteral("ok"), true);
    send(client, linkframes::frame(reply));
    if (client.dead)
        return;
    if (!client.greeted) {
        client.socket->flush();
        drop(client, QStringLiteral("it speaks another link version"));
        return;
    }
    if (op == QLatin1String("hello")) {
        emit logLine(QStringLiteral("a window attached"));
        sendFiltered(client);
    }
}

QJsonObject ServiceLink::helloReply() const
{
    return {{QStringLiteral("version"), linkframes::kVersion},
            {QStringLiteral("port"), QString::number(boundPort_ != 0 ? boundPort_ : receiver_.port().localPort())},
            {QStringLiteral("msgfilter"), QString::number(filterEnabled_)},
            {QStringLiteral("keepdays"), QString::number(loadKeepDays(settings_))}};
}

QJsonObject ServiceLink::carryOut(Client& client, const QString& op, const QJsonObject& request)
{
    ListeningPort& port = receiver_.port();
    if (op == QLatin1String("ping"))
        return {};
    if (op == QLatin1String("summary"))
        return {{QStringLiteral("text"), receiver_.summaryLine()}};
    if (op == QLatin1String("receiveBuffer"))
        return {{QStringLiteral("bytes"), receiver_.receiveBufferBytes()}};
    if (op == QLatin1String("setFilter")) {
        filterEnabled_ = qint16(request.value(QStringLiteral("enabled")).toInt() != 0 ? 1 : 0);
        receiver_.setFilterEnabled(filterEnabled_);
        if (!settings_.write(QStringLiteral("msgfilter"), QString::number(filterEnabled_)))
            emit logLine(QStringLiteral("cannot store the message filter setting"));
        return {};
    }
    if (op == QLatin1String("setLocalPort")) {
        const int wanted = request.value(QStringLiteral("port")).toInt();
        return {{QStringLiteral("accepted"), port.setLocalPort(wanted)}};
    }
    if (op == QLatin1String("portState"))
        return {{QStringLiteral("port"), port.localPort()}, {QStringLiteral("bound"), port.isBound()}};
    if (op == QLatin1String("bind")) {
        // Binding the port it listens on already would only lose what arrives
        // meanwhile: a window attaching binds the service's port as it starts.
        if (port.isBound() && port.localPort() == boundPort_)
            return {{QStringLiteral("bound"), true}};
        const Result<> bound = port.bind();
        if (bound) {
            boundPort_ = port.localPort();
            if (!settings_.write(QStringLiteral("port"), QString::number(boundPort_)))
                emit logLine(QStringLiteral("cannot store the port setting"));
            emit logLine(QStringLiteral("a window moved the service to UDP port %1").arg(boundPort_));
        } else {
            // The window asks for another port; meanwhile the service goes on
            // receiving on the one it had.
            restoreListening();
        }
        return {{QStringLiteral("bound"), bool(bound)}, {QStringLiteral("error"), bound.error()}};
    }
    if (op == QLatin1String("close")) {
        port.close();
        return {};
    }
    if (op == QLatin1String("handOver")) {
        if (!client.handedOver) {
            client.handedOver = true;
            if (handovers_++ == 0)
                receiver_.handOverDatabase();
        }
        return {};
    }
    if (op == QLatin1String("takeBack")) {
        release(client);
        return {};
    }
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("unknown request %1").arg(op)}};
}

// The database goes back to the receiver once no window has it for cleaning.
void ServiceLink::release(Client& client)
{
    if (!client.handedOver)
        return;
    client.handedOver = false;
    if (--handovers_ == 0)
        receiver_.takeBackDatabase();
}

void ServiceLink::send(Client& client, const QByteArray& bytes)
{
    if (client.dead)
        return;
    client.socket->write(bytes);
    if (client.socket->bytesToWrite() > kMaxUnsentBytes)
        drop(client, QStringLiteral("it left more than %1 bytes unread").arg(kMaxUnsentBytes));
}

void ServiceLink::broadcast(const QJsonObject& message)
{
    const QByteArray bytes = linkframes::frame(message);
    for (auto& client : clients_)
        if (client->greeted)
            send(*client, bytes);
}

// The part of the filtered buffer this window does not have yet, piece by
// piece while it reads what it is sent. A new generation, or a window that
// just attached, starts again from the beginning.
void ServiceLink::sendFiltered(Client& client)
{
    const FilteredMessageBuffer& buffer = *filtered_;
    const qint32 count = std::clamp(buffer.count, 0, FilteredMessageBuffer::kCapacity);
    while (!client.dead && client.socket->bytesToWrite() < kFilteredBacklog) {
        const bool restart = client.filteredGeneration != buffer.generation || client.filteredSent > count;
        if (!restart && client.filteredSent >= count)
            return;
        FilteredBufferUpdate piece;
        piece.generation = buffer.generation;
        piece.firstIndex = restart ? 0 : client.filteredSent;
        qsizetype chars = 0;
        qint32 index = piece.firstIndex;
        for (; index < count && (index == piece.firstIndex || chars < kFilteredPieceChars); ++index) {
            const auto slot = static_cast<std::size_t>(index);
            piece.entries.append({buffer.times[slot], buffer.ips[slot], buffer.texts[slot]});
            chars += buffer.texts[slot].size();
        }
        client.filteredGeneration = piece.generation;
        client.filteredSent = index;
        send(client, linkframes::frame(eventFrame("filtered", linkframes::toJson(piece))));
    }
}

void ServiceLink::drop(Client& client, const QString& reason)
{
    if (client.dead)
        return;
    client.dead = true;
    emit logLine(reason.isEmpty() ? QStringLiteral("a window detached")
                                  : QStringLiteral("dropped a window: %1").arg(reason));
    client.socket->disconnect(this);
    client.socket->abort();
    client.socket->deleteLater();
    release(client);
    restoreListening();
    if (!sweepPending_) {
        sweepPending_ = true;
        QMetaObject::invokeMethod(this, [this] { sweep(); }, Qt::QueuedConnection);
    }
}

// A window that went away while it had the port closed for a change leaves
// the service listening on its port again.
void ServiceLink::restoreListening()
{
    ListeningPort& port = receiver_.port();
    if (handovers_ > 0 || port.isBound() || boundPort_ == 0)
        return;
    if (const Result<> bound = port.setLocalPort(boundPort_) ? port.bind() : Failure{}; !bound)
        emit logLine(QStringLiteral("cannot listen on UDP port %1 again: %2").arg(boundPort_).arg(bound.error()));
}

void ServiceLink::sweep()
{
    sweepPending_ = false;
    std::erase_if(clients_, [](const auto& client) { return client->dead; });
}
