#pragma once

#include <QString>

class QWidget;

// Asks the user for the name of a file to write. Every such question goes
// through this, so a test can answer it.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    // The chosen path, or empty text when the user cancels. suggestedName is
    // the name offered at first; filter lists the file kinds ("CSV (*.csv)").
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                                 const QString& filter) = 0;
};

// The question as a file dialog. A name typed without a suffix gets the first
// suffix of the filter. A relative suggested name starts in the user's
// documents folder.
class QtFileChooser final : public FileChooser {
public:
    // Without a screen nobody can answer: every question is then cancelled.
    void setHeadless(bool headless) { headless_ = headless; }
    QString saveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                         const QString& filter) override;

private:
    bool headless_ = false;
};
