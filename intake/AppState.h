#pragma once

#include <QDateTime>
#include <QString>
#include <array>

// The rejected datagrams most recently received, at most 2000. Not a ring:
// when it is full, the next rejected datagram empties it and starts a new
// generation without being stored itself.
struct FilteredMessageBuffer {
    static constexpr int Capacity = 2000;
    std::array<QDateTime, Capacity> FilteredTime;
    std::array<QString, Capacity> FilteredIp;
    std::array<QString, Capacity> FilteredMessage;
    // Entries stored since the last reset; also the index of the next store.
    qint32 FilteredBufferCount = 0;
    // How many times the buffer was emptied because it was full.
    qint32 FilteredBufferGeneration = 0;
    // Set by every store and reset; cleared once the filtered-message window has shown it.
    bool FilteredBufferChanged = false;
};

// Records on their way to the database, in arrival order; slots
// 0..QueueCount-1 are in use.
struct WriteQueueSlots {
    static constexpr int Capacity = 10;
    std::array<QString, Capacity> QueueTime;
    std::array<QString, Capacity> QueueIp;
    std::array<QString, Capacity> QueueMessage;
    qint32 QueueCount = 0;
};

// The state the whole program shares while it runs. Owned by the main window
// and handed by reference to whatever reads or changes it; everything runs on
// the user-interface thread, so nothing here is locked.
struct AppState {
    // User-interface language, "cn" or "en", fixed at startup.
    QString syslng = QStringLiteral("cn");
    // The day ("yyyy-MM-dd") whose table receives records; moves on at the
    // first accepted datagram of a new day.
    QString CurrentDay;
    // Message filter switch: 1 on, 0 off.
    qint16 FilterEnabled = 1;
    // Length in characters of the longest line added to the main list since it was last filled.
    qint32 WidestLine = 0;
    // Accepted datagrams since the last one-second tick.
    qint32 ReceivedThisSecond = 0;
    // Datagrams rejected by the filter since the process started.
    qint32 FilteredCount = 0;
    // 1 while a day-list reload is owed after the cleaner window closed.
    qint32 DayListRefreshPending = 0;
    // Whether the write queue may write several records in one transaction;
    // switched off for good by the first failed flush.
    bool BatchWritesEnabled = true;
    // True while the filtered-message window is open.
    bool FilteredViewOpen = false;

    WriteQueueSlots queue;
    FilteredMessageBuffer filtered;

    bool english() const { return syslng == QLatin1String("en"); }
};
