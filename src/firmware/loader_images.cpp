#include "firmware/loader_images.h"

#include <array>
#include <utility>

namespace orvex::firmware {

namespace {
// Generated at configure time from resources/firmware: kResources, an array
// of {key, text} pairs.
#include "loader_images_data.inc"
} // namespace

std::string_view LoaderResource(std::string_view key) {
    for (const auto& [k, text] : kResources)
        if (k == key)
            return text;
    return {};
}

std::vector<std::string_view> LoaderResourceKeys() {
    std::vector<std::string_view> keys;
    for (const auto& r : kResources)
        keys.push_back(r.first);
    return keys;
}

} // namespace orvex::firmware
