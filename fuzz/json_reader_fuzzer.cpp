// The JSON reader on any input: an accepted object is the whole input, numbers read back canonically, and
// the object written out compactly (which needs every string free of quotes and backslashes, every number
// all digits) reads back member for member. Nested objects are checked the same way.

#include "documents/json_reader.hpp"
#include "fuzz_check.hpp"
#include "metadata/service_urls.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using kelvara::JsonKind;

void check_object(std::string_view text) {
    kelvara::JsonObject object;
    kelvara::JsonCursor cursor = kelvara::json_cursor(text);
    const bool parsed = kelvara::parse_object(cursor, object);
    FUZZ_CHECK(parsed ? cursor.pos == text.size() : cursor.pos <= text.size());
    if (!parsed) {
        return;
    }
    std::string written = "{";
    for (const auto& [name, value] : object) {
        std::uint64_t number = 0;
        FUZZ_CHECK(!kelvara::read_u64(value, JsonKind::number, number) ||
                   kelvara::decimal_string(number) == value.text);
        if (value.kind == JsonKind::object) {
            check_object(value.text);
        }
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
