#pragma once

#include <QString>

// The language of the interface. Captions and messages are written in
// English in the code; the Chinese interface comes from the translation
// built into the program, loaded once at startup.
enum class Language { Chinese, English };

// The language for a POSIX locale name ("zh_CN", "zh_TW.UTF-8",
// "zh_HK.Big5@stroke", "C"): Chinese for the language-neutral "zh" and for
// Chinese of mainland China, Taiwan, Hong Kong and Singapore; English for every
// other locale, zh_MO, C and POSIX included.
Language languageForLocale(const QString& posixName);

// The locale name the user chose for messages: the first non-empty of LC_ALL,
// LC_MESSAGES and LANG, else the name of the system locale.
QString messagesLocaleName();

// Makes the language the interface's: installs the program's translation and
// Qt's own (buttons of message boxes, file and input dialogs) for it, in place
// of those a call before installed; English needs none. Qt's own translation
// may be missing (English buttons then, and nothing said). False only when
// the program's own translation cannot be loaded; the interface is English then.
bool useLanguage(Language language);

// The language last made the interface's; English before any call.
Language languageInUse();
