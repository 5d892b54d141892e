#include "platform/ui/LogLineDelegate.h"

namespace {

bool isDark(const QColor& base) { return qGray(base.rgb()) < 128; }

} // namespace

LineSeverity lineSeverity(const QString& line, int syslogSeverity)
{
    if (syslogSeverity >= 0 && syslogSeverity <= 7) {
        if (syslogSeverity <= 3)
            return LineSeverity::Error;
        if (syslogSeverity == 4)
            return LineSeverity::Warning;
        return syslogSeverity == 7 ? LineSeverity::Debug : LineSeverity::Plain;
    }
    if (line.contains(QLatin1StringView("error")))
        return LineSeverity::Error;
    if (line.contains(QLatin1StringView("warning")))
        return LineSeverity::Warning;
    return LineSeverity::Plain;
}

std::optional<QColor> severityTextColour(LineSeverity severity, const QColor& base)
{
    const bool dark = isDark(base);
    switch (severity) {
    case LineSeverity::Error:
        return dark ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xC8, 0x00, 0x00);
    case LineSeverity::Warning:
        return dark ? QColor(0xFF, 0xBF, 0x40) : QColor(0xA0, 0x5A, 0x00);
    case LineSeverity::Debug:
        return dark ? QColor(0xA8, 0xA8, 0xA8) : QColor(0x80, 0x80, 0x80);
    case LineSeverity::Plain:
        break;
    }
    return std::nullopt;
}

void LogLineDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (option->state.testFlag(QStyle::State_Selected))
        return;
    const QVariant ruled = index.data(kRuleColourRole);
    if (ruled.isValid()) {
        const QColor colour = QColor::fromRgb(QRgb(ruled.toUInt()));
        option->palette.setColor(QPalette::Active, QPalette::Text, colour);
        option->palette.setColor(QPalette::Inactive, QPalette::Text, colour);
        return;
    }
    const QVariant whole = index.data(kWholeLineRole);
    const QVariant severity = index.data(kSyslogSeverityRole);
    const LineSeverity marked
        = lineSeverity(whole.isValid() ? whole.toString() : option->text, severity.isValid() ? severity.toInt() : -1);
    const std::optional<QColor> colour
        = severityTextColour(marked, option->palette.color(QPalette::Active, QPalette::Base));
    if (!colour)
        return;
    // The active and inactive looks; a disabled list stays greyed out.
    option->palette.setColor(QPalette::Active, QPalette::Text, *colour);
    option->palette.setColor(QPalette::Inactive, QPalette::Text, *colour);
}
