#pragma once

#include <QObject>
#include <QString>
#include <functional>

class ReceiverCore;
class SettingsStore;
class SingleInstance;

// The receiver without any window, as a system service runs it: the same
// settings, database, recovery file, single-instance rule, port and filter as
// the window. What the window would show in a message box is printed as one
// line (so the system journal keeps it). Lives on the core's thread.
class HeadlessService : public QObject {
    Q_OBJECT
public:
    using Printer = std::function<void(const QString& line)>;

    HeadlessService(ReceiverCore& receiver, SettingsStore& settings, SingleInstance& instance, QString dataDir,
                    Printer print, QObject* parent = nullptr);

    // Starts receiving and prints one line saying on what port (UDP, and TCP
    // when it is on), into which file and with which receive buffer. False,
    // after printing why, when another copy holds the directory, the database
    // cannot be opened or written, or the port cannot be bound (the line then
    // names the "port" setting and the settings file): the process then ends
    // with status 1.
    bool start();
    // Stores everything read, closes the database and prints what became of
    // everything received. Later calls do nothing.
    void stop();

private:
    QString portProblem(const QString& portText, const QString& reason) const;
    QString listeningOn(int port) const;

    ReceiverCore& receiver_;
    SettingsStore& settings_;
    SingleInstance& instance_;
    QString dataDir_;
    Printer print_;
    bool started_ = false;
    bool stopped_ = false;
};
