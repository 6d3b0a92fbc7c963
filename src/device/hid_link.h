#pragma once

// The keypad's command channel: discovery, the one process-wide handle and the
// framed 64-byte request/response exchange. Plain C++ over the hidapi C API.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <hidapi/hidapi.h>

namespace orvex {

inline constexpr int DEVICE_VENDOR_ID = 0x2047;
inline constexpr int DEVICE_PRODUCT_ID = 0x09BF;
inline constexpr int DEVICE_INTERFACE = 1;

inline constexpr size_t REPORT_SIZE = 64;
inline constexpr uint8_t REPORT_ID = 0x3F;
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t WAIT_MARKER = 0x06;
inline constexpr uint8_t REFUSAL_MARKER = 0x0F;

// Largest request payload that still leaves room for ETX and the checksum.
inline constexpr uint32_t MAX_REQUEST_PAYLOAD = REPORT_SIZE - 9;
// Largest data length n (result byte + payload) a response frame can carry
// inside one report: ETX at 7+n and the checksum at 8+n must stay below 64.
inline constexpr uint32_t MAX_RESPONSE_DATA = REPORT_SIZE - 9;
// Size of the response buffers callers pass.
inline constexpr uint32_t RESPONSE_CAPACITY = 64;
inline constexpr uint32_t EXCHANGE_TIMEOUT_MS = 5000;
inline constexpr uint32_t POLL_INTERVAL_MS = 10;
inline constexpr size_t SCAN_TEXT_SIZE = 48;

// Exchange results. Callers only test zero against non-zero.
inline constexpr int LINK_OK = 0;
inline constexpr int LINK_IO_ERROR = -1;
inline constexpr int LINK_TIMEOUT = -6;
inline constexpr int LINK_BAD_SIZE = -8;
inline constexpr int LINK_BAD_FRAME = -13;
inline constexpr int FRAME_INVALID = -2;

// The open keypad command interface, or null. Replaced only by the rescan
// sequence; closed for good only on exit.
extern hid_device* hid_handle;

// Serialises every exchange and every rescan on hid_handle: the self test sends
// from a worker thread while the windows send from the GUI thread.
std::recursive_mutex& link_mutex();

// Opens interface 1 of the first listed keypad with the given ids and fills the
// two 48-byte text buffers (manufacturer, product). Returns null and "None" in
// both buffers when no matching interface could be opened.
hid_device* ScanForUSBDevice_a(int vendorId, int productId, char* manufacturer, char* product);

// The command interfaces of the keypads present, in hidapi's order.
std::vector<std::string> KeypadCommandPaths();

// Closes the handle (if any) and shuts the HID library down. Leaves hid_handle
// alone; callers overwrite it or quit.
void hid_exit_safely(hid_device* handle);

// True when the last scan saw the keypad's command interface but could not
// open it (typically missing permissions on its device node).
bool LastScanFoundButCouldNotOpen();

// The rescan sequence without its warning: closes the old handle and opens the
// first keypad found. True when a keypad is open afterwards.
bool RescanQuietly();

// The rescan sequence: close the old handle, scan, and warn "not connected"
// when nothing was found. Returns true when a keypad is open afterwards.
bool RescanForDevice();

// Closes hid_handle for good (exit actions).
void CloseDevice();

char NibbleToHex(uint8_t nibble);
uint8_t HexToNibble(uint8_t digit);

// Builds the 64-byte request report. Returns false (and builds nothing) when the
// payload does not fit one report.
bool BuildRequestReport(uint8_t command, const uint8_t* payload, uint32_t length,
                        uint8_t report[REPORT_SIZE]);

// Validates a response frame starting at report offset 2 and copies its payload
// (at most 62 bytes) to `out`. Returns 0 or FRAME_INVALID.
int ParseResponseFrame(const uint8_t report[REPORT_SIZE], uint8_t* out, uint32_t* outLength);

// One request/response exchange. See LINK_* for the results. `response` must
// hold 62 bytes; `capacity` is accepted for the callers' sake only. Reports
// already waiting are dropped before the request goes out, and frames carrying
// another command are passed over: both are late answers to earlier exchanges.
int USBEncoderSendAndReceive_a(hid_device* handle, uint8_t command, const uint8_t* payload,
                               uint32_t length, uint8_t* response, uint32_t capacity,
                               uint32_t* responseLength, uint32_t timeoutMs);

} // namespace orvex
