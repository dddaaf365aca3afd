// read_logical_line: comments, continuations, escapes, raw mode, the line counter
// and the length limit; split_word.
#include "config/line_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Read {
    std::optional<std::string> line;  // nullopt: the reader returned null
    int counter;                      // the caller's counter after the call
};

// Every call on `input` until the reader returns null (bounded, in case it never does).
std::vector<Read> read_all_lines(const std::string& input, const char* delimiters, int flags) {
    std::vector<Read> reads;
    FILE* stream = std::tmpfile();
    if (stream == nullptr) return reads;
    std::fwrite(input.data(), 1, input.size(), stream);
    std::rewind(stream);
    int counter = 0;
    for (int call = 0; call < 1000; ++call) {
        std::size_t length = 12345;
        char* line = read_logical_line(stream, &length, &counter, delimiters, flags);
        if (line == nullptr) {
            EXPECT_EQ(length, 0u);
            reads.push_back({std::nullopt, counter});
            break;
        }
        std::string text(line, length);
        EXPECT_EQ(std::strlen(line), length) << "length output must match the text";
        std::free(line);
        reads.push_back({text, counter});
    }
    std::fclose(stream);
    return reads;
}

struct LineCase {
    const char* name;
    std::string input;
    const char* delimiters;  // null: the default set
    int flags;
    std::vector<Read> expected;
};

const char* const raw_set = raw_line_delimiters;
// An escape '!', continuation '+' and comment '%' that differ from each other, so
// each unescape bit can be seen on its own.
const char bang_set[3] = {'!', '+', '%'};
const char no_escape_set[3] = {'\0', '+', '%'};
const char no_comment_set[3] = {'\\', '\\', '\0'};

const LineCase line_cases[] = {
    {"empty file", "", nullptr, 7, {{std::nullopt, 1}}},
    {"only a comment", "# nothing here\n", nullptr, 7, {{std::nullopt, 2}}},
    {"blanks before a comment", "  # c\n", nullptr, 7, {{"  ", 1}, {std::nullopt, 2}}},
    {"continued line", "a\\\nb\n", nullptr, 7, {{"ab", 2}, {std::nullopt, 3}}},
    {"escaped backslash does not continue", "a\\\\\nb\n", nullptr, 7,
     {{"a\\", 1}, {"b", 2}, {std::nullopt, 3}}},
    {"escaped comment character", "a\\#b\n", nullptr, 7, {{"a#b", 1}, {std::nullopt, 2}}},
    {"comment cuts the line", "a#b\n", nullptr, 7, {{"a", 1}, {std::nullopt, 2}}},
    {"even escapes before # leave a comment", "a\\\\#b\n", nullptr, 7, {{"a\\", 1}, {std::nullopt, 2}}},
    {"comment removed before the continuation test", "abc \\ #text\nnext\n", nullptr, 7,
     {{"abc \\ ", 1}, {"next", 2}, {std::nullopt, 3}}},
    {"trailing blanks kept", "word  \t\n", nullptr, 7, {{"word  \t", 1}, {std::nullopt, 2}}},
    {"comment line inside a continued line ends it", "a \\\n# c\nb\n", nullptr, 7,
     {{"a ", 2}, {"b", 3}, {std::nullopt, 4}}},
    {"lone continuation at the start adds nothing", "\\\nx\n", nullptr, 7, {{"x", 2}, {std::nullopt, 3}}},
    {"lone continuation then end of input", "\\\n", nullptr, 7, {{std::nullopt, 2}}},
    {"comment lines skipped until text", "#1\n#2\nx\n", nullptr, 7, {{"x", 3}, {std::nullopt, 4}}},
    {"empty lines are empty strings", "\n\nx", nullptr, 7,
     {{"", 1}, {"", 2}, {"x", 3}, {std::nullopt, 4}}},
    {"continuation at end of input", "a\\", nullptr, 7, {{"a", 2}}},
    {"continuation into an empty line ends the line", "a\\\n\nb\n", nullptr, 7,
     {{"a", 2}, {"b", 3}, {std::nullopt, 4}}},
    {"three physical lines", "a\\\nb\\\nc\nd\n", nullptr, 7, {{"abc", 3}, {"d", 4}, {std::nullopt, 5}}},
    {"escape before another character kept with flags 7", "a\\b\n", nullptr, 7, {{"a\\b", 1}}},
    {"escape before another character dropped with flag 8", "a\\b\n", nullptr, 15, {{"ab", 1}}},
    {"flags 0 keep every escape", "a\\#b\\\\\n", nullptr, 0, {{"a\\#b\\\\", 1}}},
    {"raw mode keeps lines untouched", "a\\\n#b\n\nc\\\\ # d", raw_set, 0,
     {{"a\\", 1}, {"#b", 2}, {"", 3}, {"c\\\\ # d", 4}, {std::nullopt, 5}}},
    {"flag 1 alone", "x!!y!+z!%w!q\n", bang_set, 1, {{"x!y!+z!%w!q", 1}}},
    {"flag 2 alone", "x!!y!+z!%w!q\n", bang_set, 2, {{"x!!y+z!%w!q", 1}}},
    {"flag 4 alone", "x!!y!+z!%w!q\n", bang_set, 4, {{"x!!y!+z%w!q", 1}}},
    {"flag 8 alone", "x!!y!+z!%w!q\n", bang_set, 8, {{"x!!y!+z!%wq", 1}}},
    {"all four flags", "x!!y!+z!%w!q\n", bang_set, 15, {{"x!y+z%wq", 1}}},
    {"own continuation character", "ab+\ncd\n", bang_set, 0, {{"abcd", 2}, {std::nullopt, 3}}},
    {"escaped own continuation", "ab!+\ncd\n", bang_set, 2, {{"ab+", 1}, {"cd", 2}, {std::nullopt, 3}}},
    {"even escapes before own comment", "a!!%b\n", bang_set, 1, {{"a!", 1}}},
    {"trailing escape dropped when unescaping", "ab!\n", bang_set, 8, {{"ab", 1}}},
    {"no escape character: nothing is escaped", "a!%b\n", no_escape_set, 15, {{"a!", 1}}},
    {"no comment character", "a#b\n", no_comment_set, 7, {{"a#b", 1}}},
};

// gtest shows a failing case by its name.
void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

class LineReaderCase : public testing::TestWithParam<LineCase> {};

TEST_P(LineReaderCase, ReadsLogicalLines) {
    const LineCase& c = GetParam();
    std::vector<Read> reads = read_all_lines(c.input, c.delimiters, c.flags);
    std::vector<Read> expected = c.expected;
    ASSERT_LE(expected.size(), reads.size()) << c.name;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(reads[i].line, expected[i].line) << c.name << ", call " << i + 1;
        EXPECT_EQ(reads[i].counter, expected[i].counter) << c.name << ", call " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LineReaderCase, testing::ValuesIn(line_cases),
                         [](const testing::TestParamInfo<LineCase>& param_info) {
                             std::string name;
                             for (const char* p = param_info.param.name; *p != '\0'; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(LineReader, NullLengthAndCounterAreAllowed) {
    FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    std::fputs("one\n", stream);
    std::rewind(stream);
    char* line = read_logical_line(stream, nullptr, nullptr, nullptr, unescape_standard);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "one");
    std::free(line);
    EXPECT_EQ(read_logical_line(stream, nullptr, nullptr, nullptr, unescape_standard), nullptr);
    std::fclose(stream);
}

// Long lines are cut at the limit, and the rest of the logical line is consumed,
// so the next logical line and the counter are unaffected.
struct LimitCase {
    const char* name;
    std::string input;
    std::vector<Read> expected;
};

std::string many(char c, std::size_t count) { return std::string(count, c); }

const std::size_t max = logical_line_max;

// `count` physical lines of `width` letters, each continued, and what the limit
// leaves of them joined.
std::string continued_lines(int count, std::size_t width) {
    std::string text;
    for (int i = 0; i < count; ++i) text += many(static_cast<char>('a' + i % 26), width) + "\\\n";
    return text;
}
std::string joined_prefix(int count, std::size_t width) {
    std::string joined;
    for (int i = 0; i < count; ++i) joined += many(static_cast<char>('a' + i % 26), width);
    return joined.substr(0, max);
}

TEST(LineReaderLimit, CutsAtTheLimitAndKeepsStructure) {
    const LimitCase cases[] = {
        {"exactly the limit", many('a', max) + "\nnext\n", {{many('a', max), 1}, {"next", 2}}},
        {"one byte over", many('a', max + 1) + "\nnext\n", {{many('a', max), 1}, {"next", 2}}},
        {"far over", many('a', 3 * max) + "\nnext\n", {{many('a', max), 1}, {"next", 2}}},
        {"continuation beyond the cut still joins", many('a', max + 10) + "\\\nb\nc\n",
         {{many('a', max), 2}, {"c", 3}}},
        {"comment beyond the cut hides the continuation", many('a', max + 5) + "#x\\\nb\n",
         {{many('a', max), 1}, {"b", 2}}},
        {"escaped continuation beyond the cut", many('a', max + 5) + "\\\\\nb\n",
         {{many('a', max), 1}, {"b", 2}}},
        {"many continued lines", continued_lines(100, 1000) + "end\nafter\n",
         {{joined_prefix(100, 1000), 101}, {"after", 102}}},
    };
    for (const LimitCase& c : cases) {
        std::vector<Read> reads = read_all_lines(c.input, nullptr, unescape_standard);
        ASSERT_GE(reads.size(), 2u) << c.name;
        ASSERT_TRUE(reads[0].line.has_value()) << c.name;
        EXPECT_EQ(reads[0].line->size(), max) << c.name;
        EXPECT_TRUE(*reads[0].line == *c.expected[0].line) << c.name;
        EXPECT_EQ(reads[0].counter, c.expected[0].counter) << c.name;
        EXPECT_EQ(reads[1].line, c.expected[1].line) << c.name;
        EXPECT_EQ(reads[1].counter, c.expected[1].counter) << c.name;
    }
}

TEST(SplitWord, SkipsRunsOfBlanksAndKeepsTheRest) {
    char text[] = "  one \t two  three four";
    char* cursor = text;
    EXPECT_STREQ(split_word(&cursor), "one");
    EXPECT_STREQ(split_word(&cursor), "two");
    EXPECT_STREQ(cursor, " three four");  // after the one blank that ended "two"
    EXPECT_STREQ(split_word(&cursor), "three");
    EXPECT_STREQ(split_word(&cursor), "four");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(split_word(&cursor), nullptr);
    char blanks[] = " \t ";
    cursor = blanks;
    EXPECT_EQ(split_word(&cursor), nullptr);
}

}  // namespace
