#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Splits the byte stream of one syslog-over-TCP connection into messages.
//
// The framing is told apart per message. A message that starts with a nonzero
// digit, further digits and a blank is octet-counted: "<length> <message>",
// where exactly <length> bytes follow the blank. Any other message is
// non-transparently framed: it ends at LF, CR LF or NUL. The terminator is not
// part of the message, a CR right before LF is dropped, and an empty message
// (two terminators in a row) is skipped.
//
// feed() takes whatever the socket read and returns the messages it completed,
// in order; an incomplete message waits inside the splitter for the next
// chunk. A message longer than the limit, an octet count of more than nine
// digits or an octet count above the limit is an error: feed() still returns
// every whole message before the fault, then the splitter ignores all further
// input and the connection is to be closed (errorText() says why).
//
// Messages are the raw bytes of the stream; nothing is decoded. Each byte is
// looked at about once however the stream is cut into chunks.
class SyslogFraming {
public:
    enum class Error { None, Oversized, OctetCountTooLong, OctetCountAboveLimit };

    // maxMessageBytes: the longest message accepted (at least 1).
    explicit SyslogFraming(qsizetype maxMessageBytes);

    QList<QByteArray> feed(const char* data, qsizetype size);
    QList<QByteArray> feed(const QByteArray& chunk) { return feed(chunk.constData(), chunk.size()); }

    // The connection has ended: returns the non-transparently framed message
    // still waiting for its terminator, if there is one (an incomplete
    // octet-counted message is not whole and is dropped). Nothing is left
    // waiting afterwards.
    QList<QByteArray> finish();

    bool hasError() const { return error_ != Error::None; }
    Error error() const { return error_; }
    // Why the stream was rejected, in one sentence; empty without an error.
    QString errorText() const { return errorText_; }

    // Bytes of an incomplete message waiting for more input.
    qsizetype bufferedBytes() const { return pending_.size(); }
    qsizetype maxMessageBytes() const { return maxMessageBytes_; }

private:
    enum class Kind { Undecided, OctetCounted, NonTransparent };
    // What is known about the message at the start of the unsplit bytes.
    struct Head {
        Kind kind = Kind::Undecided;
        // Undecided: leading digits already looked at. NonTransparent: leading
        // bytes known to hold no terminator.
        qsizetype scanned = 0;
        // OctetCounted: the length and the bytes of "<length> ".
        qsizetype length = 0;
        qsizetype headerBytes = 0;
    };

    qsizetype split(const char* data, qsizetype size, QList<QByteArray>& out);
    void fail(Error error, const QString& text);

    qsizetype maxMessageBytes_;
    // The start of the next message, as far as it has arrived.
    QByteArray pending_;
    Head head_;
    Error error_ = Error::None;
    QString errorText_;
};
