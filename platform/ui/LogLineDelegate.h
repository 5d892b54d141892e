#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <optional>

// How a log line is marked. A line whose syslog severity is known (0..7)
// follows it: emergency, alert, critical and error are errors, warning is a
// warning, debug is greyed, notice and informational are plain. Otherwise the
// words of the message filter decide, compared case-sensitively ("Error" or
// "WARNING" do not count); "error" wins when a line holds both. The whole line
// may be tested: its time and sender address never contain these words.
enum class LineSeverity { Plain, Debug, Warning, Error };
LineSeverity lineSeverity(const QString& line, int syslogSeverity = -1);

// Item data a list may carry beside a line's text: the syslog severity
// (0..7; missing where unknown), and, for views that show a line in pieces,
// the whole line the words are looked for in.
inline constexpr int kSyslogSeverityRole = Qt::UserRole + 101;
inline constexpr int kWholeLineRole = Qt::UserRole + 102;
// The colour a rule gives the line (0xRRGGBB as a uint), ahead of the severity's.
inline constexpr int kRuleColourRole = Qt::UserRole + 107;

// The text colour of a severity on a list of the given base colour: red, dark
// amber and grey on a light base, lighter variants on a dark one. Nothing
// for a plain line, which keeps the palette's own text colour.
std::optional<QColor> severityTextColour(LineSeverity severity, const QColor& base);

// Draws log lines in the colour a rule gives them (kRuleColourRole), else in
// the text colour of their severity (kSyslogSeverityRole,
// else the words of kWholeLineRole or of the shown text). Only the normal text
// colour changes: a selected line keeps the palette's selection colours, and
// the colour never changes the font or the size of a line.
class LogLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // Public so that a caller can ask how a line is drawn.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
