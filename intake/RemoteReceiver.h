#pragma once

#include "intake/LinkFrames.h"
#include "intake/ReceiverHandle.h"
#include "platform/SettingsStore.h"
#include "platform/UdpSocket.h"

#include <QJsonObject>
#include <QMap>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QLocalSocket;
class Timer;

// The receiver of a headless service, reached over its local socket: a
// window attached to the service uses it as it would use a receiver of its
// own. Requests wait for the service's reply (at most kRequestTimeoutMs);
// what the service reports arrives as this object's signals, from the event
// loop, in the order the service sent it.
//
// When the service goes away, serviceReachable(false) is emitted and every
// tick of the retry timer tries to attach again; once it is back (the
// database handed over again if the window still cleans it),
// serviceReachable(true). A request made meanwhile does nothing and says so
// through errorRaised. shutdown() only detaches: the service goes on.
class RemoteReceiver final : public ReceiverHandle {
    Q_OBJECT
public:
    static constexpr int kRequestTimeoutMs = 15000;
    static constexpr int kConnectTimeoutMs = 2000;

    // dataDir: the directory the service keeps its files in; its socket is
    // linkframes::socketPath(dataDir). retryTimer: started when the service
    // goes away, stopped once attached again.
    RemoteReceiver(QString dataDir, std::unique_ptr<Timer> retryTimer, QObject* parent = nullptr);
    ~RemoteReceiver() override;

    // Connects and greets the service. Fails, with the reason, when no
    // service answers or it speaks another link version.
    Result<> attach();
    bool isAttached() const { return attached_; }
    // The service's settings as it reported them at the last attach ("port",
    // "msgfilter", "keepdays"), for the window to start from. What the
    // window writes stays here: the service stores what it carries out.
    SettingsStore& settings() { return settings_; }

    ListeningPort& port() override { return port_; }
    // Makes sure the service answers; throws DbError saying so when not.
    void openDatabase() override;
    // The service counts already.
    void startCounting() override {}
    void setFilterEnabled(qint16 enabled) override;
    // The service keeps the days its own settings say.
    void setKeepDays(int) override {}
    void handOverDatabase() override;
    // Also makes a database file the cleaner rebuilt (it belongs to this
    // user then) readable and writable for the data directory's group, so
    // the service can go on writing it.
    void takeBackDatabase() override;
    void shutdown() override;
    QString summaryLine() override;
    int receiveBufferBytes() override;

private:
    class Port final : public ListeningPort {
    public:
        explicit Port(RemoteReceiver& receiver) : receiver_(receiver) {}
        bool setLocalPort(int port) override;
        int localPort() const override;
        Result<> bind() override;
        void close() override;
        bool isBound() const override;

    private:
        RemoteReceiver& receiver_;
    };

    class Settings final : public SettingsStore {
    public:
        QString read(const QString& name) const override { return values.value(name); }
        bool write(const QString& name, const QString& value) override
        {
            values[name] = value;
            return true;
        }
        QMap<QString, QString> values;
    };

    Result<> connectAndGreet();
    void retry();
    // Sends one request and waits for its reply; nullopt when none came.
    std::optional<QJsonObject> exchange(const QString& op, QJsonObject fields = {});
    // exchange() for the window's requests: nullopt, after telling the user
    // why, when the service is away or refused.
    std::optional<QJsonObject> request(const QString& op, QJsonObject fields = {});
    std::optional<QJsonObject> portState();
    void readAvailable();
    void dispatch(const QJsonObject& message);
    void later(std::function<void()> event);
    void flushEvents();
    void loseLink();
    QString awayText() const;

    QString dataDir_;
    QString socketPath_;
    std::unique_ptr<Timer> retryTimer_;
    QLocalSocket* socket_;
    linkframes::FrameReader reader_{linkframes::kMaxEventBytes};
    Settings settings_;
    Port port_{*this};
    bool attached_ = false;
    bool shutDown_ = false;
    bool handedOver_ = false;
    qint64 lastId_ = 0;
    qint64 waitingFor_ = 0;
    std::optional<QJsonObject> reply_;
    int lastPort_ = 0;
    std::deque<std::function<void()>> pending_;
    bool flushScheduled_ = false;
};
