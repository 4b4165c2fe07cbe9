#pragma once

#include <functional>
#include <string>

class QWidget;

// A plain message box with an OK button. Every message box of the program goes through here,
// so tests can watch them: while a hook is set, it receives text and caption instead.
void AppMessageBox(QWidget* parent, const std::string& text, const std::string& caption);

typedef std::function<void(const std::string& text, const std::string& caption)> MessageBoxHook;
void SetMessageBoxHook(MessageBoxHook hook);

// The caption of the application's own message boxes.
extern const char* const kAppName;
