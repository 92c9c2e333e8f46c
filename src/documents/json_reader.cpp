#include "documents/json_reader.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

namespace kelvara {
namespace {

// The "C" locale's isspace set. Wider than JSON (vertical tab and form feed count), and independent of
// whatever locale the host process runs under.
constexpr bool is_space(unsigned char byte) noexcept {
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

constexpr bool is_digit(unsigned char byte) noexcept {
    return byte >= '0' && byte <= '9';
}

// Bytes a raw capture outside quoted text must look at; one table lookup for every other byte.
enum ByteClass : std::uint8_t {
    kQuoteOrBackslash = 1,
    kBrace = 2,   // opener or closer of an object capture
    kBracket = 4, // opener or closer of an array capture
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    std::array<std::uint8_t, 256> classes{};
    classes['"'] = classes['\\'] = kQuoteOrBackslash;
    classes['{'] = classes['}'] = kBrace;
    classes['['] = classes[']'] = kBracket;
    return classes;
}

constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

// The cursor's fields as locals for the duration of one read, so that the position stays in a register.
class Scanner {
public:
    explicit Scanner(const JsonCursor& cursor) noexcept
        : data_(reinterpret_cast<const unsigned char*>(cursor.data)), size_(cursor.size), pos_(cursor.pos) {}

    std::uint64_t pos() const noexcept { return pos_; }
    bool at_end() const noexcept { return pos_ >= size_; }
    unsigned char peek() const noexcept { return data_[pos_]; }
    void step(std::uint64_t count = 1) noexcept { pos_ += count; }

    void skip_space() noexcept {
        while (pos_ < size_ && is_space(data_[pos_])) {
            ++pos_;
        }
    }

    bool remaining_starts_with(std::string_view word) const noexcept {
        return size_ - pos_ >= word.size() && std::string_view(chars(pos_), word.size()) == word;
    }

    // A quoted string without escapes or control bytes; the view points into the input.
    bool read_string(std::string_view& text) noexcept {
        skip_space();
        if (at_end() || peek() != '"') {
            return false;
        }
        const std::uint64_t start = ++pos_;
        if (!skip_to_quote() || has_string_stop(start, pos_)) {
            return false; // no closing quote, or a backslash or control byte before it
        }
        text = std::string_view(chars(start), pos_ - start);
        ++pos_;
        return true;
    }

    // The raw text of a nested object or array, from its opener through the closer that balances it. Only
    // the opener's own bracket kind is counted, and not inside quoted text.
    bool capture(unsigned char opener, unsigned char closer, std::string_view& text) noexcept {
        const std::uint64_t start = pos_++;
        const std::uint8_t bracket_class = opener == '{' ? kBrace : kBracket;
        std::uint64_t depth = 1;
        bool in_string = false;
        while (pos_ < size_) {
            if (in_string) {
                // Quoted text is most of a capture: find its end in one sweep, then look for a backslash.
                const std::uint64_t from = pos_;
                if (!skip_to_quote() || std::memchr(data_ + from, '\\', pos_ - from) != nullptr) {
                    return false;
                }
            } else {
                skip_ordinary(kQuoteOrBackslash | bracket_class);
                if (at_end()) {
                    break;
                }
            }
            const unsigned char byte = data_[pos_++];
            if (byte == '\\') {
                return false;
            }
            if (byte == '"') {
                in_string = !in_string;
            } else if (!in_string) {
                if (byte == opener) {
                    ++depth;
                } else if (byte == closer && --depth == 0) {
                    text = std::string_view(chars(start), pos_ - start);
                    return true;
                }
            }
        }
        return false;
    }

    std::string_view read_digits() noexcept {
        const std::uint64_t start = pos_;
        while (pos_ < size_ && is_digit(data_[pos_])) {
            ++pos_;
        }
        return std::string_view(chars(start), pos_ - start);
    }

private:
    // Moves to the next double quote; false, at the end of input, when there is none.
    bool skip_to_quote() noexcept {
        const void* quote = std::memchr(data_ + pos_, '"', size_ - pos_);
        pos_ = quote ? static_cast<std::uint64_t>(static_cast<const unsigned char*>(quote) - data_) : size_;
        return quote != nullptr;
    }

    // Whether [from, to) holds a byte that no string may hold. No early exit, so the loop vectorises.
    bool has_string_stop(std::uint64_t from, std::uint64_t to) const noexcept {
        bool found = false;
        for (std::uint64_t i = from; i < to; ++i) {
            found |= (data_[i] < 0x20) | (data_[i] == '\\');
        }
        return found;
    }

    // Steps past every byte that belongs to none of the classes in `stops`.
    void skip_ordinary(std::uint8_t stops) noexcept {
        while (pos_ < size_ && (kByteClasses[data_[pos_]] & stops) == 0) {
            ++pos_;
        }
    }

    const char* chars(std::uint64_t at) const noexcept { return reinterpret_cast<const char*>(data_) + at; }

    const unsigned char* data_;
    std::uint64_t size_;
    std::uint64_t pos_;
};

bool read_value(Scanner& scan, JsonValue& value) {
    std::string_view text;
    const unsigned char first = scan.peek();
    if (first == '"') {
        if (!scan.read_string(text)) {
            return false;
        }
        value.kind = JsonKind::string;
    } else if ((first == 't' && scan.remaining_starts_with("true")) ||
               (first == 'f' && scan.remaining_starts_with("false"))) {
        // The keyword needs no delimiter here: whatever follows must be whitespace, a comma or the brace.
        text = first == 't' ? "true" : "false";
        scan.step(text.size());
        value.kind = JsonKind::boolean;
    } else if (first == 'n' && scan.remaining_starts_with("null")) {
        scan.step(4);
        value.kind = JsonKind::null;
    } else if (first == '{' || first == '[') {
        const bool object = first == '{';
        if (!scan.capture(first, object ? '}' : ']', text)) {
            return false;
        }
        value.kind = object ? JsonKind::object : JsonKind::array;
    } else {
        text = scan.read_digits();
        if (text.empty()) {
            return false;
        }
        value.kind = JsonKind::number;
    }
    value.text.assign(text);
    return true;
}

// After the closing brace only whitespace may follow.
bool finish_object(Scanner& scan) noexcept {
    scan.step();
    scan.skip_space();
    return scan.at_end();
}

bool parse_members(Scanner& scan, JsonObject& out) {
    scan.skip_space();
    if (scan.at_end() || scan.peek() != '{') {
        return false;
    }
    scan.step();
    scan.skip_space();
    if (!scan.at_end() && scan.peek() == '}') {
        return finish_object(scan);
    }
    for (;;) {
        std::string_view name;
        if (!scan.read_string(name)) {
            return false;
        }
        // A repeated name is an error, never a replacement. Looking up by view first means the name is
        // copied once, into the map's own node.
        auto slot = out.lower_bound(name);
        if (slot != out.end() && slot->first == name) {
            return false;
        }
        scan.skip_space();
        if (scan.at_end() || scan.peek() != ':') {
            return false;
        }
        scan.step();
        scan.skip_space();
        if (scan.at_end()) {
            return false;
        }
        slot = out.emplace_hint(slot, std::piecewise_construct, std::forward_as_tuple(name), std::tuple<>());
        if (!read_value(scan, slot->second)) {
            return false;
        }
        scan.skip_space();
        if (scan.at_end()) {
            return false;
        }
        if (scan.peek() == '}') {
            return finish_object(scan);
        }
        if (scan.peek() != ',') {
            return false;
        }
        scan.step();
        scan.skip_space();
    }
}

} // namespace

bool parse_object(JsonCursor& cursor, JsonObject& out) {
    if (cursor.pos > cursor.size) {
        return false;
    }
    Scanner scan(cursor);
    const bool parsed = parse_members(scan, out);
    cursor.pos = scan.pos();
    return parsed;
}

bool read_u64(const JsonValue& value, JsonKind expected, std::uint64_t& out) noexcept {
    const std::string_view text = value.text;
    if (value.kind != expected || text.empty() || (text.size() > 1 && text.front() == '0')) {
        return false;
    }
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t result = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!is_digit(byte)) {
            return false;
        }
        const std::uint64_t digit = byte - '0';
        if (result > (max - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    out = result;
    return true;
}

bool read_u32(const JsonValue& value, std::uint32_t& out) noexcept {
    std::uint64_t wide = 0;
    if (!read_u64(value, JsonKind::number, wide) || wide > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

} // namespace kelvara
