#pragma once

// The name of an SQLite file layer (VFS) over the platform's own that writes
// each commit into the write-ahead log in one system call instead of two a
// page (the frame's header, then the page). Registered on first use; open a
// connection with this name as its VFS.
//
// What the engine hands over for the log is kept in memory until the page of
// the commit's last frame arrives, and written then, inside that write: a
// failure fails the commit, as it would have without joining. Anything else
// done with the log or with the shared-memory index (a read, a sync, a
// truncation, a lock, publishing a commit to other connections) writes what
// is kept first, so no other connection ever reads the log behind it and a
// crash of the program loses nothing that was committed.
const char* joinedWalVfsName();
