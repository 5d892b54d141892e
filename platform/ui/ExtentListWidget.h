#pragma once

#include <QListWidget>

// A list box whose horizontal scroll range is set by the program, in pixels,
// rather than measured from its lines. The horizontal scroll bar appears the
// first time a range is set and stays from then on. Lines holding "error" or
// "warning" are drawn in their own colour (see LogLineDelegate).
class ExtentListWidget : public QListWidget {
    Q_OBJECT
public:
    explicit ExtentListWidget(QWidget* parent = nullptr);

    // Sets the scrollable width of the list's content. 0 or less does nothing.
    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return extent_; }
    // Whether the list has gained its horizontal scroll bar.
    bool hasHorizontalScrollBar() const { return scrollBarShown_; }

    // Suspends or resumes repainting during bulk changes.
    void setRedraw(bool on);

    // The text of the current line (the line with the focus); empty when none.
    QString currentLineText() const;

protected:
    void updateGeometries() override;

private:
    int extent_ = 0;
    bool scrollBarShown_ = false;
};

// The width, in pixels, of the scroll range for a line of the given number of
// characters: a fixed estimate of 7 pixels a character plus a 20-pixel margin.
constexpr int horizontalExtentFor(qint32 characters) { return characters * 7 + 20; }
