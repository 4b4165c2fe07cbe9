#include "app/MessageBox.h"

#include "app/Language.h"

#include <QMessageBox>
#include <QString>

const char* const kAppName = "Strevix";

namespace {
MessageBoxHook g_hook;
}

void SetMessageBoxHook(MessageBoxHook hook) {
    g_hook = std::move(hook);
}

void AppMessageBox(QWidget* parent, const std::string& text, const std::string& caption) {
    if (g_hook) {
        g_hook(text, caption);
        return;
    }
    // The program's own texts in the window's language; others (reasons, addresses) as they are.
    QString shown = Tr(text.c_str());
    shown.replace("\r\n", "\n");
    QMessageBox box(QMessageBox::NoIcon, Tr(caption.c_str()), shown, QMessageBox::Ok, parent);
    // Texts may carry addresses from the network: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
