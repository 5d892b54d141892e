#pragma once

#include <QDataStream>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <array>
#include <optional>

// The rejected datagrams most recently received, at most 2000. Not a ring:
// when it is full, the next rejected datagram empties it and starts a new
// generation without being stored itself.
struct FilteredMessageBuffer {
    static constexpr int kCapacity = 2000;
    std::array<QDateTime, kCapacity> times;
    std::array<QString, kCapacity> ips;
    std::array<QString, kCapacity> texts;
    // Entries stored since the last reset; also the index of the next store.
    qint32 count = 0;
    // How many times the buffer was emptied because it was full.
    qint32 generation = 0;
    // Set by every store and reset; cleared once the change has been passed on.
    bool changed = false;
};

// The longest text kept of one rejected datagram, in characters. A longer
// one is kept as its beginning followed by "…", so that 2000 datagrams of the
// largest size cannot hold hundreds of megabytes.
inline constexpr qsizetype kLongestFilteredText = 4096;

// Puts one rejected datagram (arrival time, sender, complete text) into the
// buffer. A full buffer is emptied instead and starts a new generation; the
// datagram that found it full is not stored, the next one goes to index 0.
void storeFilteredMessage(FilteredMessageBuffer& buffer, const QDateTime& time, const QString& ip,
                          const QString& text);

// What changed in a buffer since the last update was taken from it, so that
// a copy of it elsewhere (on another thread) can follow it.
struct FilteredBufferUpdate {
    struct Entry {
        QDateTime time;
        QString ip;
        QString text;
    };
    qint32 generation = 0;
    // The index in the buffer of the first entry below.
    qint32 firstIndex = 0;
    QList<Entry> entries;
};
// For the link to the windows.
QDataStream& operator<<(QDataStream& out, const FilteredBufferUpdate::Entry& entry);
QDataStream& operator>>(QDataStream& in, FilteredBufferUpdate::Entry& entry);
QDataStream& operator<<(QDataStream& out, const FilteredBufferUpdate& update);
QDataStream& operator>>(QDataStream& in, FilteredBufferUpdate& update);
Q_DECLARE_METATYPE(FilteredBufferUpdate)

// What the buffer holds beyond what was already passed on, from its first
// entry again after a new generation: at most maxChars characters of text (but
// at least one entry). sentGeneration and sentCount remember what was passed
// on. Nothing when all of it was.
std::optional<FilteredBufferUpdate> nextFilteredPiece(const FilteredMessageBuffer& buffer, qint32& sentGeneration,
                                                      qint32& sentCount, qsizetype maxChars);

// All of what the buffer holds beyond what was already passed on, and clears
// its changed flag.
FilteredBufferUpdate takeFilteredUpdate(FilteredMessageBuffer& buffer, qint32& sentGeneration, qint32& sentCount);

// Brings a copy of the buffer up to date with an update; marks it changed.
void applyFilteredUpdate(FilteredMessageBuffer& copy, const FilteredBufferUpdate& update);
