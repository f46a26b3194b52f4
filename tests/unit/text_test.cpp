#include <gtest/gtest.h>

#include "base/text.h"

TEST(BoundedText, CopyAndAppendStopAtCapacityAndKeepTerminator) {
    wchar_t buf[6];
    std::fill(std::begin(buf), std::end(buf), L'x');
    EXPECT_TRUE(CopyText(buf, L"abc"));
    EXPECT_EQ(TextOf(buf), L"abc");
    EXPECT_FALSE(AppendText(buf, L"defg"));
    EXPECT_EQ(TextOf(buf), L"abcde");
    EXPECT_EQ(buf[5], L'\0');
    EXPECT_FALSE(AppendText(buf, L"z"));
    EXPECT_EQ(TextOf(buf), L"abcde");
    EXPECT_TRUE(AppendText(buf, L""));
}

TEST(BoundedText, RepairsABufferWithoutTerminator) {
    wchar_t buf[4] = {L'a', L'b', L'c', L'd'};
    EXPECT_FALSE(AppendText(buf, L"e"));
    EXPECT_EQ(buf[3], L'\0');
    EXPECT_EQ(TextOf(buf), L"abc");
}
