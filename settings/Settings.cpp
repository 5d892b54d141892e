#include "settings/Settings.h"

#include "settings/NumericText.h"
#include "settings/SettingsTexts.h"

namespace {

constexpr qint16 FilterOn = 1;

QString storedPortText(const SettingsStore& store)
{
    const QString text = store.read(SettingsTexts::portValueName());
    return text.isEmpty() ? SettingsTexts::defaultPortText() : text;
}

qint16 storedFilterSwitch(const SettingsStore& store)
{
    const QString text = store.read(SettingsTexts::filterValueName());
    if (text.isEmpty())
        return FilterOn;
    return toInt16(text).value_or(FilterOn);
}

} // namespace

StartupSettings loadSettings(const SettingsStore& store)
{
    return StartupSettings{storedPortText(store), storedFilterSwitch(store)};
}

qint32 loadKeepDays(const SettingsStore& store)
{
    constexpr qint32 KeepEverything = 0;
    const std::optional<qint32> days = toInt32(store.read(SettingsTexts::keepDaysValueName()));
    return days && *days > 0 ? *days : KeepEverything;
}

bool loadTcpEnabled(const SettingsStore& store)
{
    const QString text = store.read(SettingsTexts::tcpValueName());
    return toInt16(text).value_or(1) != 0;
}

QString loadForwardSetting(const SettingsStore& store) { return store.read(SettingsTexts::forwardValueName()); }
