#include "app/ModifyPassword.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/Language.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "database/SqliteDataBase.h"

CModifyPassword::CModifyPassword(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Tr("密码修改"));
    setFont(SongTiFont(9));
    DialogUnits du(font());
    setFixedSize(du.X(178), du.Y(117));

    auto label = [&](const char* text, int y) {
        QLabel* l = new QLabel(Tr(text), this);
        l->setTextFormat(Qt::PlainText);
        l->setGeometry(du.Rect(18, y + 2, 50, 10));
    };
    auto edit = [&](int id, int y) {
        QLineEdit* e = new QLineEdit(this);
        e->setObjectName(QString("ctl%1").arg(id));
        e->setEchoMode(QLineEdit::Password);
        e->setGeometry(du.Rect(70, y, 90, 13));
        return e;
    };
    label("用户类型：", 14);
    m_userTypeCombo = new QComboBox(this);
    m_userTypeCombo->setObjectName(QString("ctl%1").arg(IDC_USER_TYPE));
    m_userTypeCombo->addItem(Tr("管理人员"));
    m_userTypeCombo->addItem(Tr("使用人员"));
    m_userTypeCombo->setCurrentIndex(m_userType);
    m_userTypeCombo->setGeometry(du.Rect(70, 14, 90, 13));
    label("原密码：", 34);
    m_oldEdit = edit(IDC_OLD_PASSWORD, 34);
    label("新密码：", 54);
    m_newEdit = edit(IDC_NEW_PASSWORD, 54);
    label("新密码：", 74);
    m_confirmEdit = edit(IDC_CONFIRM_PASSWORD, 74);

    QPushButton* ok = new QPushButton(Tr("确认修改"), this);
    ok->setObjectName("ctl1");
    ok->setDefault(true);
    ok->setGeometry(du.Rect(30, 96, 50, 14));
    QPushButton* cancel = new QPushButton(Tr("取  消"), this);
    cancel->setObjectName("ctl2");
    cancel->setGeometry(du.Rect(98, 96, 50, 14));
    connect(ok, &QPushButton::clicked, this, &CModifyPassword::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

int CModifyPassword::ChangePassword(const std::string& user, const std::string& oldPassword,
                                    const std::string& newPassword) {
    return CSqliteDataBase::GetInstance()->ModifyPassWord(user, oldPassword, newPassword);
}

void CModifyPassword::OnOK() {
    m_userType = m_userTypeCombo->currentIndex();
    m_oldPassword = m_oldEdit->text().toStdString();
    m_newPassword = m_newEdit->text().toStdString();
    m_confirm = m_confirmEdit->text().toStdString();
    if (m_userType != 0 && m_userType != 1) {
        AppMessageBox(this, "请选择用户类型", kAppName);
        return;
    }
    if (m_newPassword != m_confirm) {
        AppMessageBox(this, "两次输入的新密码不一致\r\n请重新输入！\r\n", kAppName);
        return;
    }
    int result = 0;
    try {
        result = ChangePassword(m_userType == 0 ? "Admin" : "Guest", m_oldPassword, m_newPassword);
    } catch (const ExceptionBase& e) {
        // The database could not be used: say so and keep the dialog open.
        LogOut(LOG_ERROR, e.GetDescription());
        AppMessageBox(this, e.GetDescription(), kAppName);
        return;
    }
    if (result == -1) {
        AppMessageBox(this, "原密码不正确\r\n请重新输入！\r\n", kAppName);
        return;
    }
    accept();
}
