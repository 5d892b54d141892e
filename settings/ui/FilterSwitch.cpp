#include "settings/ui/FilterSwitch.h"

#include "settings/SettingsTexts.h"

#include <QString>

void ToggleMessageFilter(qint16& FilterEnabled, SettingsStore& store, Dialogs& dialogs)
{
    FilterEnabled = FilterEnabled != 0 ? 0 : 1;
    if (!store.write(SettingsTexts::filterValueName(), QString::number(FilterEnabled)))
        dialogs.message(SettingsTexts::storeWriteFailed());
}
