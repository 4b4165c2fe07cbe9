#pragma once

#include <QString>

class QCoreApplication;

// The language of the window: "zh" (the program's own texts, Qt's texts translated to Chinese)
// or "en" (the English translation). STREVIX_LANG=zh|en decides; otherwise the locale does:
// Chinese locales get "zh", every other one "en".
QString ChooseLanguage(const char* forced, const QString& localeName);

// Installs the translators for a language on the application; false when one is missing.
bool InstallTranslations(QCoreApplication* app, const QString& language);

// A text of the program's own (Chinese) in the window's language.
QString Tr(const char* source);
// The status line in the window's language: its labels, and the status texts the program
// builds (with their numbers and names kept).
QString TrStatus(const QString& line);
