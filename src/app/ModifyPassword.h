#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLineEdit;

// "密码修改" (template 133): changes the password of the local user Admin or Guest.
class CModifyPassword : public QDialog {
    Q_OBJECT
  public:
    explicit CModifyPassword(QWidget* parent = nullptr);

    QComboBox* m_userTypeCombo;  // 1024
    std::string m_oldPassword;   // 1028
    std::string m_newPassword;   // 1026
    std::string m_confirm;       // 1027
    int m_userType = 0;

    QLineEdit* m_oldEdit;
    QLineEdit* m_newEdit;
    QLineEdit* m_confirmEdit;

    // The confirm button (IDOK).
    void OnOK();

  protected:
    // ModifyPassWord of the application database; replaceable for tests.
    virtual int ChangePassword(const std::string& user, const std::string& oldPassword,
                               const std::string& newPassword);
};
