#pragma once

#include "platform/Desktop.h"

class QtClipboard final : public Clipboard {
public:
    void setText(const QString& text) override;
};

class QtShell final : public Shell {
public:
    bool openUrl(const QString& url) override;
};
