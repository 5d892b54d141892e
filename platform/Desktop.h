#pragma once

#include <QString>

// The system clipboard.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Clears the clipboard, then puts plain text on it.
    virtual void setText(const QString& text) = 0;
};

// The desktop's default handler for addresses (a web browser for http links).
class Shell {
public:
    virtual ~Shell() = default;
    virtual bool openUrl(const QString& url) = 0;
};
