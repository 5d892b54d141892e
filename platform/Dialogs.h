#pragma once

#include <QString>

// Modal boxes. Every message and prompt of the program goes through this, so a
// test can script the answers and record what the user would have seen.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A message with one OK button and the application title as caption.
    virtual void message(const QString& text) = 0;
    // The same with a warning (exclamation) icon.
    virtual void warning(const QString& text) = 0;
    // A text prompt. OK gives the typed text, Cancel gives empty text.
    virtual QString prompt(const QString& prompt, const QString& caption, const QString& defaultText) = 0;
};

// The application title shown on every message box.
inline QString applicationTitle() { return QStringLiteral("凯维"); }
