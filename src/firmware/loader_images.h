#pragma once

// The loader images and ids of the firmware upgrade, built into the program
// from resources/firmware so plain C++ code and tests can read them by key.

#include <string_view>
#include <vector>

namespace orvex::firmware {

// Keys: "VID", "PID", "password.Text", "RAM_BSL.Text", "RAM_BSL_VERSION",
// "Forced_BOR.Text". An unknown key gives an empty text.
std::string_view LoaderResource(std::string_view key);
std::vector<std::string_view> LoaderResourceKeys();

} // namespace orvex::firmware
