#pragma once

#include "intake/LinkFrames.h"
#include "platform/Result.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;
class ReceiverHandle;
class SettingsStore;

// The service's end of the local link (see LinkFrames.h for the frames):
// passes everything the receiver reports on to every attached window and
// carries out what the windows ask of the receiver. It stores what a window
// changes ("msgfilter", "port") in the service's own settings.
//
// No window can hold the service up: a client that sends a malformed frame,
// asks more than kMaxRequestsPerSecond times a second or leaves more than
// kMaxUnsentBytes unread is dropped; at most kMaxClients are attached at a
// time. When a window goes away, whatever it left (the database handed over
// for cleaning, the port closed for a change) is taken back; when the port a
// window asks for cannot be bound, the service listens on its old one again.
class ServiceLink : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUnsentBytes = 4 * 1024 * 1024;
    static constexpr int kMaxClients = 32;
    static constexpr int kMaxRequestsPerSecond = 200;

    ServiceLink(ReceiverHandle& receiver, SettingsStore& settings, QObject* parent = nullptr);
    ~ServiceLink() override;

    // Listens on the socket file at path, which only the service's user and
    // group may connect to (mode 0660). A socket file left by a copy that
    // died is replaced. Fails, with the reason, when the path is too long
    // for a local socket, a service already answers there, or the socket
    // cannot be made.
    Result<> listen(const QString& path);
    // Windows attached now.
    int clientCount() const;

    // True when a service answers on the socket file at path.
    static bool serviceAnswers(const QString& path, int timeoutMs = 2000);

signals:
    // A line for the log: a window attached or detached, a client dropped and why.
    void logLine(const QString& line);

private:
    struct Client;

    void accept();
    void readFrom(Client& client);
    void handle(Client& client, const QJsonObject& request);
    QJsonObject carryOut(Client& client, const QString& op, const QJsonObject& request);
    QJsonObject helloReply() const;
    void send(Client& client, const QByteArray& bytes);
    void broadcast(const QJsonObject& message);
    void sendFiltered(Client& client);
    void drop(Client& client, const QString& reason);
    void release(Client& client);
    void restoreListening();
    void sweep();

    ReceiverHandle& receiver_;
    SettingsStore& settings_;
    std::unique_ptr<QLocalServer> server_;
    std::vector<std::unique_ptr<Client>> clients_;
    // What the receiver's filtered buffer holds, followed from its updates, so
    // that each window gets it at its own pace and a new one gets all of it.
    std::unique_ptr<FilteredMessageBuffer> filtered_;
    int handovers_ = 0;
    int boundPort_ = 0;
    qint16 filterEnabled_ = 1;
    bool sweepPending_ = false;
};
