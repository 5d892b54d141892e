#include "settings/ui/FilterSwitch.h"

#include "settings/SettingsTexts.h"

#include <QString>

void toggleMessageFilter(qint16& filterEnabled, SettingsStore& store, Dialogs& dialogs)
{
    filterEnabled = filterEnabled != 0 ? 0 : 1;
    if (!store.write(settingstexts::filterValueName(), QString::number(filterEnabled)))
        dialogs.message(settingstexts::storeWriteFailed());
}
