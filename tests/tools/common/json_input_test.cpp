// The tools' JSON field readers: what each accepts, and how a refusal reads.
#include "tools/common/json_input.h"

#include <gtest/gtest.h>

#include <functional>

namespace json_input {
namespace {

Json::Value Doc(const std::string& value) { return ParseText("{\"n\": " + value + "}", "t.json"); }

std::string Refusal(const std::function<void()>& read) {
    try {
        read();
    } catch (const InputError& e) {
        return e.what();
    }
    return "accepted";
}

// Integers come as JSON numbers with a whole value, or as text in decimal or
// 0x-hexadecimal with an optional sign (addresses are often written in hex).
TEST(JsonInput, IntegersAsWholeNumbersOrDecimalOrHexadecimalText) {
    const struct {
        const char* json;
        std::int64_t value;
    } accepted[] = {{"42", 42},         {"-7", -7},       {"3.0", 3},          {"1e2", 100},
                    {"-1e3", -1000},    {"\"0x1F\"", 31}, {"\"0X1f\"", 31},    {"\"+12\"", 12},
                    {"\"-0x10\"", -16}, {"\"007\"", 7},   {"\"-1000\"", -1000}};
    for (const auto& c : accepted) {
        EXPECT_EQ(RequireInteger(Doc(c.json), "n", "site", -1000, 1000), c.value) << c.json;
    }
    const struct {
        const char* json;
        const char* got;
    } refused[] = {
        {"1.5", "a number"},
        {"true", "a boolean"},
        {"[1]", "an array"},
        {"\"\"", "\"\""},
        {"\"0x\"", "\"0x\""},
        {"\"--5\"", "\"--5\""},
        {"\"+-5\"", "\"+-5\""},
        {"\" 5\"", "\" 5\""},
        {"\"5 \"", "\"5 \""},
        {"\"0x-5\"", "\"0x-5\""},
        {"\"12a\"", "\"12a\""},
        {"\"1.0\"", "\"1.0\""},
        {"1001", "1001"},
        {"\"0x3E9\"", "1001"},
        {"-1001", "-1001"},
        {"\"9223372036854775808\"", "\"9223372036854775808\""},
        {"18446744073709551615", "18446744073709551615"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(Refusal([&] { RequireInteger(Doc(c.json), "n", "site", -1000, 1000); }),
                  std::string("site.n: must be an integer -1000..1000, got ") + c.got)
            << c.json;
    }
    EXPECT_EQ(Refusal([] { RequireInteger(Doc("null"), "n", "site", 0, 1); }), "site.n: missing");
    EXPECT_FALSE(OptionalInteger(Doc("null"), "n", "site", 0, 1));
}

TEST(JsonInput, EachReaderTakesItsOwnTypeAndNamesWhatItGot) {
    const Json::Value doc =
        ParseText(R"({"b": true, "n": 1.5, "i": 2, "s": "x", "e": "", "o": {}})", "t.json");
    EXPECT_EQ(OptionalNumber(doc, "n", "w"), 1.5);
    EXPECT_EQ(OptionalNumber(doc, "i", "w"), 2.0);
    EXPECT_EQ(OptionalBool(doc, "b", "w"), true);
    EXPECT_EQ(OptionalString(doc, "s", "w"), "x");
    EXPECT_FALSE(OptionalNumber(doc, "absent", "w") || OptionalBool(doc, "absent", "w") ||
                 OptionalString(doc, "absent", "w"));
    const struct {
        std::function<void()> read;
        const char* says;
    } refused[] = {
        {[&] { OptionalNumber(doc, "b", "w"); }, "w.b: must be a number, got a boolean"},
        {[&] { OptionalNumber(doc, "s", "w"); }, "w.s: must be a number, got a string"},
        {[&] { OptionalBool(doc, "i", "w"); }, "w.i: must be true or false, got an integer"},
        {[&] { OptionalString(doc, "o", "w"); }, "w.o: must be a string, got an object"},
        {[&] { RequireString(doc, "e", "w"); }, "w.e: must not be empty"},
        {[&] { RequireString(doc, "absent", ""); }, "absent: missing"},
        {[&] { ExpectArray(doc["o"], "w.o"); }, "w.o: must be an array, got an object"},
        {[&] { ExpectObject(doc["n"], "w.n"); }, "w.n: must be an object, got a number"},
    };
    for (const auto& c : refused) EXPECT_EQ(Refusal(c.read), c.says);
}

}  // namespace
}  // namespace json_input
