#pragma once
// Placeholder: the application database is being written (see its issue). The public names and
// signatures below are fixed; the implementation replaces this file.

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
    static CSqliteDataBase* GetInstance();
    ~CSqliteDataBase();  // Finalize(); forgets the process-wide instance
    std::list<NetDataFilterInfo> GetNetDataFilterInfo();
    // 0 changed, -1 old password differs, -2 no such user, -5 nothing changed.
    int ModifyPassWord(std::string userName, std::string oldPassword, std::string newPassword);
    CSqlQuery ExcuteSql(const std::string& sql);
    void Finalize();
};
