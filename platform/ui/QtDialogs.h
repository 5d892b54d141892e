#pragma once

#include "platform/Dialogs.h"

class QWidget;

class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    // Without a screen nobody can answer a box: messages then go to standard
    // error and every prompt is answered with Cancel.
    void setHeadless(bool headless) { headless_ = headless; }
    void message(const QString& text) override;
    void warning(const QString& text) override;
    QString prompt(const QString& prompt, const QString& caption, const QString& defaultText) override;

private:
    QWidget* parent_;
    bool headless_ = false;
};
