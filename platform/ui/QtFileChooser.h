#pragma once

#include "platform/FileChooser.h"

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
