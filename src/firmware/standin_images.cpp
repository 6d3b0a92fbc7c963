#include "firmware/standin_images.h"

#include <array>
#include <string>
#include <utility>

#include "firmware/loader_images.h"

namespace orvex::firmware {

namespace {
// Generated at configure time from resources/firmware.
#include "standin_images_data.inc"
} // namespace

std::string_view StandInLoaderResource(std::string_view key) {
    for (const auto& [k, text] : kResources)
        if (k == key)
            return text;
    return {};
}

LoaderImages StandInLoaderImages() {
    return {std::string(StandInLoaderResource("password.Text")),
            std::string(StandInLoaderResource("RAM_BSL.Text")),
            std::string(StandInLoaderResource("RAM_BSL_VERSION")),
            std::string(LoaderResource("Forced_BOR.Text"))};
}

} // namespace orvex::firmware
