#pragma once

#include "banner_catalog.hpp"

#include <filesystem>

namespace kelvara::standin {

// Reads banners into the catalog from a JSON description (or a folder holding banners.json):
//   {"banners": {"<id>": {"status": "available",
//                         "revisions": [{"renderRevision": 1, "latestPaintingSequence": 10, "paidArtwork": false,
//                                        "filterChange": false, "moderation": false, "png": "one.png"}]}}}
// PNG paths are relative to the description's folder. Throws std::runtime_error on a bad description.
void load_banner_description(const std::filesystem::path& path, BannerCatalog& catalog);

} // namespace kelvara::standin
