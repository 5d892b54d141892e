#include "platform/Locale.h"

#include <QHash>

namespace {

// Windows' identifier for a locale it has no identifier of its own for
// (LOCALE_CUSTOM_UNSPECIFIED); not a Chinese locale.
constexpr int kUnknownLocaleId = 0x1000;
constexpr int kEnglishUnitedStatesId = 1033;

const QHash<QString, int>& knownLocaleIds()
{
    static const QHash<QString, int> ids = {
        {QStringLiteral("zh_CN"), 2052}, {QStringLiteral("zh"), 4},
        {QStringLiteral("zh_TW"), 1028}, {QStringLiteral("zh_HK"), 3076},
        {QStringLiteral("zh_SG"), 4100}, {QStringLiteral("zh_MO"), 5124},
        {QStringLiteral("en_US"), 1033}, {QStringLiteral("en_GB"), 2057},
        {QStringLiteral("en"), 9},       {QStringLiteral("ja_JP"), 1041},
        {QStringLiteral("ko_KR"), 1042}, {QStringLiteral("de_DE"), 1031},
        {QStringLiteral("fr_FR"), 1036}, {QStringLiteral("es_ES"), 3082},
        {QStringLiteral("it_IT"), 1040}, {QStringLiteral("ru_RU"), 1049},
        {QStringLiteral("pt_BR"), 1046}, {QStringLiteral("pt_PT"), 2070},
    };
    return ids;
}

// "zh_tw.UTF-8@stroke" -> "zh_TW": drops the encoding and the modifier and
// normalises the case of language and territory.
QString normalisedLocaleName(const QString& posixName)
{
    QString name = posixName.trimmed();
    name = name.left(name.indexOf(QLatin1Char('@')));
    name = name.left(name.indexOf(QLatin1Char('.')));
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    const qsizetype separator = name.indexOf(QLatin1Char('_'));
    if (separator < 0)
        return name.toLower();
    return name.left(separator).toLower() + QLatin1Char('_') + name.mid(separator + 1).toUpper();
}

bool isEnglishByDefault(const QString& name)
{
    return name.isEmpty() || name == QLatin1String("c") || name == QLatin1String("posix");
}

} // namespace

int windowsLocaleId(const QString& posixName)
{
    const QString name = normalisedLocaleName(posixName);
    if (isEnglishByDefault(name))
        return kEnglishUnitedStatesId;
    return knownLocaleIds().value(name, kUnknownLocaleId);
}

int windowsLocaleId(const QLocale& locale)
{
    return windowsLocaleId(locale.name());
}

QString languageModeFor(int localeId)
{
    switch (localeId) {
    case 2052:
    case 4:
    case 1028:
    case 3076:
    case 4100:
        return QStringLiteral("cn");
    default:
        return QStringLiteral("en");
    }
}

QString systemPosixLocaleName()
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(variable);
        if (!value.isEmpty())
            return value;
    }
    return QLocale::system().name();
}
