#include "platform/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>

namespace {

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

// The program's translation, built from translations/kiv-syslog_zh_CN.ts.
const QString kProgramTranslation = QStringLiteral(":/i18n/kiv-syslog_zh_CN.qm");
// Qt's own, from the system's Qt translations.
const QString kQtTranslation = QStringLiteral("qtbase_zh_CN");

struct Installed {
    std::unique_ptr<QTranslator> program;
    std::unique_ptr<QTranslator> qt;
    Language language = Language::English;
};

Installed& installed()
{
    static Installed translators;
    return translators;
}

void remove(std::unique_ptr<QTranslator>& translator)
{
    if (!translator)
        return;
    QCoreApplication::removeTranslator(translator.get());
    translator.reset();
}

} // namespace

Language languageForLocale(const QString& posixName)
{
    static const QStringList chinese = {QStringLiteral("zh"), QStringLiteral("zh_CN"), QStringLiteral("zh_TW"),
                                        QStringLiteral("zh_HK"), QStringLiteral("zh_SG")};
    return chinese.contains(normalisedLocaleName(posixName)) ? Language::Chinese : Language::English;
}

QString messagesLocaleName()
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(variable);
        if (!value.isEmpty())
            return value;
    }
    return QLocale::system().name();
}

bool useLanguage(Language language)
{
    Installed& current = installed();
    remove(current.program);
    remove(current.qt);
    current.language = Language::English;
    if (language == Language::English)
        return true;

    // Installed first, so that the program's own texts are looked up before Qt's.
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(kQtTranslation, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt.get());
        current.qt = std::move(qt);
    }
    auto program = std::make_unique<QTranslator>();
    if (!program->load(kProgramTranslation)) {
        remove(current.qt);
        return false;
    }
    QCoreApplication::installTranslator(program.get());
    current.program = std::move(program);
    current.language = language;
    return true;
}

Language languageInUse() { return installed().language; }
