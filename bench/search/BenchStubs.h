#pragma once

#include "platform/Desktop.h"
#include "platform/Dialogs.h"

#include <cstdio>

// A benchmark shows no boxes: messages are printed, prompts cancelled, copies dropped.
class PrintingDialogs final : public Dialogs {
public:
    void message(const QString& text) override { std::printf("message: %s\n", qPrintable(text)); }
    void warning(const QString& text) override { message(text); }
    QString prompt(const QString&, const QString&, const QString&) override { return QString(); }
};

class DroppingClipboard final : public Clipboard {
public:
    void setText(const QString&) override {}
};
