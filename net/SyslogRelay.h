#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>

// What a forwarded message looks like on the wire.
//
// A relay (RFC 3164 section 4.3) keeps a message that says when and where it
// was made, and completes one that does not, so that the collector still
// learns both. relayedMessage() decides by the message's header as
// parseSyslogHeader() reads it (the bytes taken one character each, trailing
// CR, LF and NUL left out):
//
// - No PRI, or one that is not valid ("info: disk ok", "<999>x"): the relay's
//   PRI <13> (user-level, notice), TIMESTAMP, SP, HOSTNAME, SP and then the
//   whole message: "<13>Dec  7 15:37:51 192.168.1.5 info: disk ok".
// - A PRI and no valid TIMESTAMP (none, or one that cannot be a date such as
//   "Feb 30"), the message not RFC 5424: TIMESTAMP, SP, HOSTNAME and SP go
//   right after the PRI; whatever followed it (a TAG, a Cisco sequence
//   number, the text) stays as it was: "<14>info: x" becomes
//   "<14>Dec  7 15:37:51 192.168.1.5 info: x".
// - A valid TIMESTAMP (RFC 3164 "Mmm dd hh:mm:ss", an RFC 3339 one, Cisco's),
//   with or without a HOSTNAME after it, or an RFC 5424 header (also one with
//   "-" for its TIMESTAMP or HOSTNAME): the message is not touched, as the RFC
//   requires of a relay that finds a valid TIMESTAMP. A message like
//   "<14>Dec  7 15:37:51 app[12]: x" thus goes on without the sender's
//   address: the relay cannot tell a missing HOSTNAME from a present one.
//
// TIMESTAMP is the arrival time and HOSTNAME the address of the sender the
// message came from. Everything else of the message, non-ASCII bytes
// included, is kept byte for byte.
QByteArray relayedMessage(const QByteArray& message, QByteArrayView senderHost, QByteArrayView timestamp);

// A local date-time as an RFC 3164 TIMESTAMP, "Mmm dd hh:mm:ss": the English
// month abbreviation and the day of the month padded with a blank
// ("Dec  7 09:05:03").
QByteArray relayTimestamp(const QDateTime& time);

// Stream framings (RFC 6587), each appending one message to out.
//
// Octet counting: "<length> <message>", the message as it is (a trailing line
// end included: the framing is transparent).
void appendOctetCounted(QByteArray& out, QByteArrayView message);
// Non-transparent framing: the message ended by LF. CR, LF and NUL at its end
// are left out (the message is not ended twice); LF and NUL inside it would
// end it early at the collector and become a blank each; a CR stays.
void appendLineFramed(QByteArray& out, QByteArrayView message);
