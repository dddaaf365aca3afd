// parse_size_number: suffixes, products, limits and every message.
#include "config/size_number.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct SizeCase {
    const char* text;
    long long minimum;
    long long maximum;
    long long value;       // expected value when `error` is empty
    const char* error;     // expected message, "" for success
};

constexpr long long big = LLONG_MAX;

const SizeCase size_cases[] = {
    {"64k", 0, big, 65536, ""},
    {"1kx2", 0, big, 2048, ""},
    {"2x1k", 0, big, 2048, ""},
    {"2*3*4", 0, big, 24, ""},
    {"  7", 0, big, 7, ""},
    {"1b", 0, big, 512, ""},
    {"3w", 0, big, 12, ""},
    {"1m", 0, big, 1048576, ""},
    {"1g", 0, big, 1073741824, ""},
    {"1t", 0, big, 1099511627776LL, ""},
    {"0x10", 0, big, 0, ""},
    {"-1", -1, big, -1, ""},
    {"10 ", 0, big, 0, "rate `10 ': illegal number"},
    {"10K", 0, big, 0, "rate `10K': illegal number"},
    {"1kk", 0, big, 0, "rate `1kk': illegal number"},
    {"", 0, big, 0, "rate `': illegal number"},
    {"  x", 0, big, 0, "rate `x': illegal number"},
    {"2xq", 0, big, 0, "rate `q': illegal number"},
    {"-1k", -1, big, 0, "rate: Numerical result out of range"},
    {"9223372036854775807k", 0, big, 0, "rate: Numerical result out of range"},
    {"99999999999999999999", 0, big, 0, "rate: Numerical result out of range"},
    {"4294967296x4294967296", 0, big, 0, "rate: Numerical result out of range"},
    {"5", 10, 20, 0, "rate 5 is less than 10."},
    {"25", 10, 20, 0, "rate 25 is greater than 20."},
    {"15x11", 10, 20, 0, "rate 165 is greater than 20."},
    {"15x5", 10, 20, 0, "rate 5 is less than 10."},
};

TEST(SizeNumber, TableOfCases) {
    for (const SizeCase& c : size_cases) {
        char error[100] = "unchanged";
        long long value = parse_size_number("rate", c.text, c.minimum, c.maximum, error, sizeof error);
        EXPECT_STREQ(error, c.error) << "text: '" << c.text << "'";
        if (c.error[0] == '\0') EXPECT_EQ(value, c.value) << "text: '" << c.text << "'";
        else EXPECT_EQ(value, 0) << "text: '" << c.text << "'";
    }
}

std::string product_of_ones(int factors) {
    std::string text = "1";
    for (int i = 1; i < factors; ++i) text += "x1";
    return text;
}

TEST(SizeNumber, SeventeenFactorsAreAcceptedEighteenAreNot) {
    char error[100];
    EXPECT_EQ(parse_size_number("n", product_of_ones(17).c_str(), 0, big, error, sizeof error), 1);
    EXPECT_STREQ(error, "");
    parse_size_number("n", product_of_ones(18).c_str(), 0, big, error, sizeof error);
    EXPECT_STREQ(error, "n: Recursion limit exceeded");
}

TEST(SizeNumber, MessageIsCutToTheBuffer) {
    char error[8];
    parse_size_number("maxfilesize", "junk", 0, big, error, sizeof error);
    EXPECT_STREQ(error, "maxfile");
}

}  // namespace
