#pragma once

// The loader library: counts, opens and drives the MSP430 USB bootstrap loader
// (0x2047:0x0200) over the hidapi C API, reads TI-TXT images and reports device
// changes. Plain C++, no Qt. Like the device link, it talks to whichever hidapi
// the executable links, and it needs one device-change notifier backend
// (orvex_bsl_notifier_udev, or orvex_sim for the virtual bus).
//
// One loader connection and one open TI-TXT file per process, as the firmware
// upgrade uses them; calls are serialised internally. Results: 0 is success
// unless a function says otherwise; other values are a loader message code
// (1..8, see bsl_protocol.h) or one of the BSL_ERR_ codes below.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvex {

// A run of image bytes for consecutive addresses.
struct DataBlock_ {
    uint8_t data[10240];
    uint32_t byteCount;    // valid bytes in data
    uint32_t startAddress; // address of data[0]
};
static_assert(sizeof(DataBlock_) == 10248);

// The last packet received from the loader, laid out as the loader's serial
// framing so the offsets do not depend on the transport:
//   data[0]  0x00 (a packet was received)
//   data[1]  0x80 (header)
//   data[2]  NL, data[3] NH: length of the core packet
//   data[4]  0x3A (data follows) or 0x3B (message follows)
//   data[5]  first data byte or the message code; a CRC reply has its low
//            byte in data[5] and its high byte in data[6]
// length counts the valid bytes of data; all zero when nothing was received.
struct dataBuffer {
    uint8_t data[256];
    uint32_t length;
};
static_assert(sizeof(dataBuffer) == 260);

inline constexpr uint8_t BSL_ERR_IO = 0xF0;        // write or read failed (device gone)
inline constexpr uint8_t BSL_ERR_TIMEOUT = 0xF1;   // no reply in time
inline constexpr uint8_t BSL_ERR_REPLY = 0xF2;     // reply of the wrong kind or size
inline constexpr uint8_t BSL_ERR_NOT_OPEN = 0xF3;  // no loader connection
inline constexpr uint8_t BSL_ERR_ARGUMENT = 0xF4;  // refused before sending anything
inline constexpr uint8_t BSL_ERR_TEXT = 0xF5;      // TI-TXT text or file not usable
inline constexpr int32_t BSL_FILE_NOT_OPENED = -2; // BSL_openTI_TextForRead failure

// Device-change events handed to the registered callback.
inline constexpr uint32_t BSL_DEVICE_ARRIVAL = 0x8000;
inline constexpr uint32_t BSL_DEVICE_REMOVE_COMPLETE = 0x8004;

// Called with BSL_DEVICE_ARRIVAL or BSL_DEVICE_REMOVE_COMPLETE when a loader
// device (0x2047:0x0200) comes or goes. It runs on a notifier thread or on
// whichever thread drives the virtual bus, never under the library's lock:
// keep it short and hand the event to the GUI thread (a queued signal).
using BSL_DeviceChangeCallback = std::function<void(uint32_t event)>;

// 0 when events will be delivered to `callback` (replacing an earlier one);
// 1 when the system refused or the callback is empty.
uint8_t BSL_RegisterUSBDeviceNotification(BSL_DeviceChangeCallback callback);
// Stops the events; once it returns the callback is not called any more. Not
// to be called from inside the callback.
void BSL_UnRegisterUSBDeviceNotification();

// Number of attached HID devices with these ids (0 on any failure). A device
// with several HID interfaces counts once.
uint32_t BSL_NumOfUSBDevices(uint16_t vendorId, uint16_t productId);

// Family 3 (F5xx/F6xx with USB) and interface 2 (USB HID) are the only ones
// supported; BSL_initialize_BSL refuses any other setting.
void BSL_setFamily(int family);
void BSL_setCom(int com);

// Opens the loader named by a selection text such as
// "PID=0x0200,VID=0x2047,DEVICEINDEX=0" (keys in any order and case; ids in
// hex, the index in decimal). An optional "PORT=1-2" counts only the loaders
// on that USB port (see bsl::UsbPortOfHidPath). Waits briefly for a loader that is still
// enumerating. Returns 0 when connected, 1 when no loader could be opened or
// the text is malformed. Closes any earlier connection first.
uint8_t BSL_initialize_BSL(const char* selection);
void BSL_close_BSL();

// The first block (at most maxBytes) of a TI-TXT text in memory; byteCount 0
// when the text is malformed or empty. The text ends at "q", at a NUL byte or
// at the end of the view, whichever comes first, so a fixed buffer without a
// terminating zero is safe to pass whole.
DataBlock_ BSL_readTI_Text(std::string_view text, int maxBytes);

// 32 bytes of 0xFF for 0xFFE0: the password of an erased device.
DataBlock_ BSL_getDefaultPass();

// Sends the first 32 bytes of the block as the password. 0 = accepted; a
// rejected password makes the loader mass-erase the device (MSG_PASSWORD_ERROR).
// A block that does not hold exactly 32 bytes is refused without sending
// (BSL_ERR_ARGUMENT), so a broken password image cannot erase the device.
uint8_t BSL_RX_Password(const DataBlock_& password);

// Writes every byte of a TI-TXT text in memory (text as in BSL_readTI_Text).
// fast = 1: RX Data Block Fast, no replies (what the ROM loader accepts); 0:
// RX Data Block, each packet acknowledged. Packets carry up to 58 bytes. A
// malformed text is refused before anything is sent (BSL_ERR_TEXT).
uint32_t BSL_RX_TXT(std::string_view text, int fast);
// The same for a TI-TXT file.
uint32_t BSL_RX_TXT_File(const char* path, int fast);

// Jumps to the address (0x2504 starts the RAM loader). No reply is read.
uint8_t BSL_LoadPC(uint32_t address);

// The loader version as "Maker:0xVV CI:0xCC API:0xAA PI:0xPP", two hex digits
// each: positions 16-17 hold the command interpreter version, 25-26 the API
// version and 33-34 the peripheral interface. "ERROR" on any failure.
std::string BSL_TX_BSL_Version_String();

// Erases the flash segment that holds the address.
uint8_t BSL_eraseSegment(uint32_t address);

// Asks the loader for the CRC of `length` bytes from `address`. 0 when it
// replied with a CRC; the reply is then in BSL_get_RX_Buffer().
uint8_t BSL_CRC_Check(uint32_t address, uint32_t length);
dataBuffer BSL_get_RX_Buffer();

// TI-TXT file reader. Opening reads and checks the whole file: -2 when it
// cannot be opened or is not a valid TI-TXT image (see bsl::LastTextError()),
// else 0. Blocks come in file order, contiguous sections joined; a block never
// exceeds the size asked for (clamped to 1..10240) and never crosses an address
// that is a multiple of it, so 512-byte blocks never straddle a flash segment.
int32_t BSL_openTI_TextForRead(const char* path);
// The same reader over a file's bytes already in memory (read once by the
// caller, so what is checked, sent and verified is one and the same text).
// The bytes are copied; -2 when they are not a valid TI-TXT image.
int32_t BSL_openTI_TextForReadFromMemory(std::string_view fileBytes);
int32_t BSL_moreDataToRead_TextFile(); // non-zero while blocks remain
DataBlock_ BSL_readTI_TextFile(int maxBytes);
void BSL_closeTI_Text();

namespace bsl {
// Number of attached devices with these ids on one USB port (all of them when
// the port is "").
uint32_t CountDevicesOnPort(uint16_t vendorId, uint16_t productId, const std::string& port);
// Why the last TI-TXT text or file was refused ("" when it was not).
std::string LastTextError();
} // namespace bsl

} // namespace orvex
