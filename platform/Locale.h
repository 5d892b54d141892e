#pragma once

#include <QLocale>
#include <QString>

// The system's default locale, expressed as a Windows locale identifier (LCID),
// which is what the language choice is defined on.
class SystemLocale {
public:
    virtual ~SystemLocale() = default;
    virtual int localeId() const = 0;
};

// Maps a POSIX locale name ("zh_CN", "zh_TW.UTF-8", "en_US@euro", "C") to its
// Windows identifier. The Chinese locales map to zh_CN 2052, zh 4, zh_TW 1028,
// zh_HK 3076 and zh_SG 4100; en_US gives 1033, ja_JP 1041, "C" and "POSIX" are
// English (US), and every other locale gives a value that is none of the
// Chinese ones.
int windowsLocaleId(const QString& posixName);

// The same for a QLocale, by its name. QLocale("zh") names itself "zh_CN", so
// a bare "zh" can only be told apart through the POSIX name above.
int windowsLocaleId(const QLocale& locale);

// The user-interface language for a locale identifier: "cn" for the Chinese
// locales (2052, 4, 1028, 3076, 4100), "en" for every other.
QString languageModeFor(int localeId);

// The locale name the user chose for messages: the first non-empty of LC_ALL,
// LC_MESSAGES and LANG, else the name of QLocale::system().
QString systemPosixLocaleName();

class QtSystemLocale final : public SystemLocale {
public:
    int localeId() const override { return windowsLocaleId(systemPosixLocaleName()); }
};
