// An accepted object is the whole input, its numbers canonical, and written out compactly (strings have no
// escapes, numbers only digits) it reads back member for member; nested objects alike.

#include "documents/json_reader.hpp"
#include "fuzz_check.hpp"
#include "metadata/service_urls.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace kelvara;

void check_object(std::string_view text) {
    JsonObject object;
    JsonCursor cursor = json_cursor(text);
    const bool parsed = parse_object(cursor, object);
    FUZZ_CHECK(parsed ? cursor.pos == text.size() : cursor.pos <= text.size());
    if (!parsed) {
        return;
    }
    std::string written = "{";
    for (const auto& [name, value] : object) {
        std::uint64_t number = 0;
        FUZZ_CHECK(!read_u64(value, JsonKind::number, number) || decimal_string(number) == value.text);
        if (value.kind == JsonKind::object) {
            check_object(value.text);
        }
        written += (written.size() > 1 ? ",\"" : "\"") + name + "\":";
        written += value.kind == JsonKind::string ? '"' + value.text + '"'
                                                  : (value.kind == JsonKind::null ? "null" : value.text);
    }
    JsonObject again;
    JsonCursor again_cursor = json_cursor(written += "}");
    FUZZ_CHECK(parse_object(again_cursor, again) && again == object);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_object(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
