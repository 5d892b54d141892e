#include "settings/Settings.h"

#include "settings/NumericText.h"
#include "settings/SettingsTexts.h"

namespace {

constexpr qint16 kFilterOn = 1;

QString storedPortText(const SettingsStore& store)
{
    const QString text = store.read(settingstexts::portValueName());
    return text.isEmpty() ? settingstexts::defaultPortText() : text;
}

// Only a value that reads as 0 turns the filter off: every reader of the
// switch (intake, status line, F3, the service's startup line) then agrees.
qint16 storedFilterSwitch(const SettingsStore& store)
{
    const QString text = store.read(settingstexts::filterValueName());
    if (text.isEmpty())
        return kFilterOn;
    return toInt16(text).value_or(kFilterOn) != 0 ? kFilterOn : qint16(0);
}

} // namespace

StartupSettings loadSettings(const SettingsStore& store)
{
    return StartupSettings{storedPortText(store), storedFilterSwitch(store)};
}

qint32 loadKeepDays(const SettingsStore& store)
{
    constexpr qint32 kKeepEverything = 0;
    const std::optional<qint32> days = toInt32(store.read(settingstexts::keepDaysValueName()));
    return days && *days > 0 ? *days : kKeepEverything;
}

bool loadTcpEnabled(const SettingsStore& store)
{
    const QString text = store.read(settingstexts::tcpValueName());
    return toInt16(text).value_or(1) != 0;
}

std::optional<int> loadMinSeverity(const SettingsStore& store)
{
    const QString text = store.read(settingstexts::minSeverityValueName());
    if (text.isEmpty())
        return std::nullopt;
    const std::optional<qint16> value = toInt16(text);
    return value && *value >= 0 && *value <= 7 ? int(*value) : -1;
}

qint32 loadTcpConnectionsPerAddress(const SettingsStore& store)
{
    constexpr qint32 kDefaultPerAddress = 32;
    const std::optional<qint32> count = toInt32(store.read(settingstexts::tcpPerAddressValueName()));
    return count && *count >= 1 ? *count : kDefaultPerAddress;
}

QString loadForwardSetting(const SettingsStore& store) { return store.read(settingstexts::forwardValueName()); }

TlsSettings loadTlsSettings(const SettingsStore& store)
{
    TlsSettings tls;
    tls.certificate = store.read(settingstexts::tlsCertificateValueName());
    tls.key = store.read(settingstexts::tlsKeyValueName());
    tls.authorities = store.read(settingstexts::tlsAuthorityValueName());
    tls.portText = store.read(settingstexts::tlsPortValueName());
    if (!tls.portText.isEmpty()) {
        const std::optional<qint32> port = toInt32(tls.portText);
        tls.port = port && *port >= 1 && *port <= 65535 ? quint16(*port) : 0;
    }
    return tls;
}
