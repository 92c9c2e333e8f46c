#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kelvara::test {

#ifdef _WIN32
// No mkdtemp on Windows: a random name in the user's temporary folder that create_directory reports as new
// is ours alone.
inline std::filesystem::path make_temp_dir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / ("kelvara-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            return candidate;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}
#else
inline std::filesystem::path make_temp_dir() {
    std::string pattern = "/tmp/kelvara-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}
#endif

// A fresh directory under /tmp (the user's temporary folder on Windows), removed with everything in it at
// the end of the scope.
class TempDir {
public:
    TempDir() : path_(make_temp_dir()) {}
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

} // namespace kelvara::test
