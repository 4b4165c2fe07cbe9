#pragma once

#include <QDialog>

// "关于 Strevix" (template 100).
class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
