#pragma once
// The program's only access to its database file (QuilletDT.dll in the application folder):
// filter rules, local users, settings and two descriptive rows.

#include <array>
#include <list>
#include <string>

#include "database/SqlWrapper.h"

struct NetDataFilterInfo {
    std::string RemoteAddr;
    std::string MsgHeader;
    std::string ValidDataFlag;
    std::string DataStartFlag;
    std::string DataEndFlag;
};

class CSqliteDataBase {
  public:
    // Created on first use; throws ExceptionDerived when construction fails (retried next call).
    // Safe to call from several threads.
    static CSqliteDataBase* GetInstance();
    ~CSqliteDataBase();  // Finalize(); forgets the process-wide instance
    CSqliteDataBase(const CSqliteDataBase&) = delete;
    CSqliteDataBase& operator=(const CSqliteDataBase&) = delete;

    std::list<NetDataFilterInfo> GetNetDataFilterInfo();
    // 0 changed, -1 old password differs, -2 no such user, -5 nothing changed.
    int ModifyPassWord(std::string userName, std::string oldPassword, std::string newPassword);
    CSqlQuery ExcuteSql(const std::string& sql);
    // A row of SysSeting, made or replaced.
    void SetSetting(const std::string& name, const std::string& value);
    void Finalize();

    // The database file of the application folder. A per-user folder gets its copy of the
    // installed one here on first use; `problem`, when given, says why that copy failed.
    static std::string DatabasePath(std::string* problem = nullptr);

    // The descriptive rows as read at construction (strID '1').
    const std::array<std::string, 5>& PostInformation() const { return m_postInformation; }
    const std::array<std::string, 6>& CompanyTexts() const { return m_companyTexts; }
    const std::array<int, 2>& CompanyNumbers() const { return m_companyNumbers; }

  private:
    CSqliteDataBase();
    void ReadPostInfomation();
    void ReadCompany();

    std::array<std::string, 5> m_postInformation;  // columns 1 to 5, as stored
    std::array<std::string, 6> m_companyTexts;     // columns 1 to 6, in the ANSI code page
    std::array<int, 2> m_companyNumbers{};         // columns 7 and 8; 0 for NULL or no row
    CSqlConnection m_connection;
};
