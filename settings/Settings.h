#pragma once

#include "platform/SettingsStore.h"

#include <QString>
#include <optional>
#include <QtGlobal>

// The two settings as the program starts with them.
struct StartupSettings {
    // The port to bind, as stored; "514" when none is stored.
    QString portText;
    // The message filter switch: 1 on, 0 off; never anything else.
    qint16 filterEnabled = 1;
};

// Reads "port" and "msgfilter". An empty port gives "514". The filter is off
// (0) only when the stored text rounds to 0 ("0", "0.4"); any other number, an
// empty value, a text that is not a number and a number outside the 16-bit
// range all give 1 (filter on). Nothing is written back.
StartupSettings loadSettings(const SettingsStore& store);

// How many days of records to keep: the "keepdays" value as a whole number
// of days, read as the other numeric settings are (rounded half to even,
// "7.5" gives 8). 0 means keep everything, and so do a missing value, a text
// that is not a number, a negative number and one beyond the 32-bit range.
// Nothing is written back.
qint32 loadKeepDays(const SettingsStore& store);

// Whether syslog over TCP is received on the port as well: the "tcp" value
// read as the filter switch is. Only a value that reads as 0 ("0", "0.4")
// turns it off; a missing value, a text that is not a number and any other
// number leave it on. Nothing is written back.
bool loadTcpEnabled(const SettingsStore& store);

// The severity filter: the "minseverity" value, 0 (emergency) to 7 (debug),
// read as the other numeric settings are. Messages whose severity number is
// higher are rejected. nullopt when no value is stored; -1 (no severity
// filter) for a value that is not a number of 0 to 7. Nothing is written back.
std::optional<int> loadMinSeverity(const SettingsStore& store);

// How many TCP connections one sender address may hold open at once: the
// "tcpperaddress" value as a whole number, read as the other numeric settings
// are. A missing value, a text that is not a number and a number below 1 give
// the default, 32. Nothing is written back.
qint32 loadTcpConnectionsPerAddress(const SettingsStore& store);

// The "forward" value as stored: zero or more destinations separated by
// blanks (see parseForwardDestinations); empty when none is stored.
QString loadForwardSetting(const SettingsStore& store);

// Syslog over TLS as stored: the files "tlscert", "tlskey" and "tlsca" (empty
// when not stored) and the port "tlsport".
struct TlsSettings {
    QString certificate;
    QString key;
    QString authorities;
    // 6514 (RFC 5425) when missing; 0 when the stored text is not a port (1
    // to 65535).
    quint16 port = 6514;
    QString portText;

    // A certificate or a key is set: TLS is meant to be received.
    bool hasIdentity() const { return !certificate.isEmpty() || !key.isEmpty(); }
};

// Reads the TLS values. Nothing is written back.
TlsSettings loadTlsSettings(const SettingsStore& store);
