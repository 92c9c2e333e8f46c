#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kelvara {

// A deliberately narrow JSON reader for the service's small documents. It reads one object level at a
// time: a member whose value is an object or an array is not descended into, its raw text is kept so that
// the caller can read it again when it wants to look inside. No recursion, hence no depth limit to guard.
//
// Narrower than JSON: strings carry no escapes (a backslash anywhere fails the read), numbers are runs of
// decimal digits. Every rejected input is a plain false; nothing throws.

enum class JsonKind : std::uint32_t {
    string = 0,
    number = 1,
    boolean = 2,
    null = 3,
    object = 4,
    array = 5,
};

// One member value. `text` by kind: string, the bytes between the quotes unchanged; number, the digits
// unchanged (leading zeros kept); boolean, "true" or "false"; null, empty; object and array, the raw text
// from the opening through the matching closing brace or bracket.
struct JsonValue {
    JsonKind kind = JsonKind::null;
    std::string text;

    friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

// Unsigned byte order of names, the shorter first on a common prefix: what std::string's comparison gives,
// written out so that the short member names of a document compare without a library call each.
struct JsonNameOrder {
    using is_transparent = void;

    bool operator()(std::string_view left, std::string_view right) const noexcept {
        const std::size_t common = left.size() < right.size() ? left.size() : right.size();
        for (std::size_t i = 0; i < common; ++i) {
            if (left[i] != right[i]) {
                return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[i]);
            }
        }
        return left.size() < right.size();
    }
};

// Members by name in unsigned byte order. Names are unique.
using JsonObject = std::map<std::string, JsonValue, JsonNameOrder>;

// A reading position over bytes the caller owns for the whole read.
struct JsonCursor {
    const char* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t pos = 0;
};

inline JsonCursor json_cursor(std::string_view text) noexcept {
    return JsonCursor{text.data(), text.size(), 0};
}

// Reads one object that makes up the whole remaining input (whitespace around it allowed) into `out`,
// which the caller passes in empty. On false `out` may hold some members; throw it away.
bool parse_object(JsonCursor& cursor, JsonObject& out);

// The value's text as an unsigned 64-bit decimal without leading zeros, provided the value has kind
// `expected`. On false `out` may have been overwritten.
bool read_u64(const JsonValue& value, JsonKind expected, std::uint64_t& out) noexcept;

// A JSON number of at most 4294967295. On false `out` is untouched.
bool read_u32(const JsonValue& value, std::uint32_t& out) noexcept;

} // namespace kelvara
