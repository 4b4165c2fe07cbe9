#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QString ChooseLanguage(const char* forced, const QString& localeName) {
    const QString wanted = forced == nullptr ? QString() : QString::fromLatin1(forced).toLower();
    if (wanted == "zh" || wanted == "en") return wanted;
    return localeName.startsWith("zh") ? QString("zh") : QString("en");
}

bool InstallTranslations(QCoreApplication* app, const QString& language) {
    QTranslator* translator = new QTranslator(app);
    bool loaded = false;
    if (language == "zh") {
        // The program speaks Chinese already; Qt's own buttons and dialogs should too.
        loaded =
            translator->load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    } else {
        loaded = translator->load(":/i18n/strevix_en.qm");
    }
    if (!loaded) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
