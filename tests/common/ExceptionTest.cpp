#include <gtest/gtest.h>

#include <string>

#include "common/Exception.h"

namespace {

void ThrowHere() {
    STREVIX_THROW("boom", "Thrower::ThrowHere");
}

}  // namespace

TEST(Exception, DefaultLocationWhatTextHasNoPrefix) {
    ExceptionDerived e("x", 0);
    EXPECT_STREQ(e.what(), ": ExceptionDerived: Level:0. Msg:x\nStack Trace:\n");
    EXPECT_STREQ(e.m_file, "<unknown file>");
    EXPECT_STREQ(e.m_function, "<unknown func>");
    EXPECT_EQ(e.m_line, -1);
}

TEST(Exception, LocatedWhatTextAndLineZero) {
    ExceptionDerived e("M", 0);
    e.m_file = "database/SqliteDataBase.cpp";
    e.m_line = 36;
    EXPECT_STREQ(
        e.what(),
        "database/SqliteDataBase.cpp(36): ExceptionDerived: Level:0. Msg:M\nStack Trace:\n");
    ExceptionDerived zero("M", 0);
    zero.m_file = "f.cpp";
    zero.m_line = 0;
    EXPECT_STREQ(zero.what(), ": ExceptionDerived: Level:0. Msg:M\nStack Trace:\n");
}

TEST(Exception, TypeNameThroughBaseAndCachedWhat) {
    try {
        ThrowHere();
        FAIL();
    } catch (const ExceptionBase& e) {
        EXPECT_EQ(e.GetTypeName(), "ExceptionDerived");
        EXPECT_STREQ(e.m_function, "Thrower::ThrowHere");
        EXPECT_GT(e.m_line, 0);
        EXPECT_NE(std::string(e.m_file).find("ExceptionTest.cpp"), std::string::npos);
        const char* first = e.what();
        EXPECT_EQ(first, e.what());  // built once, same storage
        ExceptionBase copy(e);
        EXPECT_STREQ(copy.what(), first);
    }
    ExceptionBase base("b", 3);
    EXPECT_EQ(base.GetTypeName(), "ExceptionBase");
    EXPECT_EQ(base.GetDescription(), "Level:3. Msg:b");
}

TEST(Exception, LongMessageDescribedWhole) {
    std::string message(700, 'q');
    message += "END";
    ExceptionDerived e(message, 0);
    EXPECT_EQ(e.GetDescription(), "Level:0. Msg:" + message);
}
