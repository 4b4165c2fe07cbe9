#pragma once

#include <QString>

class QCoreApplication;

// The language of the window: "zh" (the program's own texts, Qt's texts translated to Chinese)
// or "en" (the English translation). STREVIX_LANG=zh|en decides; otherwise the locale does:
// Chinese locales get "zh", every other one "en".
QString ChooseLanguage(const char* forced, const QString& localeName);

// Installs the translators for a language on the application; false when one is missing.
bool InstallTranslations(QCoreApplication* app, const QString& language);
