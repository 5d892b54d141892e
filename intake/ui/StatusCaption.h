#pragma once

#include "intake/ReceiverCore.h"

#include <QString>

// The status line's text: how many datagrams the filter rejected and how many
// were accepted during the last second, or that the filter is off.
QString statusCaption(const IntakeSecond& counters);

// The status line's tooltip while something was lost: each count since the
// start, one a line. Empty while nothing was lost.
QString lossTooltip(const LossCounts& losses);

// The status line's tooltip lines about the filters when the severity filter
// is on, and about TCP and forwarding: why syslog over TCP is not received,
// the receiver's notes on TCP (reading paused, senders refused or closed),
// and each forwarding destination that missed messages.
// Empty while neither applies.
QString intakeNotes(const IntakeSecond& counters);

// The status line while the receiver listens on no port (none could be bound,
// or the cleaner has the database): nothing is received until one is bound.
QString notListeningCaption();

// The status line's tooltip line for the same state, naming the port.
QString notListeningTooltip(int port);

// The status line of a window attached to a service while the service is away.
QString serviceAwayCaption();

// The status line of a window attached to a service while the service does
// not answer.
QString serviceSilentCaption();
