#include "intake/HeadlessService.h"

#include "intake/ReceiverCore.h"
#include "platform/Database.h"
#include "platform/SingleInstance.h"
#include "platform/UdpSocket.h"
#include "settings/NumericText.h"
#include "settings/Settings.h"

#include <QDir>

HeadlessService::HeadlessService(ReceiverCore& receiver, SettingsStore& settings, SingleInstance& instance,
                                 QString dataDir, Printer print, QObject* parent)
    : QObject(parent)
    , receiver_(receiver)
    , settings_(settings)
    , instance_(instance)
    , dataDir_(std::move(dataDir))
    , print_(std::move(print))
{
    connect(&receiver_, &ReceiverCore::errorRaised, this, [this](const QString& text) { print_(text); });
    connect(&receiver_, &ReceiverCore::problemReported, this, [this](const QString& line) { print_(line); });
}

bool HeadlessService::start()
{
    if (!instance_.tryAcquire()) {
        print_(QStringLiteral("程序已经在运行，不支持多开！ (another copy is running for %1)")
                   .arg(QDir::toNativeSeparators(dataDir_)));
        return false;
    }
    const QString database = QDir::toNativeSeparators(QDir(dataDir_).filePath(QStringLiteral("syslog.mdb")));
    receiver_.setKeepDays(loadKeepDays(settings_));
    try {
        receiver_.openDatabase();
    } catch (const DbError& error) {
        print_(QStringLiteral("cannot open or create the log database %1: %2").arg(database, error.text()));
        return false;
    }
    const StartupSettings settings = loadSettings(settings_);
    receiver_.setFilterEnabled(settings.filterEnabled);

    ListeningPort& port = receiver_.port();
    const std::optional<qint32> number = toInt32(settings.portText);
    if (const Result<> bound = number && port.setLocalPort(*number) ? port.bind() : Failure{}; !bound) {
        print_(portProblem(settings.portText, bound.error()));
        receiver_.shutdown();
        return false;
    }
    started_ = true;
    receiver_.startCounting();
    print_(QStringLiteral("listening on %1; storing in %2; receive buffer %3 KiB; message filter %4")
               .arg(listeningOn(port.localPort()))
               .arg(database)
               .arg(receiver_.receiveBufferBytes() / 1024)
               .arg(settings.filterEnabled != 0 ? QStringLiteral("on") : QStringLiteral("off")));
    return true;
}

// There is no port prompt here: the line names the setting to change and
// the file it is kept in.
QString HeadlessService::portProblem(const QString& portText, const QString& reason) const
{
    const QString where = settings_.location().isEmpty()
                              ? QStringLiteral("the settings")
                              : QStringLiteral("the [General] section of %1").arg(settings_.location());
    const QString what = toInt32(portText) ? QStringLiteral("UDP port %1 cannot be bound").arg(portText.trimmed())
                                           : QStringLiteral("the stored port \"%1\" is not a port").arg(portText);
    return QStringLiteral("%1%2; set \"port\" in %3 to a free port (1 to 65535) and start again")
        .arg(what, reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason), where);
}

// TCP listens beside UDP unless it is switched off; a TCP port that cannot
// be bound has been told on a line of its own just before.
QString HeadlessService::listeningOn(int port) const
{
    const QString tls = receiver_.tls().isListening()
                            ? QStringLiteral(" and TLS port %1").arg(receiver_.tls().listeningPort())
                            : QString();
    if (!receiver_.tcpEnabled())
        return QStringLiteral("UDP port %1").arg(port) + tls;
    if (receiver_.tcp().isListening())
        return QStringLiteral("UDP and TCP port %1").arg(port) + tls;
    return QStringLiteral("UDP port %1 (not TCP: that port cannot be bound)").arg(port) + tls;
}

void HeadlessService::stop()
{
    if (stopped_ || !started_)
        return;
    stopped_ = true;
    receiver_.shutdown();
    print_(QStringLiteral("stopped: ") + receiver_.summaryLine());
}
