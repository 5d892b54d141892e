#pragma once

#include "AppState.h"

#include <QDateTime>
#include <QString>

// Puts one rejected datagram (arrival time, sender, complete text) into the
// buffer. A full buffer is emptied instead and starts a new generation; the
// datagram that found it full is not stored, the next one goes to index 0.
void StoreFilteredMessage(FilteredMessageBuffer& buffer, const QDateTime& time, const QString& ip,
                          const QString& text);
