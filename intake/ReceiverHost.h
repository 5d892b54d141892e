#pragma once

#include "intake/LinkGuard.h"
#include "platform/Result.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;
class ReceiverCore;
class SettingsStore;

// The receiver's end of the link to the windows (the interface is
// Receiver.rep), on the receiver's thread. Every window, whether of this
// process (over a socket pair) or attached to the service (over the socket
// file), comes in through the same accept path: a guard on its socket, a Qt
// Remote Objects host and a source object of its own, which carries its calls
// to the core and keeps what that window holds (the database handed over for
// cleaning, the port closed for a change), to give it back when it goes.
class ReceiverHost : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxClients = 32;

    struct Options {
        // The service's settings. A service stores there what a window
        // changes ("msgfilter", "port"), goes on listening on its port when
        // a window asks for one that cannot be bound or goes while it had the
        // port closed, and opens, counts and stops by itself. Null: the
        // receiver of a window of this process, which does what it is asked.
        SettingsStore* serviceSettings = nullptr;
        LinkGuard::Limits limits = LinkGuard::trusted();
    };

    ReceiverHost(ReceiverCore& core, Options options, QObject* parent = nullptr);
    ~ReceiverHost() override;

    // Listens on the socket file at path, which only the service's user and
    // group may connect to (mode 0770); at most kMaxClients windows are
    // attached at a time. A socket file left by a copy that died is replaced.
    // Fails, with the reason, when the path is too long for a local socket, a
    // service answers there already, or the socket cannot be made.
    Result<> listen(const QString& path);
    // A window of this process, at the other end of a socket pair.
    void adopt(qintptr descriptor);
    int clientCount() const { return int(sessions_.size()); }

    // The socket of the service keeping its files in dataDir: in that
    // directory, so that whoever may read the database may attach, and both
    // sides find it without sharing a runtime directory.
    static QString socketPath(const QString& dataDir);
    // True when something accepts connections on the socket file at path.
    static bool serviceAnswers(const QString& path, int timeoutMs = 2000);

signals:
    // A line for the log: windows attached and detached (at most one line a
    // second, with counts), a window moved the port, a setting not stored.
    void logLine(const QString& line);

private:
    class Session;
    struct Tally {
        int attached = 0;
        int detached = 0;
        int dropped = 0;
        int refused = 0;
        QString lastDrop;
        bool empty() const { return attached + detached + dropped + refused == 0; }
    };

    bool isService() const { return options_.serviceSettings != nullptr; }
    void accept(QLocalSocket* socket);
    void remove(Session* session, const QString& reason);
    void restoreListening();
    void store(const QString& name, int value);
    void countClients();
    void tellClients();

    ReceiverCore& core_;
    Options options_;
    QLocalServer* server_ = nullptr;
    std::vector<std::unique_ptr<Session>> sessions_;
    // Windows that have the database for cleaning.
    int handovers_ = 0;
    // The port the service was told to listen on.
    int boundPort_ = 0;
    Tally tally_;
    QTimer tallyTimer_;
};
