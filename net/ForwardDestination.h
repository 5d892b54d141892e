#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A place messages are forwarded to, as written in the forwarding setting:
//
//   udp://HOST:PORT      one datagram per message
//   tcp://HOST:PORT      one connection, each message octet-counted:
//                        "<length> <message>" (RFC 6587 section 3.4.1)
//   tcp+lf://HOST:PORT   one connection, each message ended by LF
//                        (RFC 6587 section 3.4.2, "non-transparent framing")
//   tls://HOST:PORT      one TLS connection, each message octet-counted
//                        (RFC 5425); the collector's certificate is verified
//                        and must name HOST
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ("udp://[::1]:514"). A destination sends what a relay sends (see
// SyslogRelay.h) unless "?raw" follows the port ("udp://h:514?raw"): then each
// message goes out exactly as it was received. The scheme names the transport
// and, after '+', its framing.
struct ForwardDestination {
    enum class Transport { Udp, Tcp, Tls };
    // How messages are delimited on a stream; a datagram needs none.
    enum class Framing { OctetCounting, LineFeed };

    Transport transport = Transport::Udp;
    // A host name or an address; an IPv6 address without its brackets.
    QString host;
    quint16 port = 0;
    // Octet counting unless the transport is TCP and "+lf" was given.
    Framing framing = Framing::OctetCounting;
    // Messages go out as received, without the header a relay adds.
    bool raw = false;

    // The destination as it is written in the settings ("tcp+lf://[::1]:514?raw").
    QString text() const;
    bool operator==(const ForwardDestination&) const = default;
};

struct ParsedForwardDestinations {
    QList<ForwardDestination> destinations;
    // One sentence per entry that was not taken, naming the entry.
    QStringList errors;
};

// Reads the forwarding setting: zero or more entries separated by blanks,
// each of a form above; the scheme and the option are read in any case, PORT
// is 1..65535. An entry that does not parse, or repeats an earlier one, gives
// an error instead of a destination.
ParsedForwardDestinations parseForwardDestinations(const QString& settingText);
