// The operator's texts: every key the module looks up has an English text, and every translation has exactly
// the English keys, with the same placeholders and mnemonic markers in each text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
const fs::path kLocales = fs::path(KELVARA_SOURCE_DIR) / "data" / "locale";

std::string file_text(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Key="Text" lines and # comments. libobs ends a text at its first quote, so none may hold one; none is empty.
std::map<std::string, std::string> read_locale(const fs::path& path) {
    static const std::regex line_form(R"re(([^=]+)="([^"]+)")re");
    std::map<std::string, std::string> texts;
    std::ifstream lines(path, std::ios::binary);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!line.empty() && line[0] != '#' && !std::regex_match(line, match, line_form)) {
            ADD_FAILURE() << path.filename() << ": " << line;
        } else if (!match.empty()) {
            EXPECT_TRUE(texts.emplace(match[1], match[2]).second) << path.filename() << " has " << match[1] << " twice";
        }
    }
    return texts;
}

// Each text as its mnemonic markers ('&' before a letter; "&&" shows one '&') and placeholders, sorted.
std::map<std::string, std::string> shapes(std::map<std::string, std::string> texts) {
    static const std::regex token("&&|(&)[^ ]|(%[0-9]+)");
    for (auto& [key, text] : texts) {
        std::multiset<std::string> found;
        for (std::sregex_iterator match(text.begin(), text.end(), token), end; match != end; ++match) {
            found.insert((*match)[1].str() + (*match)[2].str()); // "&", a placeholder, or "" for "&&"
        }
        found.erase("");
        text = std::accumulate(found.begin(), found.end(), std::string(),
                               [](auto all, auto& one) { return all + one + " "; });
    }
    return texts;
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
    const auto english = shapes(read_locale(kLocales / "en-US.ini"));
    ASSERT_FALSE(english.empty());
    for (const auto& entry : fs::directory_iterator(kLocales)) {
        EXPECT_EQ(shapes(read_locale(entry.path())), english) << entry.path().filename();
    }
}

} // namespace
