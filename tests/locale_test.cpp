// The operator's texts: every key the module looks up has an English text, and every translation has exactly
// the English keys, with the same placeholders and mnemonic markers in each text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;
const fs::path kLocales = fs::path(KELVARA_SOURCE_DIR) / "data" / "locale";

std::string file_text(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Key="Text" lines and # comments. libobs ends a text at its first quote, so none may hold one.
std::map<std::string, std::string> read_locale(const fs::path& path) {
    static const std::regex line_form(R"re(([^=]+)="([^"]*)")re");
    std::map<std::string, std::string> texts;
    std::istringstream lines(file_text(path));
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!std::regex_match(line, match, line_form)) {
            ADD_FAILURE() << path.filename() << ": " << line;
            continue;
        }
        EXPECT_TRUE(texts.emplace(match[1], match[2]).second) << path.filename() << " has " << match[1] << " twice";
    }
    return texts;
}

// The number of mnemonic markers ('&' before a letter; "&&" shows one '&'), then the sorted placeholders.
std::string shape(const std::string& text) {
    static const std::regex double_ampersand("&&"), marker("&[^ ]"), placeholder("%[0-9]+");
    const std::string unescaped = std::regex_replace(text, double_ampersand, "");
    std::string out = std::to_string(
        std::distance(std::sregex_iterator(unescaped.begin(), unescaped.end(), marker), std::sregex_iterator()));
    std::vector<std::string> found(std::sregex_token_iterator(text.begin(), text.end(), placeholder), {});
    std::ranges::sort(found);
    for (const auto& one : found) {
        out += " " + one;
    }
    return out;
}

TEST(Locale, EveryKeyTheModuleLooksUpHasAnEnglishTextAndNoOtherIsKept) {
    static const std::regex call(R"re(obs_module_text\(("([^"]*)"|const char\* key\))?)re");
    std::map<std::string, std::string> used;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(KELVARA_SOURCE_DIR) / "src")) {
        const std::string code = file_text(entry.path());
        for (std::sregex_iterator match(code.begin(), code.end(), call), end; match != end; ++match) {
            EXPECT_TRUE((*match)[1].matched) << entry.path().filename() << ": a key that is not a literal";
            if ((*match)[2].matched) {
                used[(*match)[2]];
            }
        }
    }
    auto english = read_locale(kLocales / "en-US.ini");
    std::ranges::for_each(english, [](auto& entry) { entry.second.clear(); });
    EXPECT_EQ(used, english);
}

TEST(Locale, TranslationsHaveTheEnglishKeysPlaceholdersAndMnemonics) {
    const auto english = read_locale(kLocales / "en-US.ini");
    ASSERT_FALSE(english.empty());
    for (const auto& entry : fs::directory_iterator(kLocales)) {
        auto texts = read_locale(entry.path());
        for (auto& [key, text] : texts) {
            EXPECT_FALSE(text.empty()) << entry.path().filename() << " " << key;
            text = shape(text);
        }
        auto expected = english;
        std::ranges::for_each(expected, [](auto& e) { e.second = shape(e.second); });
        EXPECT_EQ(texts, expected) << entry.path().filename();
    }
}

} // namespace
