#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/command_runner.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

namespace {

struct FirstLineCase {
    const char* name;
    std::string command;
    bool expectLine;
    std::string expected;
};

class ReadFirstLine : public testing::TestWithParam<FirstLineCase> {};

TEST_P(ReadFirstLine, ReturnsOnlyWhatTheFirstLineHolds) {
    const FirstLineCase& row = GetParam();
    const auto line = readFirstLine(row.command);
    ASSERT_EQ(line.has_value(), row.expectLine);
    if (row.expectLine) {
        EXPECT_EQ(*line, row.expected);
    }
}

const std::string k999(999, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadFirstLine,
    testing::Values(
        FirstLineCase{"NewlineKept", "printf 'Yes\\nNo\\n'", true, "Yes\n"},
        FirstLineCase{"LastLineWithoutNewline", "printf abc", true, "abc"},
        FirstLineCase{"NothingPrinted", "true", false, ""},
        FirstLineCase{"OnlyStderr", "echo oops >&2", false, ""},
        FirstLineCase{"CommandMissing", "/nonexistent/tool-xyz 2>/dev/null", false, ""},
        FirstLineCase{"EmptyFirstLineIsALine", "printf '\\nsecond\\n'", true, "\n"},
        FirstLineCase{"LongLineCutAt999", "printf '%1500s' '' | tr ' ' x; echo", true, k999},
        FirstLineCase{"Exactly998PlusNewline", "printf '%998s' '' | tr ' ' x; echo; echo next",
                      true, std::string(998, 'x') + "\n"},
        FirstLineCase{"RestOfOutputDiscarded", "yes line | head -n 100000", true, "line\n"}),
    [](const testing::TestParamInfo<FirstLineCase>& info) { return info.param.name; });

double secondsToRun(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    runCommand(command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RunCommand, WaitsForTheCommand) { EXPECT_GE(secondsToRun("sleep 0.3"), 0.3); }

TEST(RunCommand, TrailingAmpersandReturnsAtOnce) {
    EXPECT_LT(secondsToRun("sleep 3 >/dev/null &"), 1.0);
}

TEST(RunCommand, MissingToolDoesNotStopTheCaller) {
    runCommand("/nonexistent/tool-xyz 2>/dev/null");
    EXPECT_EQ(readFirstLine("echo still-here").value_or(""), "still-here\n");
}

// The texts are filled in whole, however long what goes in: a key's paths
// and errno's texts have no bound the daemon sets.
TEST(FormatText, FillsInWhateverTheLength) {
    const std::string path(70000, 'p');
    EXPECT_EQ(formatText(tarvex::kLineScriptRefused, path.c_str(), "why"),
              "Not running " + path + ": why");
    EXPECT_EQ(formatText(tarvex::kCheckedScriptCommand, 7, "/k/s.sh"),
              "bash -c '. /proc/self/fd/7' /k/s.sh");
    EXPECT_EQ(formatText(tarvex::kLineCannotRemoveLog, "%s%d"),
              "Cannot remove /home/pi/log.txt: %s%d");
    EXPECT_EQ(formatText("%s", ""), "");
}

}  // namespace
