#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <optional>

// How a log line is marked: by the words of the message filter, compared
// case-sensitively ("Error" or "WARNING" do not count). "error" wins when a
// line holds both. The whole line may be tested: its time and sender address
// never contain these words.
enum class LineSeverity { Plain, Warning, Error };
LineSeverity lineSeverity(const QString& line);

// The text colour of a severity on a list of the given base colour: red and
// dark amber on a light base, lighter variants of both on a dark one. Nothing
// for a plain line, which keeps the palette's own text colour.
std::optional<QColor> severityTextColour(LineSeverity severity, const QColor& base);

// Draws log lines in the text colour of their severity. Only the normal text
// colour changes: a selected line keeps the palette's selection colours, and
// the colour never changes the font or the size of a line.
class LogLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // Public so that a caller can ask how a line is drawn.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
