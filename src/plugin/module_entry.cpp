// The module's exported surface: exactly the seven functions the host's module loader looks up.

#include "core/log.hpp"
#include "metadata/banner_input.hpp"
#include "plugin/source_type.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QStringList>
#include <QtCore/QThread>
#include <QtNetwork/QSslSocket>
#include <QtWidgets/QApplication>

#include <obs-module.h>

#include <dlfcn.h>

namespace {

obs_module_t* module_handle = nullptr;
lookup_t* locale_table = nullptr;

void log_to_host(kelvara::LogLevel level, const char* line) {
    switch (level) {
    case kelvara::LogLevel::error:
        blog(LOG_ERROR, "%s", line);
        return;
    case kelvara::LogLevel::warning:
        blog(LOG_WARNING, "%s", line);
        return;
    case kelvara::LogLevel::debug:
        blog(LOG_DEBUG, "%s", line);
        return;
    case kelvara::LogLevel::info:
        break;
    }
    blog(LOG_INFO, "%s", line);
}

// The TLS backends are Qt plug-ins; the module's own "qt-plugins" data folder must be searched before Qt is
// asked about TLS.
void add_module_qt_plugins() {
    char* path = obs_find_module_file(module_handle, "qt-plugins");
    if (path == nullptr) {
        return;
    }
    QCoreApplication::addLibraryPath(QString::fromUtf8(path));
    bfree(path);
}

void report_tls_support() {
    blog(LOG_INFO, "[kelvara] TLS support=%s active-backend=%s available-backends=%s runtime=%s",
         QSslSocket::supportsSsl() ? "yes" : "no", QSslSocket::activeBackend().toUtf8().constData(),
         QSslSocket::availableBackends().join(",").toUtf8().constData(),
         QSslSocket::sslLibraryVersionString().toUtf8().constData());
}

// libobs destroys sources on a thread of its own, so the last steps of a source's teardown are queued to the
// UI thread, and may run after the host unloaded its modules at shutdown. Keeping this library mapped until
// the process ends means such a call never jumps into unmapped code.
void keep_module_mapped() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&keep_module_mapped), &self) != 0 && self.dli_fname != nullptr) {
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

// Why this process cannot host the module, or null when it can. The module's dialogs need a Qt 6 widget
// application, and its network replies and queued calls need that application's event loop on the thread
// that loads modules. A Qt 5 build of OBS Studio loads this library beside its own Qt, where no Qt 6
// application exists; a host without a user interface has none either. A Qt older than the one the module
// was built with never gets here: the dynamic loader refuses the module for its Qt version tag.
const char* unserved_host_reason() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (qobject_cast<const QApplication*>(application) == nullptr) {
        return "this OBS Studio runs no Qt 6 application (a Qt 5 build, or a host without its user interface); "
               "use OBS Studio 30 or later, built on Qt 6";
    }
    if (QThread::currentThread() != application->thread()) {
        return "the host loads modules outside its Qt 6 user-interface thread; use OBS Studio 30 or later, built "
               "on Qt 6";
    }
    return nullptr;
}

} // namespace

obs_module_t* obs_current_module(void) {
    return module_handle;
}

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t* module) {
    module_handle = module;
}

// The version of the libobs headers the module is built with: hosts refuse modules newer than themselves.
MODULE_EXPORT uint32_t obs_module_ver(void) {
    return LIBOBS_API_VER;
}

MODULE_EXPORT void obs_module_set_locale(const char* locale) {
    if (locale_table != nullptr) {
        text_lookup_destroy(locale_table);
    }
    locale_table = obs_module_load_locale(module_handle, "en-US", locale);
}

MODULE_EXPORT void obs_module_free_locale(void) {
    text_lookup_destroy(locale_table);
    locale_table = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char* key, const char** out) {
    return text_lookup_getstr(locale_table, key, out);
}

// The operator's text for `key`, or the key itself when no locale file has it (as OBS's own modules do).
const char* obs_module_text(const char* key) {
    const char* text = key;
    if (locale_table != nullptr) {
        text_lookup_getstr(locale_table, key, &text);
    }
    return text;
}

MODULE_EXPORT const char* obs_module_description(void) {
    return "Native Kelvara banner source with explicit revision approval.";
}

// Refuses a host it cannot serve before anything of the module runs: no thread, timer or Qt object is made,
// and the host goes on without the source type.
MODULE_EXPORT bool obs_module_load(void) {
    if (const char* reason = unserved_host_reason()) {
        blog(LOG_ERROR, "[kelvara] Cannot load module: %s", reason);
        return false;
    }
    keep_module_mapped();
    kelvara::set_log_sink(log_to_host);
    add_module_qt_plugins();
    report_tls_support();
    kelvara::prepare_banner_input_patterns();
    obs_register_source(&kelvara::banner_source_info());
    return true;
}

} // extern "C"
