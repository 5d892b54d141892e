#pragma once

#include <QLocale>

// The system's default locale, expressed as a Windows locale identifier (LCID),
// which is what the language choice is defined on.
class SystemLocale {
public:
    virtual ~SystemLocale() = default;
    virtual int localeId() const = 0;
};

// Maps a locale to its Windows identifier for the Chinese locales
// (zh_CN 2052, zh 4, zh_TW 1028, zh_HK 3076, zh_SG 4100); English (US) gives
// 1033 and every other locale a value that is none of the Chinese ones.
int windowsLocaleId(const QLocale& locale);

class QtSystemLocale final : public SystemLocale {
public:
    int localeId() const override { return windowsLocaleId(QLocale::system()); }
};
