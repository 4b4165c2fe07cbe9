#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTranslator>
#include <utility>
#include <vector>

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

QString Tr(const char* source) {
    return QCoreApplication::translate("Strevix", source);
}

namespace {

// The status texts with their variable parts; the translation of each keeps %1 and %2.
const char* const kStatusTexts[] = {
    QT_TRANSLATE_NOOP("Strevix", "程序准备就绪"),
    QT_TRANSLATE_NOOP("Strevix", "停止采集"),
    QT_TRANSLATE_NOOP("Strevix", "正在分析网络数据（共%1个接口）..."),
    QT_TRANSLATE_NOOP("Strevix", "正在分析网络数据（共%1个接口），内核已丢弃%2个包"),
    QT_TRANSLATE_NOOP("Strevix", "正在分析PCap文件<%1>"),
    QT_TRANSLATE_NOOP("Strevix", "PCap文件<%1>分析完毕"),
    QT_TRANSLATE_NOOP("Strevix",
                      "正在分析网络数据（共%1个接口），%2个TLS会话无法解密（缺少密钥日志）"),
    QT_TRANSLATE_NOOP("Strevix", "PCap文件<%1>分析完毕，%2个TLS会话无法解密（缺少密钥日志）"),
    QT_TRANSLATE_NOOP("Strevix", "TLS密钥日志：%1"),
    QT_TRANSLATE_NOOP("Strevix", "TLS密钥日志尚不可读：%1"),
    QT_TRANSLATE_NOOP("Strevix", "PCap文件<%1>已损坏，分析提前结束"),
    QT_TRANSLATE_NOOP("Strevix", "第%1次下载，可点击[文件夹]观看。"),
    QT_TRANSLATE_NOOP("Strevix", "无法打开%1：%2"),
};

QString TrStatusText(const QString& text) {
    static std::vector<std::pair<QRegularExpression, const char*>> patterns = [] {
        std::vector<std::pair<QRegularExpression, const char*>> list;
        for (const char* source : kStatusTexts) {
            QString pattern = QRegularExpression::escape(QString::fromUtf8(source));
            // escape() leaves "%" escaped or not, depending on the Qt version.
            pattern.replace("\\%", "%").replace("%1", "(.*)").replace("%2", "(.*)");
            list.emplace_back(QRegularExpression("^" + pattern + "$",
                                                 QRegularExpression::DotMatchesEverythingOption),
                              source);
        }
        return list;
    }();
    for (const auto& p : patterns) {
        const QRegularExpressionMatch m = p.first.match(text);
        if (!m.hasMatch()) continue;
        const QString translated = Tr(p.second);
        // One pass over the markers: a name that holds "%2" stays as it is.
        if (m.lastCapturedIndex() >= 2) return translated.arg(m.captured(1), m.captured(2));
        if (m.lastCapturedIndex() == 1) return translated.arg(m.captured(1));
        return translated;
    }
    return text;
}

}  // namespace

QString TrStatus(const QString& line) {
    const QString status = QString::fromUtf8("状态："), packets = QString::fromUtf8("  网络包数："),
                  streams = QString::fromUtf8("  视频流数:"), error = QString::fromUtf8("  异常：");
    const int p = line.indexOf(packets), s = line.indexOf(streams, p), e = line.indexOf(error, s);
    if (!line.startsWith(status) || p < 0 || s < 0 || e < 0) return line;
    return Tr("状态：") + TrStatusText(line.mid(status.size(), p - status.size())) + "  " +
           Tr("网络包数：") + line.mid(p + packets.size(), s - p - packets.size()) + "  " +
           Tr("视频流数:") + line.mid(s + streams.size(), e - s - streams.size()) + "  " +
           Tr("异常：") + line.mid(e + error.size());
}
