#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestFrames.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "database/SqliteDataBase.h"

namespace fs = std::filesystem;

namespace {

// Every test works on its own copy of the build's database, never on the build's file.
class Database : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = testframes::TempFolder("db");
        ASSERT_FALSE(home_.empty());
        path_ = home_ + "/QuilletDT.dll";
        fs::copy_file(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll", path_);
        setenv("STREVIX_HOME", home_.c_str(), 1);
        SetLoggingQuiet(true);
        InitLogging();
    }
    void TearDown() override {
        try {
            delete CSqliteDataBase::GetInstance();
        } catch (...) {
        }
        ShutdownLogging();
        fs::remove_all(home_);
    }

    // Changes the copy behind the program's back, through a connection of its own.
    void Change(const char* sql) {
        CSqlConnection db;
        db.open(path_.c_str(), false);
        db.execDML(sql);
    }
    std::string Password(const char* user) {
        CSqlConnection db;
        db.open(path_.c_str(), false);
        CSqlStatement s = db.prepare("select PassWord from User where UserName = ?");
        s.bind(1, std::string(user));
        CSqlQuery q = s.execQuery();
        return q.eof() ? "<no row>" : q.fieldValue(0);
    }
    std::string Log() { return testframes::ReadFile(home_ + "/log/log.txt"); }

    std::string home_;
    std::string path_;
};

// The ExceptionDerived a call throws.
template <class F>
ExceptionDerived Thrown(F&& f) {
    try {
        f();
    } catch (const ExceptionDerived& e) {
        return e;
    }
    ADD_FAILURE() << "no ExceptionDerived";
    return ExceptionDerived("<none>", -1);
}

}  // namespace

TEST_F(Database, FreshFileHoldsTheDefaults) {
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    std::map<std::string, std::string> settings;
    CSqlQuery q = db->ExcuteSql("SELECT * FROM SysSeting");
    while (!q.eof()) {
        settings[q.fieldValue(q.fieldIndex("ParamName"))] =
            q.fieldValue(q.fieldIndex("ParamValue"));
        q.nextRow();
    }
    q.finalize();
    const std::map<std::string, std::string> expected = {{"AutoRun", "0"},
                                                         {"AutoCaptureNetData", "0"},
                                                         {"AppTitle", "瑞维【未指定采集目标】"},
                                                         {"RunAs", "2"},
                                                         {"UploadTimer", "0"}};
    EXPECT_EQ(settings, expected);
    EXPECT_EQ(Password("Admin"), "admin");
    EXPECT_EQ(Password("Guest"), "guest");
    EXPECT_TRUE(db->GetNetDataFilterInfo().empty());
    EXPECT_EQ(db->CompanyTexts()[0], "瑞维");
    EXPECT_EQ(db->CompanyNumbers()[0], 1);
    EXPECT_EQ(db->CompanyNumbers()[1], 0);
}

TEST_F(Database, FilterRulesAreTheValidRunAsTwoRowsInOrder) {
    Change(
        "insert into FilterInfo(RunAs, IsValid, RemoteAddr, MsgHeader, ValidDataFlag,"
        " DataStartFlag, DataEndFlag) values"
        " (2, 1, '10.0.0.1', NULL, 'v', NULL, 'e'),"
        " (1, 1, 'runas-one', 'h', 'v', 's', 'e'),"
        " (2, 0, 'invalid', 'h', 'v', 's', 'e'),"
        " (2, 1, '10.0.0.2', '', NULL, 's', NULL);");
    std::list<NetDataFilterInfo> rules = CSqliteDataBase::GetInstance()->GetNetDataFilterInfo();
    ASSERT_EQ(rules.size(), 2u);
    const NetDataFilterInfo& first = rules.front();
    EXPECT_EQ(first.RemoteAddr, "10.0.0.1");
    EXPECT_EQ(first.MsgHeader, "");
    EXPECT_EQ(first.ValidDataFlag, "v");
    EXPECT_EQ(first.DataStartFlag, "");
    EXPECT_EQ(first.DataEndFlag, "e");
    const NetDataFilterInfo& second = rules.back();
    EXPECT_EQ(second.RemoteAddr, "10.0.0.2");
    EXPECT_EQ(second.MsgHeader, "");
    EXPECT_EQ(second.DataStartFlag, "s");
}

TEST_F(Database, ModifyPassWordReturnCodes) {
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    EXPECT_EQ(db->ModifyPassWord("Nobody", "admin", "x"), -2);
    EXPECT_EQ(db->ModifyPassWord("admin", "admin", "x"), -2);  // user names keep their case
    EXPECT_EQ(db->ModifyPassWord("Admin", "Admin", "x"), -1);  // so do passwords
    EXPECT_EQ(Password("Admin"), "admin");
    EXPECT_EQ(db->ModifyPassWord("Admin", "admin", "新密码"), 0);
    EXPECT_EQ(Password("Admin"), "新密码");
    EXPECT_EQ(db->ModifyPassWord("Admin", "新密码", "新密码"), 0);  // same value still counts
    EXPECT_EQ(Password("Guest"), "guest");

    // A row that refuses the update: found, but nothing changed.
    Change("create trigger keep before update on User begin select raise(ignore); end;");
    EXPECT_EQ(db->ModifyPassWord("Guest", "guest", "other"), -5);
    EXPECT_EQ(Password("Guest"), "guest");
}

TEST_F(Database, ModifyPassWordEmptyPasswords) {
    Change("update User set PassWord = '' where UserName = 'Guest'");
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    EXPECT_EQ(db->ModifyPassWord("Guest", "", "g2"), 0);
    EXPECT_EQ(db->ModifyPassWord("Guest", "g2", ""), 0);
    EXPECT_EQ(Password("Guest"), "");
}

TEST_F(Database, QuotesInValuesChangeNothing) {
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    EXPECT_EQ(db->ModifyPassWord("Admin\" OR \"1\"=\"1", "admin", "owned"), -2);
    EXPECT_EQ(db->ModifyPassWord("Admin", "x\" OR \"1\"=\"1", "owned"), -1);
    EXPECT_EQ(db->ModifyPassWord("Admin' OR '1'='1", "admin", "owned"), -2);
    EXPECT_EQ(Password("Admin"), "admin");
    EXPECT_EQ(Password("Guest"), "guest");

    // A hostile new password is stored as text, and only for the named user.
    const std::string hostile = "p\" WHERE 1; DROP TABLE User; --";
    EXPECT_EQ(db->ModifyPassWord("Admin", "admin", hostile), 0);
    EXPECT_EQ(Password("Admin"), hostile);
    EXPECT_EQ(Password("Guest"), "guest");
    EXPECT_EQ(db->ModifyPassWord("Guest", "guest", "g\"; update User set PassWord=\"x"), 0);
    EXPECT_EQ(Password("Admin"), hostile);
}

TEST_F(Database, SqlFailuresBecomeExceptionDerivedOfTheOperation) {
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    Change("drop table FilterInfo; drop table User;");

    ExceptionDerived e = Thrown([&] { db->GetNetDataFilterInfo(); });
    EXPECT_EQ(e.m_message, "SQLITE_ERROR[1]: no such table: FilterInfo");
    EXPECT_STREQ(e.m_function, "CSqliteDataBase::GetNetDataFilterInfo");
    EXPECT_STREQ(e.m_file, "database/SqliteDataBase.cpp");
    EXPECT_GT(e.m_line, 0);
    EXPECT_EQ(e.m_level, 0);

    e = Thrown([&] { db->ModifyPassWord("Admin", "admin", "x"); });
    EXPECT_EQ(e.m_message, "SQLITE_ERROR[1]: no such table: User");
    EXPECT_STREQ(e.m_function, "CSqliteDataBase::ModifyPassWord");

    e = Thrown([&] { db->ExcuteSql("select * from Nowhere"); });
    EXPECT_EQ(e.m_message, "SQLITE_ERROR[1]: no such table: Nowhere");
    EXPECT_STREQ(e.m_function, "CSqliteDataBase::ExcuteSql");
}

TEST_F(Database, MissingFileIsReportedAndNothingIsCreated) {
    fs::remove(path_);
    for (int attempt = 0; attempt < 2; ++attempt) {  // each call tries again
        ExceptionDerived e = Thrown([] { CSqliteDataBase::GetInstance(); });
        EXPECT_STREQ(e.m_function, "CSqliteDataBase::CSqliteDataBase");
        EXPECT_EQ(e.m_message, "SQLITE_CANTOPEN[14]: unable to open database file (" + path_ +
                                   ": No such file or directory)");
        EXPECT_FALSE(fs::exists(path_));
    }
    fs::copy_file(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll", path_);
    EXPECT_NE(CSqliteDataBase::GetInstance(), nullptr);
}

TEST_F(Database, FileWithoutTablesFailsConstructionAndIsRetried) {
    Change("drop table PostInformation");
    ExceptionDerived e = Thrown([] { CSqliteDataBase::GetInstance(); });
    EXPECT_EQ(e.m_message, "SQLITE_ERROR[1]: no such table: PostInformation");
    EXPECT_STREQ(e.m_function, "CSqliteDataBase::ReadPostInfomation");

    Change(
        "create table PostInformation(strID text, a, b, c, d, e);"
        "drop table Company;");
    e = Thrown([] { CSqliteDataBase::GetInstance(); });
    EXPECT_EQ(e.m_message, "SQLITE_ERROR[1]: no such table: Company");
    EXPECT_STREQ(e.m_function, "CSqliteDataBase::ReadCompany");
}

TEST_F(Database, NullOrMissingDescriptiveValuesGiveDefinedValues) {
    Change(
        "update Company set CompanyName = NULL, LicenceCount = NULL, ValidDays = NULL;"
        "update PostInformation set PostName = NULL;");
    CSqliteDataBase* db = CSqliteDataBase::GetInstance();
    EXPECT_EQ(db->CompanyTexts()[0], "");
    EXPECT_EQ(db->CompanyNumbers()[0], 0);
    EXPECT_EQ(db->CompanyNumbers()[1], 0);
    EXPECT_EQ(db->PostInformation()[0], "");
    delete db;

    Change("delete from Company; delete from PostInformation;");
    db = CSqliteDataBase::GetInstance();
    EXPECT_EQ(db->CompanyTexts()[1], "");
    EXPECT_EQ(db->CompanyNumbers()[0], 0);
    EXPECT_EQ(db->CompanyNumbers()[1], 0);
    EXPECT_EQ(db->PostInformation()[4], "");
}

TEST_F(Database, OneInstanceForEveryThread) {
    std::vector<CSqliteDataBase*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = CSqliteDataBase::GetInstance(); });
    }
    for (std::thread& t : threads) t.join();
    for (CSqliteDataBase* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(CSqliteDataBase::GetInstance(), seen[0]);
}

TEST_F(Database, DeletingForgetsTheInstanceAndLogsTheClose) {
    delete CSqliteDataBase::GetInstance();
    EXPECT_NE(Log().find("Access operation terminal."), std::string::npos);

    CSqliteDataBase* db = CSqliteDataBase::GetInstance();  // a new, working one
    EXPECT_EQ(db->ModifyPassWord("Guest", "guest", "g"), 0);
    db->Finalize();
    db->Finalize();
    ExceptionDerived e = Thrown([&] { db->GetNetDataFilterInfo(); });
    EXPECT_EQ(e.m_message, "SQLWRAPPER_ERROR[1000]: Database not open");
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = log.find("Access operation terminal."); at != std::string::npos;
         at = log.find("Access operation terminal.", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);  // once per open connection
}
