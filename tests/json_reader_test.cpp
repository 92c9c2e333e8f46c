#include "documents/json_reader.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

namespace kelvara {
namespace {

using Expected = std::optional<JsonObject>; // nothing: the read must fail

JsonValue value(JsonKind kind, std::string text) {
    return JsonValue{kind, std::move(text)};
}

struct ParseCase {
    std::string input;
    Expected expected;
};

TEST(JsonReader, ParsesExactlyTheNarrowGrammar) {
    const auto str = [](std::string text) { return value(JsonKind::string, std::move(text)); };
    const auto num = [](std::string text) { return value(JsonKind::number, std::move(text)); };
    const ParseCase cases[] = {
        {"{}", JsonObject{}},
        {" \t\n\v\f\r{ \v}\f\r\n", JsonObject{}},
        {"", std::nullopt},
        {"{}{}", std::nullopt},
        {"{} x", std::nullopt},
        {"[]", std::nullopt},
        {R"({"a":1,})", std::nullopt},
        {R"({"a":1 "b":2})", std::nullopt},
        {R"({"a":1,"a":1})", std::nullopt},
        {R"({"a" 1})", std::nullopt},
        {R"({"a":})", std::nullopt},
        {R"({"a":"x\"y"})", std::nullopt},
        {R"({"a":"\u0041"})", std::nullopt},
        {"{\"a\":\"x\ty\"}", std::nullopt},
        {"{\"a\":\"x\x7Fy\"}", JsonObject{{"a", str("x\x7Fy")}}},
        {"{\"\":\"\xC3\xA9\"}", JsonObject{{"", str("\xC3\xA9")}}},
        {R"({"a":007,"b":0})", JsonObject{{"a", num("007")}, {"b", num("0")}}},
        {R"({"a":-1})", std::nullopt},
        {R"({"a":1.5})", std::nullopt},
        {R"({"a":1e3})", std::nullopt},
        {R"({"t":true ,"f":false	,"n":null})", JsonObject{{"t", value(JsonKind::boolean, "true")},
                                                             {"f", value(JsonKind::boolean, "false")},
                                                             {"n", value(JsonKind::null, "")}}},
        {R"({"a":truex})", std::nullopt},
        {R"({"a":nul})", std::nullopt},
        {R"({"a":True})", std::nullopt},
        {R"({"o":{"p":[1,{"q":"}"}]} ,"s":"x"})",
         JsonObject{{"o", value(JsonKind::object, R"({"p":[1,{"q":"}"}]})")}, {"s", str("x")}}},
        {R"({"a":["]",1],"b":2})", JsonObject{{"a", value(JsonKind::array, R"(["]",1])")}, {"b", num("2")}}},
        {R"({"a":[{]})", JsonObject{{"a", value(JsonKind::array, "[{]")}}},
        {R"({"a":{"b":[}})", JsonObject{{"a", value(JsonKind::object, R"({"b":[})")}}},
        {R"({"a":[1,2})", std::nullopt},
        {R"({"a":{"b":"})", std::nullopt},
        {R"({"a":["x\"]})", std::nullopt},
        {R"({"a":[)", std::nullopt},
        {R"({"a":1)", std::nullopt},
    };
    for (const auto& c : cases) {
        JsonObject out;
        JsonCursor cursor = json_cursor(c.input);
        const bool parsed = parse_object(cursor, out);
        EXPECT_EQ(parsed, c.expected.has_value()) << c.input;
        if (parsed && c.expected) {
            EXPECT_EQ(out, *c.expected) << c.input;
            EXPECT_EQ(cursor.pos, c.input.size()) << c.input;
        }
    }
}

TEST(JsonReader, OrdersNamesAsUnsignedBytes) {
    JsonObject out;
    const std::string input = "{\"\xC3\":1,\"z\":2,\"za\":3}";
    JsonCursor cursor = json_cursor(input);
    ASSERT_TRUE(parse_object(cursor, out));
    std::vector<std::string> names;
    for (const auto& [name, member] : out) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"z", "za", "\xC3"}));
}

TEST(JsonReader, ReadsCanonicalUnsignedNumbersOfTheRightKind) {
    struct Case {
        JsonValue value;
        JsonKind expected;
        std::optional<std::uint64_t> result;
    };
    const Case cases[] = {
        {value(JsonKind::number, "0"), JsonKind::number, 0},
        {value(JsonKind::number, "007"), JsonKind::number, std::nullopt},
        {value(JsonKind::number, ""), JsonKind::number, std::nullopt},
        {value(JsonKind::number, "12a"), JsonKind::number, std::nullopt},
        {value(JsonKind::number, "18446744073709551615"), JsonKind::number, 18446744073709551615ULL},
        {value(JsonKind::number, "18446744073709551616"), JsonKind::number, std::nullopt},
        {value(JsonKind::number, "99999999999999999999"), JsonKind::number, std::nullopt},
        {value(JsonKind::string, "42"), JsonKind::string, 42},
        {value(JsonKind::string, "42"), JsonKind::number, std::nullopt},
        {value(JsonKind::number, "42"), JsonKind::string, std::nullopt},
    };
    for (const auto& c : cases) {
        std::uint64_t out = 0;
        EXPECT_EQ(read_u64(c.value, c.expected, out), c.result.has_value()) << c.value.text;
        if (c.result) {
            EXPECT_EQ(out, *c.result) << c.value.text;
        }
    }

    const std::pair<JsonValue, std::optional<std::uint32_t>> narrow[] = {
        {value(JsonKind::number, "4294967295"), 4294967295U},
        {value(JsonKind::number, "4294967296"), std::nullopt},
        {value(JsonKind::number, "18446744073709551615"), std::nullopt},
        {value(JsonKind::string, "2"), std::nullopt},
    };
    for (const auto& [input, result] : narrow) {
        std::uint32_t out = 7;
        EXPECT_EQ(read_u32(input, out), result.has_value()) << input.text;
        EXPECT_EQ(out, result.value_or(7)) << input.text;
    }
}

TEST(JsonReader, TypedMemberReadsTreatOtherKindsAsAbsent) {
    JsonObject object;
    const std::string input = R"({"s":"true","b":false,"n":null,"d":1,"o":{}})";
    JsonCursor cursor = json_cursor(input);
    ASSERT_TRUE(parse_object(cursor, object));

    for (const char* name : {"b", "n", "d", "o", "missing"}) {
        std::string text = "kept";
        EXPECT_FALSE(read_string_member(object, name, text)) << name;
        EXPECT_EQ(text, "kept");
    }
    std::string text;
    EXPECT_TRUE(read_string_member(object, "s", text));
    EXPECT_EQ(text, "true");

    for (const char* name : {"s", "n", "d", "missing"}) {
        bool flag = true;
        EXPECT_FALSE(read_bool_member(object, name, flag)) << name;
        EXPECT_TRUE(flag);
    }
    bool flag = true;
    EXPECT_TRUE(read_bool_member(object, "b", flag));
    EXPECT_FALSE(flag);

    EXPECT_TRUE(contains(object, "n"));
    EXPECT_FALSE(contains(object, "missing"));
    EXPECT_EQ(member(object, "d").text, "1");
    EXPECT_THROW(member(object, "missing"), std::out_of_range);
}

} // namespace
} // namespace kelvara
