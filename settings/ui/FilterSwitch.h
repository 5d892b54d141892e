#pragma once

#include "platform/Dialogs.h"
#include "platform/SettingsStore.h"

#include <QtGlobal>

// Switches the message filter (F3): a nonzero flag becomes 0 and "0" is stored
// as "msgfilter", a zero flag becomes 1 and "1" is stored. The flag changes
// first and stays changed when the store cannot be written; that failure is
// reported. Nothing confirms the switch.
void toggleMessageFilter(qint16& filterEnabled, SettingsStore& store, Dialogs& dialogs);
