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
