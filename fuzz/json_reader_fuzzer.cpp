// The JSON reader on any input: an accepted object is the whole input, every member holds what its kind
// promises, the typed reads agree with the kind, numbers read back canonically, and the object written out
// compactly reads back the same. Nested objects are checked the same way.

#include "documents/json_reader.hpp"
#include "fuzz_check.hpp"
#include "metadata/service_urls.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using kelvara::JsonKind;

bool plain(std::string_view text) {
    return std::ranges::none_of(text,
                                [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

void check_object(std::string_view text) {
    kelvara::JsonObject object;
    kelvara::JsonCursor cursor = kelvara::json_cursor(text);
    if (!kelvara::parse_object(cursor, object)) {
        FUZZ_CHECK(cursor.pos <= text.size());
        return;
    }
    FUZZ_CHECK(cursor.pos == text.size());
    std::string written = "{";
    for (const auto& [name, value] : object) {
        const std::string_view v = value.text;
        FUZZ_CHECK(plain(name));
        switch (value.kind) {
        case JsonKind::string:
            FUZZ_CHECK(plain(v));
            break;
        case JsonKind::number:
            FUZZ_CHECK(!v.empty() && std::ranges::all_of(v, [](char c) { return c >= '0' && c <= '9'; }));
            break;
        case JsonKind::boolean:
            FUZZ_CHECK(v == "true" || v == "false");
            break;
        case JsonKind::null:
            FUZZ_CHECK(v.empty());
            break;
        default:
            FUZZ_CHECK(value.kind == JsonKind::object || value.kind == JsonKind::array);
            FUZZ_CHECK(v.size() >= 2 && v.find('\\') == std::string_view::npos);
            FUZZ_CHECK(value.kind == JsonKind::object ? v.front() == '{' && v.back() == '}'
                                                      : v.front() == '[' && v.back() == ']');
            if (value.kind == JsonKind::object) {
                check_object(v);
            }
        }
        std::string text_out;
        bool flag = false;
        FUZZ_CHECK(kelvara::read_string_member(object, name, text_out) == (value.kind == JsonKind::string));
        FUZZ_CHECK(kelvara::read_bool_member(object, name, flag) == (value.kind == JsonKind::boolean));
        FUZZ_CHECK(flag == (v == "true" && value.kind == JsonKind::boolean));
        std::uint64_t wide = 0;
        std::uint32_t narrow = 7;
        const bool wide_read = kelvara::read_u64(value, JsonKind::number, wide);
        FUZZ_CHECK(!wide_read || kelvara::decimal_string(wide) == v);
        FUZZ_CHECK(kelvara::read_u32(value, narrow) == (wide_read && wide <= UINT32_MAX));
        FUZZ_CHECK(narrow == (wide_read && wide <= UINT32_MAX ? wide : 7));
        written += (written.size() > 1 ? ",\"" : "\"") + name + "\":";
        written += value.kind == JsonKind::string ? '"' + value.text + '"'
                                                  : (value.kind == JsonKind::null ? "null" : value.text);
    }
    kelvara::JsonObject again;
    kelvara::JsonCursor again_cursor = kelvara::json_cursor(written += "}");
    FUZZ_CHECK(kelvara::parse_object(again_cursor, again) && again == object);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_object(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
