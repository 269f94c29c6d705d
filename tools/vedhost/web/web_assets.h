// The page's files, built into vedhost from tools/vedhost/web/ (the build
// makes web_assets.cpp from them), so the host serves nothing from disk.
#pragma once

#include <cstddef>

namespace vedhost {

struct WebAsset {
    const char* path;  // "/index.html"
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace vedhost
