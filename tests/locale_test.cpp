// The operator's texts: every key the module looks up has an English text, and every translation has exactly
// the English keys, with the same placeholders and mnemonic markers in each text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Texts = std::map<std::string, std::string>;

const fs::path kLocales = fs::path(KELVARA_SOURCE_DIR) / "data" / "locale";

std::string file_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Key="Text" lines and # comments. libobs ends a text at its first unescaped quote, so none may hold one.
Texts read_locale(const fs::path& path) {
    Texts texts;
    std::istringstream lines(file_text(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto equals = line.find("=\"");
        const bool quoted = equals != std::string::npos && line.size() > equals + 2 && line.back() == '"' &&
                            line.find('"', equals + 2) == line.size() - 1;
        EXPECT_TRUE(quoted) << path.filename() << ": " << line;
        if (quoted &&
            !texts.emplace(line.substr(0, equals), line.substr(equals + 2, line.size() - equals - 3)).second) {
            ADD_FAILURE() << path.filename() << " has " << line.substr(0, equals) << " twice";
        }
    }
    return texts;
}

// The keys of every obs_module_text call under src/; each call must name its key as a literal.
std::set<std::string> keys_in_code() {
    const std::regex call(R"re(obs_module_text\(("([^"]*)"|const char\* key\))?)re");
    std::set<std::string> keys;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(KELVARA_SOURCE_DIR) / "src")) {
        const std::string code = file_text(entry.path());
        for (auto match = std::sregex_iterator(code.begin(), code.end(), call); match != std::sregex_iterator();
             ++match) {
            EXPECT_TRUE((*match)[1].matched) << entry.path().filename() << ": a key that is not a literal";
            if ((*match)[2].matched) {
                keys.insert((*match)[2].str());
            }
        }
    }
    return keys;
}

std::vector<std::string> placeholders(const std::string& text) {
    const std::regex placeholder("%[0-9]+");
    std::vector<std::string> found(std::sregex_token_iterator(text.begin(), text.end(), placeholder), {});
    std::ranges::sort(found);
    return found;
}

// '&' before a letter marks a mnemonic; "&&" shows one '&', and so does an '&' before a space.
int mnemonic_markers(const std::string& text) {
    int markers = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '&' && text[i + 1] == '&') {
            ++i;
        } else if (text[i] == '&' && text[i + 1] != ' ') {
            ++markers;
        }
    }
    return markers;
}

TEST(Locale, EveryKeyTheModuleLooksUpHasAnEnglishTextAndNoOtherIsKept) {
    std::set<std::string> english;
    for (const auto& [key, text] : read_locale(kLocales / "en-US.ini")) {
        english.insert(key);
    }
    EXPECT_EQ(keys_in_code(), english);
}

TEST(Locale, TranslationsHaveTheEnglishKeysPlaceholdersAndMnemonics) {
    const Texts english = read_locale(kLocales / "en-US.ini");
    ASSERT_FALSE(english.empty());
    for (const auto& entry : fs::directory_iterator(kLocales)) {
        const std::string locale = entry.path().stem().string();
        const Texts texts = read_locale(entry.path());
        for (const auto& [key, text] : english) {
            const auto translated = texts.find(key);
            if (translated == texts.end()) {
                ADD_FAILURE() << locale << " has no " << key;
                continue;
            }
            EXPECT_FALSE(translated->second.empty()) << locale << " " << key;
            EXPECT_EQ(placeholders(translated->second), placeholders(text)) << locale << " " << key;
            EXPECT_EQ(mnemonic_markers(translated->second), mnemonic_markers(text)) << locale << " " << key;
        }
        EXPECT_EQ(texts.size(), english.size()) << locale << " has keys that en-US.ini does not have";
    }
}

} // namespace
