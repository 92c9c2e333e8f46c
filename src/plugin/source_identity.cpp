#include "plugin/source_identity.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <random>

namespace kelvara {
namespace {

constexpr const char* kKeptIdentityKey = "kelvara_source_uuid";

using GetUuid = const char* (*)(const obs_source_t*);

GetUuid host_uuid_function() {
    static const auto function = reinterpret_cast<GetUuid>(dlsym(RTLD_DEFAULT, "obs_source_get_uuid"));
    return function;
}

std::string random_uuid() {
    std::random_device device;
    std::uniform_int_distribution<unsigned> byte(0, 255);
    unsigned char bytes[16];
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(byte(device));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace

SourceIdentity::SourceIdentity(obs_source_t* source, obs_data_t* settings) {
    const std::string carried = obs_data_get_string(settings, kKeptIdentityKey);
    if (!carried.empty()) {
        lease_ = SnapshotLease::claim(carried, source, false);
        if (lease_) {
            value_ = carried; // also on a host that knows UUIDs: the snapshot carries this name
            kept_ = true;
            return;
        }
    }
    if (const GetUuid get_uuid = host_uuid_function()) {
        const char* uuid = get_uuid(source);
        value_ = uuid != nullptr ? uuid : "";
        if (!carried.empty()) {
            obs_data_erase(settings, kKeptIdentityKey); // a copy of another source's ID
        }
    } else {
        value_ = random_uuid();
        obs_data_set_string(settings, kKeptIdentityKey, value_.c_str());
        kept_ = true;
    }
    if (!value_.empty()) {
        lease_ = SnapshotLease::claim(value_, source, true);
    }
}

void SourceIdentity::restore_into(obs_data_t* settings) const {
    if (kept_ && settings != nullptr && !obs_data_has_user_value(settings, kKeptIdentityKey)) {
        obs_data_set_string(settings, kKeptIdentityKey, value_.c_str());
    }
}

} // namespace kelvara
