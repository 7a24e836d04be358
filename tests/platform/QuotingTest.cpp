// The Windows command-line rules, which both systems use.
#include <gtest/gtest.h>

#include "platform/Process.h"

using platform::QuoteArgument;
using platform::SplitCommandLine;
using Args = std::vector<std::string>;

namespace {

TEST(SplitCommandLine, WindowsQuotingRules) {
    EXPECT_EQ(SplitCommandLine(L""), Args{});
    EXPECT_EQ(SplitCommandLine(L"  \t "), Args{});
    EXPECT_EQ(SplitCommandLine(L"a  b\tc"), (Args{"a", "b", "c"}));
    EXPECT_EQ(SplitCommandLine(L"\"C:\\Program Files\\x.exe\" /port 4026"),
              (Args{"C:\\Program Files\\x.exe", "/port", "4026"}));
    // Backslashes are literal unless a quote follows them.
    EXPECT_EQ(SplitCommandLine(L"a\\\\b c\\"), (Args{"a\\\\b", "c\\"}));
    // 2n backslashes + quote: n backslashes, the quote delimits.
    EXPECT_EQ(SplitCommandLine(L"\"a\\\\\" b"), (Args{"a\\", "b"}));
    // 2n+1 backslashes + quote: n backslashes and a literal quote.
    EXPECT_EQ(SplitCommandLine(L"a\\\"b \\\\\\\"c"), (Args{"a\"b", "\\\"c"}));
    // "" inside quotes is a literal quote; "" alone is an empty argument.
    EXPECT_EQ(SplitCommandLine(L"\"a\"\"b\" \"\" x"), (Args{"a\"b", "", "x"}));
    // Quotes may open and close inside one argument.
    EXPECT_EQ(SplitCommandLine(L"ab\"c d\"e f"), (Args{"abc de", "f"}));
    // An unterminated quote runs to the end.
    EXPECT_EQ(SplitCommandLine(L"\"open ended"), (Args{"open ended"}));
    // Wide text becomes UTF-8.
    EXPECT_EQ(SplitCommandLine(L"\x00e9t\x00e9 \x20ac"),
              (Args{"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac"}));
}

TEST(SplitCommandLine, QuotedArgumentsRoundTrip) {
    for (const std::wstring arg :
         {L"", L"plain", L"with space", L"trailing\\", L"two\\\\", L"q\"uote", L"\\\"mixed\\\\\"",
          L"/tmp/Microsoft Visual Studio/msvsmon.exe", L"\"", L"tab\there"}) {
        const auto split = SplitCommandLine(QuoteArgument(arg) + L" next");
        ASSERT_EQ(split.size(), 2u) << platform::QuoteArgument(arg).size();
        EXPECT_EQ(split[0], std::string(arg.begin(), arg.end()));
        EXPECT_EQ(split[1], "next");
    }
}

}  // namespace
