#pragma once

// Which serial numbers name one keypad. New firmware starts with
// OVX000000000, a keypad may report a blank one, and two attached keypads may
// report the same: none of these tells a keypad, so no password is kept or
// trusted under them and nothing is reopened by them beside another keypad.

#include <string>

namespace orvex::ops {

// The fresh-firmware serial number or a blank one.
bool SerialIdentifiesNobody(const std::string& serialNumber);

// How many attached keypads report this serial number in their status.
// Opens each in turn: the caller reopens its own keypad afterwards.
int KeypadsReportingSerial(const std::string& serialNumber);

// The serial number a password may be kept and trusted under: `serialNumber`
// when it names one keypad (`reporting` attached keypads report it, the one
// upgraded included when it runs), else "".
std::string PasswordSerial(const std::string& serialNumber, int reporting);

} // namespace orvex::ops
