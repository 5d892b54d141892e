#pragma once

#include "intake/FilteredMessages.h"
#include "intake/ReceiverCore.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

// The local link between a headless service and the windows attached to it.
//
// A frame is a 4-byte big-endian length followed by that many bytes of one
// compact UTF-8 JSON object. A client first sends {"id":1,"op":"hello",
// "version":1}; every request carries a number "id" and an "op", and gets
// exactly one reply {"re":id,"ok":true|false,...} ("error" says why when ok is
// false). After the hello the service also sends events {"ev":name,...}: the
// receiver's signals, in the order it gave them.
namespace linkframes {

inline constexpr int kVersion = 1;
// Requests are small; a longer frame from a client is taken as garbage.
inline constexpr qint32 kMaxRequestBytes = 64 * 1024;
// Events carry at most one log line or a bounded piece of the filtered buffer.
inline constexpr qint32 kMaxEventBytes = 8 * 1024 * 1024;

// The local socket of the service keeping its files in dataDir: a socket file
// in that directory, so that whoever may read the database may attach, and
// both sides find it without sharing a runtime directory.
QString socketPath(const QString& dataDir);

// The service and the windows share the database through the data
// directory's group: the database file (and its -wal and -shm files), where
// this user made it, takes the directory's group and, when the directory is
// group-writable, group read and write access. SQLite makes a new file
// without group write access whatever the umask; its -wal and -shm files
// then copy the database file's access.
void shareDatabaseWithGroup(const QString& dataDir);

QByteArray frame(const QJsonObject& message);

// Splits a byte stream into frames.
class FrameReader {
public:
    explicit FrameReader(qint32 maxBytes) : maxBytes_(maxBytes) {}
    void append(const QByteArray& bytes) { buffer_ += bytes; }
    // The next complete frame; nullopt when more bytes are needed. Sets
    // malformed() when the stream holds a frame that is too long, empty, not
    // JSON or not an object: nothing after it can be trusted.
    std::optional<QJsonObject> next();
    bool malformed() const { return malformed_; }
    void clear()
    {
        buffer_.clear();
        malformed_ = false;
    }

private:
    qint32 maxBytes_;
    QByteArray buffer_;
    bool malformed_ = false;
};

QJsonObject toJson(const IntakeSecond& counters);
IntakeSecond secondFromJson(const QJsonObject& object);
QJsonObject toJson(const FilteredBufferUpdate& update);
FilteredBufferUpdate filteredFromJson(const QJsonObject& object);

} // namespace linkframes
