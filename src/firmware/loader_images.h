#pragma once

// Our own loader resources, built into every program so plain C++ code and
// tests can read them by key.

#include <string_view>
#include <vector>

namespace orvex::firmware {

// Keys: "VID", "PID", "Forced_BOR.Text". An unknown key gives an empty text.
std::string_view LoaderResource(std::string_view key);
std::vector<std::string_view> LoaderResourceKeys();

} // namespace orvex::firmware
