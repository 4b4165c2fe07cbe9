#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <type_traits>

#include "TestFrames.h"
#include "database/SqlWrapper.h"

static_assert(!std::is_copy_constructible_v<CSqlQuery>, "a query owns its statement");
static_assert(!std::is_copy_constructible_v<CSqlTable>, "a table owns its result array");
static_assert(std::is_nothrow_move_constructible_v<CSqlQuery>);
static_assert(std::is_nothrow_move_constructible_v<CSqlTable>);

namespace {

// The wrapper error a call throws, or a note that it threw none.
template <class F>
std::string ErrorOf(F&& f, int* code = nullptr) {
    try {
        f();
    } catch (const CSqlException& e) {
        if (code != nullptr) *code = e.errorCode();
        return e.errorMessage() != nullptr ? e.errorMessage() : "<null>";
    }
    return "<no exception>";
}

class SqlWrapper : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = testframes::TempFolder("sql");
        db_.open((folder_ + "/t.db").c_str());
        db_.execDML(
            "create table Person(Name text, Age integer, Note text);"
            "insert into Person values('ann', 31, 'x'), ('bob', 42, NULL);");
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string folder_;
    CSqlConnection db_;
};

}  // namespace

TEST(SqlException, TextNamesTheCode) {
    EXPECT_STREQ(CSqlException(1, "no such table: User").errorMessage(),
                 "SQLITE_ERROR[1]: no such table: User");
    EXPECT_STREQ(CSqlException(26, "file is not a database").errorMessage(),
                 "UNKNOWN_ERROR[26]: file is not a database");
    // An extended result code is not one of the named ones.
    EXPECT_STREQ(CSqlException(266, "disk I/O error").errorMessage(),
                 "UNKNOWN_ERROR[266]: disk I/O error");
    EXPECT_STREQ(CSqlException(SQLWRAPPER_ERROR, "Database not open").errorMessage(),
                 "SQLWRAPPER_ERROR[1000]: Database not open");
    EXPECT_STREQ(CSqlException(5, nullptr).errorMessage(), "SQLITE_BUSY[5]: ");
    EXPECT_EQ(CSqlException(19, "x").errorCode(), 19);

    const struct {
        int code;
        const char* name;
    } names[] = {{0, "SQLITE_OK"},       {14, "SQLITE_CANTOPEN"},   {25, "SQLITE_RANGE"},
                 {100, "SQLITE_ROW"},    {101, "SQLITE_DONE"},      {99, "UNKNOWN_ERROR"},
                 {102, "UNKNOWN_ERROR"}, {999, "UNKNOWN_ERROR"},    {1001, "UNKNOWN_ERROR"},
                 {-1, "UNKNOWN_ERROR"},  {1000, "SQLWRAPPER_ERROR"}};
    for (const auto& n : names) EXPECT_STREQ(CSqlException::errorCodeAsString(n.code), n.name);
}

TEST(SqlException, CopiesOwnTheirText) {
    char* raw = sqlite3_mprintf("%s", "released by the exception");
    CSqlException original(1, raw, true);  // raw is freed here; ASan would see a double free
    CSqlException copy(original);
    EXPECT_NE(copy.errorMessage(), original.errorMessage());
    EXPECT_STREQ(copy.errorMessage(), "SQLITE_ERROR[1]: released by the exception");
    CSqlException assigned(2, "other");
    assigned = copy;
    EXPECT_EQ(assigned.errorCode(), 1);
    EXPECT_STREQ(assigned.errorMessage(), copy.errorMessage());
}

TEST_F(SqlWrapper, ErrorsCarrySqliteTexts) {
    int code = 0;
    EXPECT_EQ(ErrorOf([&] { db_.getTable("select * from User"); }, &code),
              "SQLITE_ERROR[1]: no such table: User");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ErrorOf([&] { db_.execQuery("select * from User"); }),
              "SQLITE_ERROR[1]: no such table: User");
    EXPECT_EQ(ErrorOf([&] { db_.execDML("update User set x = 1"); }),
              "SQLITE_ERROR[1]: no such table: User");
    // A failure at the first step, not at compilation.
    EXPECT_EQ(ErrorOf([&] { db_.execQuery("select abs(-9223372036854775808)"); }),
              "SQLITE_ERROR[1]: integer overflow");
    EXPECT_EQ(ErrorOf([&] { db_.execDML("insert into Person values"); }, &code)
                  .rfind("SQLITE_ERROR[1]: ", 0),
              0u);
}

TEST_F(SqlWrapper, ClosedConnectionRefusesWork) {
    db_.close();
    db_.close();  // closing twice is harmless
    EXPECT_FALSE(db_.isOpen());
    const std::string notOpen = "SQLWRAPPER_ERROR[1000]: Database not open";
    EXPECT_EQ(ErrorOf([&] { db_.execDML("select 1"); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { db_.execQuery("select 1"); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { db_.getTable("select 1"); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { db_.prepare("select 1"); }), notOpen);
}

TEST_F(SqlWrapper, QueryWalksRowsAndMapsNull) {
    CSqlQuery q = db_.execQuery("select * from Person order by Age");
    ASSERT_FALSE(q.eof());
    EXPECT_EQ(q.numFields(), 3);
    EXPECT_EQ(q.fieldIndex("Age"), 1);
    EXPECT_STREQ(q.fieldValue(q.fieldIndex("Name")), "ann");
    EXPECT_EQ(q.fieldDataType(1), SQLITE_INTEGER);
    q.nextRow();
    ASSERT_FALSE(q.eof());
    EXPECT_STREQ(q.fieldValue(0), "bob");
    EXPECT_EQ(q.fieldDataType(2), 5);
    EXPECT_EQ(q.fieldValue(2), nullptr);
    q.nextRow();
    EXPECT_TRUE(q.eof());
    q.finalize();
    q.finalize();  // nothing held any more
}

TEST_F(SqlWrapper, FieldNamesAndIndexesAreChecked) {
    CSqlQuery q = db_.execQuery("select Name, Age from Person");
    const std::string badName = "SQLWRAPPER_ERROR[1000]: Invalid field name requested";
    const std::string badIndex = "SQLWRAPPER_ERROR[1000]: Invalid field index requested";
    EXPECT_EQ(ErrorOf([&] { q.fieldIndex("name"); }), badName);  // letter case counts
    EXPECT_EQ(ErrorOf([&] { q.fieldIndex("AGE"); }), badName);
    EXPECT_EQ(ErrorOf([&] { q.fieldIndex(nullptr); }), badName);
    EXPECT_EQ(ErrorOf([&] { q.fieldIndex("Note"); }), badName);  // not selected
    EXPECT_EQ(ErrorOf([&] { q.fieldValue(2); }), badIndex);
    EXPECT_EQ(ErrorOf([&] { q.fieldValue(-1); }), badIndex);
    EXPECT_EQ(ErrorOf([&] { q.fieldDataType(2); }), badIndex);
}

TEST_F(SqlWrapper, EmptyResultStartsAtEndAndStillAnswers) {
    CSqlQuery q = db_.execQuery("select * from Person where Age > 100");
    EXPECT_TRUE(q.eof());
    EXPECT_EQ(q.fieldValue(0), nullptr);
    EXPECT_EQ(db_.execDML("update Person set Age = 1 where Name = 'nobody'"), 0);
    EXPECT_EQ(db_.execDML("update Person set Age = Age + 1"), 2);
}

TEST_F(SqlWrapper, FinalisedOrMovedFromQueryHasNoStatement) {
    const std::string nullVm = "SQLWRAPPER_ERROR[1000]: Null Virtual Machine pointer";
    CSqlQuery q = db_.execQuery("select * from Person");
    CSqlQuery moved(std::move(q));
    EXPECT_EQ(ErrorOf([&] { q.eof(); }), nullVm);
    EXPECT_STREQ(moved.fieldValue(0), "ann");
    CSqlQuery target;
    target = std::move(moved);
    EXPECT_EQ(ErrorOf([&] { moved.nextRow(); }), nullVm);
    EXPECT_STREQ(target.fieldValue(0), "ann");
    target.finalize();
    EXPECT_EQ(ErrorOf([&] { target.eof(); }), nullVm);
    EXPECT_EQ(ErrorOf([&] { target.fieldValue(0); }), nullVm);
    EXPECT_EQ(ErrorOf([&] { target.fieldIndex("Name"); }), nullVm);
    EXPECT_EQ(ErrorOf([&] { target.fieldDataType(0); }), nullVm);
}

TEST_F(SqlWrapper, FailingStepForgetsTheStatement) {
    CSqlQuery q =
        db_.execQuery("select abs(x) from (select 1 as x union all select -9223372036854775808)");
    EXPECT_STREQ(q.fieldValue(0), "1");
    EXPECT_EQ(ErrorOf([&] { q.nextRow(); }), "SQLITE_ERROR[1]: integer overflow");
    EXPECT_EQ(ErrorOf([&] { q.eof(); }), "SQLWRAPPER_ERROR[1000]: Null Virtual Machine pointer");
}

TEST_F(SqlWrapper, TableGivesRowsByName) {
    CSqlTable t = db_.getTable("select * from Person where Name = 'bob'");
    EXPECT_EQ(t.numRows(), 1);
    EXPECT_STREQ(t.fieldValue("Age"), "42");
    EXPECT_EQ(t.fieldValue("Note"), nullptr);
    EXPECT_EQ(ErrorOf([&] { t.fieldValue("age"); }),
              "SQLWRAPPER_ERROR[1000]: Invalid field name requested");
    EXPECT_EQ(ErrorOf([&] { t.fieldValue(nullptr); }),
              "SQLWRAPPER_ERROR[1000]: Invalid field name requested");
    CSqlTable moved(std::move(t));
    EXPECT_EQ(ErrorOf([&] { t.numRows(); }), "SQLWRAPPER_ERROR[1000]: Null Results pointer");
    moved.finalize();
    moved.finalize();
    EXPECT_EQ(ErrorOf([&] { moved.fieldValue("Age"); }),
              "SQLWRAPPER_ERROR[1000]: Null Results pointer");

    // Without rows SQLite gives no column names either: nothing to read past the array.
    CSqlTable empty = db_.getTable("select * from Person where Age > 100");
    EXPECT_EQ(empty.numRows(), 0);
    EXPECT_EQ(ErrorOf([&] { empty.fieldValue("Age"); }),
              "SQLWRAPPER_ERROR[1000]: Invalid field name requested");
}

TEST_F(SqlWrapper, BoundValuesAreNeverSql) {
    CSqlStatement insert = db_.prepare("insert into Person values(?, ?, ?)");
    const std::string hostile = "x'); drop table Person; --\"";
    insert.bind(1, hostile);
    insert.bind(2, 7);
    insert.bindNull(3);
    EXPECT_EQ(insert.execDML(), 1);
    insert.bind(1, std::string("second"));
    EXPECT_EQ(insert.execDML(), 1);  // runs again after a reset
    EXPECT_EQ(ErrorOf([&] { insert.bind(4, 1); }, nullptr).rfind("SQLITE_RANGE[25]: ", 0), 0u);

    CSqlStatement select = db_.prepare("select Note from Person where Name = ?");
    select.bind(1, hostile);
    CSqlQuery q = select.execQuery();
    ASSERT_FALSE(q.eof());
    EXPECT_EQ(q.fieldDataType(0), 5);
    EXPECT_EQ(ErrorOf([&] { select.execQuery(); }),
              "SQLWRAPPER_ERROR[1000]: Null Virtual Machine pointer");  // handed over
    EXPECT_EQ(db_.getTable("select * from Person").numRows(), 4);
}

TEST_F(SqlWrapper, CloseWithLiveStatementFailsAndKeepsConnection) {
    CSqlQuery q = db_.execQuery("select * from Person");
    EXPECT_EQ(ErrorOf([&] { db_.close(); }), "SQLWRAPPER_ERROR[1000]: Unable to close database");
    EXPECT_TRUE(db_.isOpen());
    EXPECT_STREQ(q.fieldValue(0), "ann");
    q.finalize();
    db_.close();
    EXPECT_FALSE(db_.isOpen());
}

TEST_F(SqlWrapper, OpenWithoutCreateLeavesMissingFileMissing) {
    const std::string missing = folder_ + "/missing.db";
    CSqlConnection other;
    int code = 0;
    EXPECT_EQ(ErrorOf([&] { other.open(missing.c_str(), false); }, &code),
              "SQLITE_CANTOPEN[14]: unable to open database file");
    EXPECT_EQ(code, 14);
    EXPECT_FALSE(other.isOpen());
    EXPECT_FALSE(std::filesystem::exists(missing));
    other.open(missing.c_str());  // the ordinary open creates it
    EXPECT_TRUE(std::filesystem::exists(missing));
}
