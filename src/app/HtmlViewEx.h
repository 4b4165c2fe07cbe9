#pragma once

#include <QTextBrowser>

// The embedded start page: no context menu, no text selection by dragging, no scroll bars, no
// border, the arrow cursor instead of the text cursor.
class CHtmlViewEx : public QTextBrowser {
    Q_OBJECT
  public:
    explicit CHtmlViewEx(QWidget* parent = nullptr);
    // Shows the start page of the application folder, or the built-in copy.
    void Navigate();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
