#pragma once

// The stand-in loader images: a RAM loader with the layout and version of the
// real one that only the virtual keypad runs, and the virtual keypad's
// password. Linked only into the -virtual programs and the tests.

#include <string_view>

#include "firmware/loader_store.h"

namespace orvex::firmware {

// Keys: "password.Text", "RAM_BSL.Text", "RAM_BSL_VERSION".
std::string_view StandInLoaderResource(std::string_view key);
LoaderImages StandInLoaderImages();

} // namespace orvex::firmware
