// The module in a process without a Qt 6 application, as in an OBS Studio built on Qt 5: it must refuse to
// load, and say why in the host's log, before it registers anything.
#include <util/base.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> log_lines;

void keep_log_line(int, const char* format, va_list arguments, void*) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, arguments);
    log_lines.emplace_back(line);
}

TEST(ModuleLoad, RefusedWithoutAQtApplication) {
    base_set_log_handler(&keep_log_line, nullptr);
    void* module = dlopen(KELVARA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto* load = reinterpret_cast<bool (*)()>(dlsym(module, "obs_module_load"));
    ASSERT_NE(load, nullptr);
    EXPECT_FALSE(load());
    ASSERT_EQ(log_lines.size(), 1u);
    EXPECT_EQ(log_lines.front().rfind("[kelvara] Not loaded: this host runs no Qt 6 application", 0), 0u)
        << log_lines.front();
    base_set_log_handler(nullptr, nullptr);
}

} // namespace
