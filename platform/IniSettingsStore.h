#pragma once

#include "platform/SettingsStore.h"

class QSettings;

// The settings in the user's own store: on Windows the registry key
// HKEY_CURRENT_USER\Software\varare, elsewhere the file varare.conf in the
// user's configuration directory, with its values in the [General] section.
//
// Every read and write opens the store afresh, so a value changed by hand while
// the program runs is seen by the next read.
class IniSettingsStore final : public SettingsStore {
public:
    // filePath: an INI file (or, on Windows, a registry path starting with
    // "HKEY_"); see defaultPath().
    explicit IniSettingsStore(QString filePath = defaultPath());

    // A text value reads as itself and a number as its decimal text; anything
    // else (a list, binary data), a value of more than 1024 bytes and an
    // unreadable store read as empty text. A text ends at its first NUL.
    QString read(const QString& name) const override;
    // Stores the text and writes it through at once; false when the store
    // cannot be written.
    bool write(const QString& name, const QString& value) override;
    // The file (or registry key), with the platform's separators.
    QString location() const override;

    static QString defaultPath();
    // The largest value, in bytes, that read() gives back.
    static constexpr int kMaxValueBytes = 1024;

private:
    QString path_;
};
