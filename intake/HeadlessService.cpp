#include "intake/HeadlessService.h"

#include "intake/ReceiverCore.h"
#include "platform/Database.h"
#include "platform/SingleInstance.h"
#include "platform/UdpSocket.h"
#include "settings/NumericText.h"
#include "settings/Settings.h"
#include "settings/SettingsTexts.h"

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
        print_(settings.portText + settingstexts::portBusySuffix()
               + (bound.error().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(bound.error())));
        receiver_.shutdown();
        return false;
    }
    started_ = true;
    receiver_.startCounting();
    print_(QStringLiteral("listening on UDP port %1; storing in %2; receive buffer %3 KiB; message filter %4")
               .arg(port.localPort())
               .arg(database)
               .arg(receiver_.receiveBufferBytes() / 1024)
               .arg(settings.filterEnabled != 0 ? QStringLiteral("on") : QStringLiteral("off")));
    return true;
}

void HeadlessService::stop()
{
    if (stopped_ || !started_)
        return;
    stopped_ = true;
    receiver_.shutdown();
    print_(QStringLiteral("stopped: ") + receiver_.summaryLine());
}
