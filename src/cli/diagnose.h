#pragma once

// Parts of the diagnosis report (`orvexctl diagnose`) that only look: the
// system, the devices present and their device nodes, the configuration file.
// None of them sends anything to a keypad or changes a file.

#include <string>

namespace orvex::cli {

// Program, Qt, hidapi and kernel versions.
std::string DiagnoseVersions(const std::string& program);

// Whether the udev rule is installed, and where.
std::string DiagnoseUdevRule();

// Every keypad and loader interface listed by hidapi, each with its device
// node: owner, group, mode and whether udev applied the rule's uaccess tag.
std::string DiagnoseDevices();

// The configuration file's path and whether it loads; never creates it.
std::string DiagnoseConfigFile(const std::string& dataHome);

// The journal of an upgrade that has not finished, if there is one.
std::string DiagnoseUpgradeJournal();

} // namespace orvex::cli
