#include "database/SqliteDataBase.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/Exception.h"
#include "common/LogOut.h"
#include "common/TextConvert.h"
#include "platform/AppDirectory.h"

namespace {

std::mutex g_instanceMutex;
CSqliteDataBase* g_instance = nullptr;

const int kSqlNull = 5;

// A wrapper failure becomes the program's own exception, located at the handler.
#define RETHROW_SQL(op)                                                    \
    catch (const CSqlException& e) {                                       \
        STREVIX_THROW(e.errorMessage() != nullptr ? e.errorMessage() : "", \
                      "CSqliteDataBase::" op);                             \
    }

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

// What is wrong with the database file, in words, for an open that failed.
std::string DescribeFileProblem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (access(path.c_str(), R_OK | W_OK) != 0) return std::strerror(errno);
    return "cannot be opened as a database";
}

}  // namespace

CSqliteDataBase* CSqliteDataBase::GetInstance() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    // A failed construction leaves the pointer null, so the next call tries again.
    if (g_instance == nullptr) g_instance = new CSqliteDataBase();
    return g_instance;
}

std::string CSqliteDataBase::DatabasePath(std::string* problem) {
    return platform::ProvideStateFile(platform::CurrentFolders(), "QuilletDT.dll", problem);
}

CSqliteDataBase::CSqliteDataBase() {
    std::string copyProblem;
    const std::string path = DatabasePath(&copyProblem);
    try {
        std::unique_ptr<char[]> utf8(AnsiToUtf8(path.c_str()));
        // The file belongs to the installation: a missing one is an error, never created here.
        m_connection.open(utf8.get(), false);
    } catch (const CSqlException& e) {
        const std::string message =
            TextOrEmpty(e.errorMessage()) + " (" + path + ": " +
            (copyProblem.empty() ? DescribeFileProblem(path) : copyProblem) + ")";
        STREVIX_THROW(message, "CSqliteDataBase::CSqliteDataBase");
    }
    ReadPostInfomation();
    ReadCompany();
}

CSqliteDataBase::~CSqliteDataBase() {
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        if (g_instance == this) g_instance = nullptr;
    }
    try {
        Finalize();
    } catch (const ExceptionBase& e) {
        // A destructor must not throw; the connection is released when its statements are.
        LogOut(LOG_ERROR, e.GetDescription());
    }
}

void CSqliteDataBase::ReadPostInfomation() {
    try {
        CSqlQuery query = m_connection.execQuery("select * from PostInformation where strID = '1'");
        for (int i = 0; i < 5; ++i) m_postInformation[i] = TextOrEmpty(query.fieldValue(i + 1));
        query.finalize();
    }
    RETHROW_SQL("ReadPostInfomation")
}

void CSqliteDataBase::ReadCompany() {
    try {
        CSqlQuery query = m_connection.execQuery("select * from Company where strID = '1'");
        for (int i = 0; i < 6; ++i) m_companyTexts[i] = Utf8ToAnsi(query.fieldValue(i + 1));
        for (int i = 0; i < 2; ++i) {
            // Without a row, or with NULL, there is no text to convert: 0.
            const char* text = query.fieldValue(i + 7);
            m_companyNumbers[i] = text != nullptr ? std::atoi(text) : 0;
        }
        query.finalize();
    }
    RETHROW_SQL("ReadCompany")
}

std::list<NetDataFilterInfo> CSqliteDataBase::GetNetDataFilterInfo() {
    try {
        char sql[128];
        std::snprintf(sql, sizeof(sql), "select * from FilterInfo where RunAs==%d AND IsValid=1",
                      2);
        CSqlQuery query = m_connection.execQuery(sql);
        std::list<NetDataFilterInfo> rules;
        auto text = [&query](const char* name) {
            const int index = query.fieldIndex(name);
            if (query.fieldDataType(index) == kSqlNull) return std::string();
            return TextOrEmpty(query.fieldValue(index));
        };
        while (!query.eof()) {
            NetDataFilterInfo rule;
            rule.RemoteAddr = text("RemoteAddr");
            rule.MsgHeader = text("MsgHeader");
            rule.ValidDataFlag = text("ValidDataFlag");
            rule.DataStartFlag = text("DataStartFlag");
            rule.DataEndFlag = text("DataEndFlag");
            rules.push_back(std::move(rule));
            query.nextRow();
        }
        query.finalize();
        return rules;
    }
    RETHROW_SQL("GetNetDataFilterInfo")
}

int CSqliteDataBase::ModifyPassWord(std::string userName, std::string oldPassword,
                                    std::string newPassword) {
    try {
        // Values are bound, so no quote or semicolon in them can change the statements.
        CSqlStatement select = m_connection.prepare("select * from User where UserName = ?");
        select.bind(1, userName);
        CSqlQuery query = select.execQuery();
        if (query.eof()) return -2;
        const std::string stored = TextOrEmpty(query.fieldValue(query.fieldIndex("PassWord")));
        query.finalize();
        if (stored != oldPassword) return -1;

        CSqlStatement update =
            m_connection.prepare("update User set PassWord = ? WHERE UserName = ?;");
        update.bind(1, newPassword);
        update.bind(2, userName);
        const int changed = update.execDML();
        update.finalize();
        return changed > 0 ? 0 : -5;
    }
    RETHROW_SQL("ModifyPassWord")
}

void CSqliteDataBase::SetSetting(const std::string& name, const std::string& value) {
    try {
        CSqlStatement replace = m_connection.prepare(
            "insert or replace into SysSeting (ParamName, ParamValue) values (?, ?);");
        replace.bind(1, name);
        replace.bind(2, value);
        replace.execDML();
        replace.finalize();
    }
    RETHROW_SQL("SetSetting")
}

CSqlQuery CSqliteDataBase::ExcuteSql(const std::string& sql) {
    try {
        return m_connection.execQuery(sql.c_str());
    }
    RETHROW_SQL("ExcuteSql")
}

void CSqliteDataBase::Finalize() {
    try {
        if (!m_connection.isOpen()) return;
        m_connection.close();
    }
    RETHROW_SQL("Finalize")
    LogOut(LOG_INFO, "Access operation terminal.");
}
