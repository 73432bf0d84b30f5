#include "core/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace cashdrawer::agent {
namespace {

std::string Nested(std::size_t depth, char open = '[', char close = ']') {
    return std::string(depth, open) + std::string(depth, close);
}

// Up to the bound a text parses; one level past it, or a text nested
// 300,000 deep, is refused before the parser can recurse into it.
TEST(JsonText, NestingBeyondTheBoundIsRefusedBeforeParsing) {
    struct Row {
        std::string text;
        bool taken;
    };
    const Row rows[] = {
        {Nested(kMaxJsonDepth), true},
        {Nested(kMaxJsonDepth + 1), false},
        {Nested(kMaxJsonDepth, '{', '}').substr(0, 1) + "}", true},
        {Nested(300000), false},
        {std::string(300000, '{'), false},
        // Brackets inside strings are text, an escaped quote does not end
        // the string, and a closing bracket alone does not bring depth below 0.
        {"[\"" + std::string(100, '[') + "\"]", true},
        {"[\"\\\"" + std::string(100, '[') + "\"]", true},
        {"]]" + Nested(kMaxJsonDepth), false}, // no JSON, and no underflow either
        // After a string with an escape in it, brackets count again.
        {"[\"a\\\"b\"," + Nested(kMaxJsonDepth - 1) + "]", true},
        {"[\"a\\\"b\"," + Nested(kMaxJsonDepth) + "]", false},
        {"{\"a\":" + Nested(kMaxJsonDepth - 1) + "}", true},
        {"{\"a\":" + Nested(kMaxJsonDepth) + "}", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(!ParseJsonText(row.text).is_discarded(), row.taken) << row.text.substr(0, 80);
    }
}

// A field of another type than asked reads as the fallback, never throws.
TEST(JsonText, AFieldOfAnotherTypeReadsAsTheFallback) {
    const Json object = Json::parse(
        R"({"s":"text","n":5,"neg":-3,"big":18446744073709551615,"b":true,"f":1.5,"o":{},"nul":null})");
    EXPECT_EQ(FieldOr(object, "s", std::string("-")), "text");
    EXPECT_EQ(FieldOr(object, "n", std::string("-")), "-");
    EXPECT_EQ(FieldOr(object, "missing", std::string("-")), "-");
    EXPECT_EQ(FieldOr(object, "n", int64_t{-1}), 5);
    EXPECT_EQ(FieldOr(object, "neg", int64_t{0}), -3);
    EXPECT_EQ(FieldOr(object, "s", int64_t{-1}), -1);
    EXPECT_EQ(FieldOr(object, "f", int64_t{-1}), -1);
    EXPECT_EQ(FieldOr(object, "big", int64_t{-1}), -1) << "past int64's range";
    EXPECT_EQ(FieldOr(object, "big", uint64_t{0}), 18446744073709551615u);
    EXPECT_EQ(FieldOr(object, "neg", uint64_t{7}), 7u);
    EXPECT_EQ(FieldOr(object, "s", uint64_t{7}), 7u);
    EXPECT_EQ(FieldOr(object, "n", 9), 5);
    EXPECT_EQ(FieldOr(object, "big", 9), 9);
    // The edges of a narrower type: its least and greatest are taken, one
    // past either is the fallback.
    const Json edges = Json::parse(R"({"min":-2147483648,"below":-2147483649,"max":2147483647,"above":2147483648})");
    EXPECT_EQ(FieldOr(edges, "min", 9), -2147483647 - 1);
    EXPECT_EQ(FieldOr(edges, "below", 9), 9);
    EXPECT_EQ(FieldOr(edges, "max", 9), 2147483647);
    EXPECT_EQ(FieldOr(edges, "above", 9), 9);
    EXPECT_EQ(FieldOr(edges, "max", uint32_t{9}), 2147483647u);
    EXPECT_EQ(FieldOr(Json::parse(R"({"x":4294967296})"), "x", uint32_t{9}), 9u);
    EXPECT_EQ(FieldOr(Json::parse(R"({"x":4294967295})"), "x", uint32_t{9}), 4294967295u);
    EXPECT_EQ(FieldOr(object, "b", false), true);
    EXPECT_EQ(FieldOr(object, "n", false), false);
    EXPECT_EQ(FieldOr(object, "nul", true), true);
    EXPECT_EQ(FieldOr(object, "o", std::string("-")), "-");
    EXPECT_EQ(FieldOr(Json::parse("[1]"), "n", 4), 4) << "not an object";
    EXPECT_EQ(FieldOr(Json::parse("5"), "n", 4), 4);
}

} // namespace
} // namespace cashdrawer::agent
