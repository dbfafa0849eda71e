#include "installer/command_line.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using Options = std::map<std::wstring, std::wstring>;

Options Parse(const wchar_t* text) {
  CCommandLine command_line;
  EXPECT_TRUE(command_line.ParseCommandLine(text));
  return command_line.options();
}

TEST(CommandLine, NullTextFailsAndEmptyTextHasNoOptions) {
  CCommandLine command_line;
  EXPECT_FALSE(command_line.ParseCommandLine(nullptr));
  EXPECT_TRUE(Parse(L"").empty());
  EXPECT_TRUE(Parse(L"   plain words").empty());
}

TEST(CommandLine, OptionsWithoutValueAreOneAndNamesKeepTheirCase) {
  EXPECT_EQ(Parse(L"/S"), (Options{{L"S", L"1"}}));
  EXPECT_EQ(Parse(L"-S /G"), (Options{{L"S", L"1"}, {L"G", L"1"}}));
  CCommandLine command_line;
  command_line.ParseCommandLine(L"/s");
  EXPECT_FALSE(command_line.HasOption(L"S"));
  EXPECT_TRUE(command_line.HasOption(L"s"));
}

TEST(CommandLine, QuotedValuesKeepBlanksAndLoseTheirQuotes) {
  EXPECT_EQ(Parse(L"/S /D=\"C:\\My Apps\\Orvanta\""),
            (Options{{L"S", L"1"}, {L"D", L"C:\\My Apps\\Orvanta"}}));
  EXPECT_EQ(Parse(L"/D=C:\\\"My Apps\"\\X /S"), (Options{{L"D", L"C:\\My Apps\\X"}, {L"S", L"1"}}));
}

TEST(CommandLine, UnquotedBlankEndsTheValue) {
  EXPECT_EQ(Parse(L"/S /D=C:\\My Apps\\X"), (Options{{L"S", L"1"}, {L"D", L"C:\\My"}}));
}

TEST(CommandLine, EmptyValueIsStoredEmpty) {
  CCommandLine command_line;
  command_line.ParseCommandLine(L"/S /D=");
  EXPECT_TRUE(command_line.HasOption(L"D"));
  EXPECT_EQ(command_line.OptionValue(L"D"), L"");
  EXPECT_EQ(command_line.OptionValue(L"missing"), L"");
}

TEST(CommandLine, UnclosedQuoteDropsTheOption) {
  EXPECT_EQ(Parse(L"/S /D=\"C:\\X"), (Options{{L"S", L"1"}}));
  EXPECT_EQ(Parse(L"/D=\"C:\\X /S"), Options{});
}

TEST(CommandLine, EverySignSplitsAgainAndQuotesStayInNames) {
  EXPECT_EQ(Parse(L"/D=a=b"), (Options{{L"D=a", L"b"}}));
  EXPECT_EQ(Parse(L"/D=\"a=b\""), (Options{{L"D=\"a", L"b"}}));
  EXPECT_EQ(Parse(L"/\"N\""), (Options{{L"\"N\"", L"1"}}));
}

TEST(CommandLine, DashesAndSlashesInsideAnOptionAreText) {
  EXPECT_EQ(Parse(L"/D=C:/a-b/c -x"), (Options{{L"D", L"C:/a-b/c"}, {L"x", L"1"}}));
  EXPECT_EQ(Parse(L"/a/b"), (Options{{L"a/b", L"1"}}));
}

TEST(CommandLine, LaterOptionReplacesEarlierAndPresenceIsWhatCounts) {
  EXPECT_EQ(Parse(L"/D=one /D=two"), (Options{{L"D", L"two"}}));
  CCommandLine command_line;
  command_line.ParseCommandLine(L"/S=0");
  EXPECT_TRUE(command_line.HasOption(L"S"));
  EXPECT_EQ(command_line.text(), L"/S=0");
}

}  // namespace
