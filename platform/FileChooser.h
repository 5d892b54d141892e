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
