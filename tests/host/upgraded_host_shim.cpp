// Preloaded into a child process of the host tests, this stands in for a libobs that gives every source a
// UUID (29.1 and later): the module looks the function up at run time, and libobs 29.0 lacks it.
#include <obs.h>

#include <map>
#include <mutex>
#include <string>

extern "C" __attribute__((visibility("default"))) const char* obs_source_get_uuid(const obs_source_t* source) {
    static std::mutex mutex;
    static std::map<const obs_source_t*, std::string> uuids;
    std::lock_guard lock(mutex);
    std::string& uuid = uuids[source];
    if (uuid.empty()) {
        uuid = "upgraded-host-" + std::to_string(uuids.size());
    }
    return uuid.c_str();
}
