#include "documents/json_reader.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvara {
namespace {

JsonValue str(std::string text) {
    return {JsonKind::string, std::move(text)};
}
JsonValue num(std::string text) {
    return {JsonKind::number, std::move(text)};
}

std::optional<JsonObject> parse(const std::string& input) {
    JsonObject out;
    JsonCursor cursor = json_cursor(input);
    if (!parse_object(cursor, out)) {
        return std::nullopt;
    }
    EXPECT_EQ(cursor.pos, input.size()) << input;
    return out;
}

TEST(JsonReader, ParsesExactlyTheNarrowGrammar) {
    const std::vector<std::string> refused[] = {
        {"", "{}{}", "{} x", "[]", R"({"a":1)", R"({"a":[)"}, // not exactly one whole object
        {R"({"a":1,})", R"({"a":1 "b":2})", R"({"a" 1})", R"({"a":})", R"({"a":1,"a":1})"}, // punctuation, duplicates
        {R"({"a":"x\"y"})", R"({"a":"\u0041"})", "{\"a\":\"x\ty\"}", R"({"a":["x\"]})"},    // escapes, control bytes
        {R"({"a":-1})", R"({"a":1.5})", R"({"a":1e3})", R"({"a":truex})", R"({"a":nul})", R"({"a":True})"}, // values
        {R"({"a":[1,2})", R"({"a":{"b":"})"}, // unbalanced captures
    };
    for (const std::string& input : std::views::join(refused)) {
        EXPECT_FALSE(parse(input)) << input;
    }
    const std::pair<std::string, JsonObject> cases[] = {
        {"{}", {}},
        {" \t\n\v\f\r{ \v}\f\r\n", {}},
        {"{\"a\":\"x\x7Fy\"}", {{"a", str("x\x7Fy")}}},
        {"{\"\":\"\xC3\xA9\"}", {{"", str("\xC3\xA9")}}},
        {R"({"a":007,"b":0})", {{"a", num("007")}, {"b", num("0")}}},
        {R"({"t":true ,"f":false	,"n":null})",
         {{"t", {JsonKind::boolean, "true"}}, {"f", {JsonKind::boolean, "false"}}, {"n", {JsonKind::null, ""}}}},
        // Nested values are kept raw; only the opener's own bracket kind counts, never inside quotes.
        {R"({"o":{"p":[1,{"q":"}"}]} ,"s":"x"})",
         {{"o", {JsonKind::object, R"({"p":[1,{"q":"}"}]})"}}, {"s", str("x")}}},
        {R"({"a":["]",1],"b":2})", {{"a", {JsonKind::array, R"(["]",1])"}}, {"b", num("2")}}},
        {R"({"a":[{]})", {{"a", {JsonKind::array, "[{]"}}}},
        {R"({"a":{"b":[}})", {{"a", {JsonKind::object, R"({"b":[})"}}}},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(parse(input), expected) << input;
    }
    // Names in unsigned byte order: a byte above 0x7F sorts last.
    const auto ordered = parse("{\"\xC3\":1,\"z\":2,\"za\":3}");
    ASSERT_TRUE(ordered);
    EXPECT_EQ(ordered->begin()->first, "z");
    EXPECT_EQ(ordered->rbegin()->first, "\xC3");
}

std::optional<std::uint64_t> u64(const JsonValue& value, JsonKind kind) {
    std::uint64_t out = 0;
    return read_u64(value, kind, out) ? std::optional(out) : std::nullopt;
}

TEST(JsonReader, ReadsCanonicalUnsignedNumbersOfTheRightKind) {
    EXPECT_EQ(u64(num("0"), JsonKind::number), 0U);
    EXPECT_EQ(u64(num("18446744073709551615"), JsonKind::number), UINT64_MAX);
    EXPECT_EQ(u64(str("42"), JsonKind::string), 42U);
    EXPECT_FALSE(u64(str("42"), JsonKind::number));
    EXPECT_FALSE(u64(num("42"), JsonKind::string));
    for (const char* text : {"007", "", "12a", "18446744073709551616", "99999999999999999999"}) {
        EXPECT_FALSE(u64(num(text), JsonKind::number)) << text;
    }
    const std::pair<JsonValue, std::uint32_t> narrow[] = {
        {num("4294967295"), 4294967295U}, {num("4294967296"), 7}, {num("18446744073709551615"), 7}, {str("2"), 7}};
    for (const auto& [value, result] : narrow) {
        std::uint32_t out = 7; // untouched on failure
        EXPECT_EQ(read_u32(value, out), result != 7) << value.text;
        EXPECT_EQ(out, result) << value.text;
    }
}

TEST(JsonReader, TypedMemberReadsTreatOtherKindsAsAbsent) {
    const auto object = parse(R"({"s":"true","b":false,"n":null,"d":1,"o":{}})").value();
    for (const std::string_view name : {"s", "b", "n", "d", "o", "missing"}) {
        std::string text = "kept";
        EXPECT_EQ(read_string_member(object, name, text), name == "s") << name;
        EXPECT_EQ(text, name == "s" ? "true" : "kept") << name;
        bool flag = true;
        EXPECT_EQ(read_bool_member(object, name, flag), name == "b") << name;
        EXPECT_EQ(flag, name != "b") << name;
    }
    EXPECT_TRUE(contains(object, "n"));
    EXPECT_FALSE(contains(object, "missing"));
    EXPECT_EQ(member(object, "d").text, "1");
    EXPECT_THROW(member(object, "missing"), std::out_of_range);
}

} // namespace
} // namespace kelvara
