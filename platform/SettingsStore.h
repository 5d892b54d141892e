#pragma once

#include <QString>

// The per-user store of the program's named text values ("port", "msgfilter").
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The value as text; empty text when the store, the key or the value cannot
    // be read or the value is not a text or a number.
    virtual QString read(const QString& name) const = 0;
    // Creates the key if needed and stores the text. False when the key cannot
    // be created or opened (nothing is stored then).
    virtual bool write(const QString& name, const QString& value) = 0;
    // Where a user finds the values to change them by hand (a file's full
    // path); empty when there is no such place.
    virtual QString location() const { return QString(); }
};
