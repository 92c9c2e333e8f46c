// The JSON reader and its typed reads: whatever the input, every accepted member holds what its kind
// promises, the numbers read back canonically, and writing the object out again reads back the same.

#include "documents/json_reader.hpp"
#include "fuzz_check.hpp"
#include "metadata/service_urls.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

using kelvara::JsonKind;
using kelvara::JsonObject;
using kelvara::JsonValue;

constexpr int kMaxDepth = 32;

bool is_space(char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

bool all_digits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool plain_string(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == '"' || byte == '\\') {
            return false;
        }
    }
    return true;
}

// Whether the digits are a canonical decimal that fits 64 bits; read_u64 must then accept them.
bool fits_u64(std::string_view digits) {
    if (digits.empty() || (digits.size() > 1 && digits.front() == '0') || !all_digits(digits)) {
        return false;
    }
    return digits.size() < 20 || (digits.size() == 20 && digits <= "18446744073709551615");
}

void check_numbers(const JsonValue& value) {
    for (const JsonKind expected : {JsonKind::number, JsonKind::string}) {
        std::uint64_t out = 0;
        const bool read = kelvara::read_u64(value, expected, out);
        FUZZ_CHECK(read == (value.kind == expected && fits_u64(value.text)));
        if (read) {
            FUZZ_CHECK(kelvara::decimal_string(out) == value.text);
        }
    }
    std::uint64_t wide = 0;
    const bool wide_read = kelvara::read_u64(value, JsonKind::number, wide);
    std::uint32_t narrow = 12345;
    const bool narrow_read = kelvara::read_u32(value, narrow);
    FUZZ_CHECK(narrow_read == (wide_read && wide <= std::numeric_limits<std::uint32_t>::max()));
    FUZZ_CHECK(narrow_read ? narrow == wide : narrow == 12345);
}

void check_object(std::string_view text, int depth);

void check_value(const JsonObject& object, const std::string& name, const JsonValue& value, int depth) {
    FUZZ_CHECK(plain_string(name));
    const std::string_view text = value.text;
    switch (value.kind) {
    case JsonKind::string:
        FUZZ_CHECK(plain_string(text));
        break;
    case JsonKind::number:
        FUZZ_CHECK(!text.empty() && all_digits(text));
        break;
    case JsonKind::boolean:
        FUZZ_CHECK(text == "true" || text == "false");
        break;
    case JsonKind::null:
        FUZZ_CHECK(text.empty());
        break;
    case JsonKind::object:
    case JsonKind::array: {
        const bool object_kind = value.kind == JsonKind::object;
        FUZZ_CHECK(text.size() >= 2 && text.front() == (object_kind ? '{' : '['));
        FUZZ_CHECK(text.back() == (object_kind ? '}' : ']'));
        FUZZ_CHECK(text.find('\\') == std::string_view::npos);
        if (object_kind && depth < kMaxDepth) {
            check_object(text, depth + 1);
        }
        break;
    }
    default:
        FUZZ_CHECK(false);
    }

    std::string string_out = "untouched";
    const bool string_read = kelvara::read_string_member(object, name, string_out);
    FUZZ_CHECK(string_read == (value.kind == JsonKind::string));
    FUZZ_CHECK(string_out == (string_read ? value.text : "untouched"));
    bool bool_out = false;
    const bool bool_read = kelvara::read_bool_member(object, name, bool_out);
    FUZZ_CHECK(bool_read == (value.kind == JsonKind::boolean));
    FUZZ_CHECK(bool_out == (bool_read && text == "true"));
    FUZZ_CHECK(kelvara::contains(object, name) && &kelvara::member(object, name) == &value);
    check_numbers(value);
}

std::string write_object(const JsonObject& object) {
    std::string text = "{";
    for (const auto& [name, value] : object) {
        if (text.size() > 1) {
            text += ',';
        }
        text += '"' + name + "\":";
        if (value.kind == JsonKind::string) {
            text += '"' + value.text + '"';
        } else {
            text += value.kind == JsonKind::null ? "null" : value.text;
        }
    }
    return text + "}";
}

void check_object(std::string_view text, int depth) {
    JsonObject object;
    kelvara::JsonCursor cursor = kelvara::json_cursor(text);
    const bool parsed = kelvara::parse_object(cursor, object);
    FUZZ_CHECK(cursor.pos <= text.size());
    if (!parsed) {
        return;
    }
    FUZZ_CHECK(cursor.pos == text.size());
    std::size_t first = 0;
    while (first < text.size() && is_space(text[first])) {
        ++first;
    }
    FUZZ_CHECK(first < text.size() && text[first] == '{');
    for (const auto& [name, value] : object) {
        check_value(object, name, value, depth);
    }

    // The same object written compactly reads back member for member.
    const std::string written = write_object(object);
    JsonObject again;
    kelvara::JsonCursor again_cursor = kelvara::json_cursor(written);
    FUZZ_CHECK(kelvara::parse_object(again_cursor, again) && again == object);

    // A cursor that starts inside a larger input reads only what follows it.
    const std::string prefixed = "x{" + std::string(text);
    kelvara::JsonCursor offset_cursor{prefixed.data(), prefixed.size(), 2};
    JsonObject offset;
    FUZZ_CHECK(kelvara::parse_object(offset_cursor, offset) && offset == object);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_object(std::string_view(reinterpret_cast<const char*>(data), size), 0);
    return 0;
}
