#pragma once

// The keypad as the kernel shows it, emulated with umockdev: a usb_device
// 2047:09BF with its strings, interface 0 (keyboard) and interface 1 (vendor
// commands), each with a hid device and a hidraw node, plus the hidraw ioctls
// hidapi asks. Interface 1 is carried by the virtual keypad's model; interface
// 0 takes reports and never answers.
//
// With its loader emulated (emulateLoader), EnterBootloader brings the keypad's
// MSP430 bootstrap loader onto the same USB port instead: 2047:0200 with one HID
// interface 0, carried by the virtual loader's model. Its restarts (RAM loader
// started, reset into the programmed image or back into the ROM loader) switch
// the device on the port as the chip would.
//
// A node is a FIFO in packet mode: the program's poll() and read() work on it
// for real (one report per read, real time-outs), while its writes and ioctls
// go through the testbed's ioctl socket to this process. Unplugging removes the
// sysfs entries and makes every open handle fail with ENODEV; plugging adds
// them again. Both are announced to libudev monitors as udevd would announce
// them, every property of the device included.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "keypad_model.h"
#include "loader_model.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace orvex::systest {

// Milliseconds on the harness's steady clock; the model's notion of "now".
uint64_t nowMs();

// A umockdev testbed: a private /sys and /dev for the programs started with
// its environment (programEnv()).
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    UMockdevTestbed* get() const { return bed_; }
    std::string rootDir() const { return root_; }

    // The environment that puts a program into the testbed: the umockdev
    // preload and the fstat() fix-up (`fstatShim`, a shared library path).
    std::map<std::string, std::string> programEnv(const std::string& fstatShim) const;

private:
    UMockdevTestbed* bed_ = nullptr;
    std::string root_;
};

// HOME and every XDG folder (homes, runtime folder, data and config search
// paths) under `base`, made; a program given them reads and writes nothing of
// the user running the tests.
std::map<std::string, std::string> UserFolders(const std::string& base);

// Whether a program started with the testbed's environment (and the fstat()
// fix-up `fstatShim`) sees the testbed's sysfs: false, with the reason, when
// umockdev cannot work on this machine.
bool UmockdevWorks(const std::string& fstatShim, std::string* why);

// One sysfs device: its path ("/sys/devices/..."), udev properties, text
// attributes, binary attributes (hex) and symlinks.
struct SysDevice {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    std::string path;
    Pairs props;
    Pairs attrs;
    Pairs binary;
    Pairs links;
    std::string prop(const std::string& name) const;
};

class HidrawKeypad {
public:
    // What one plug-in looks like on the bus.
    struct Identity {
        uint16_t vendorId = 0x2047;
        uint16_t productId = 0x09BF;
        std::string manufacturer = "Halden Interface";
        std::string product = "Orvex Illuminated Keypad";
        // Interfaces 0 and 1; false leaves interface 0 out.
        bool keyboardInterface = true;
        // Mode of the hidraw nodes; 0 makes them unopenable for a program
        // without CAP_DAC_OVERRIDE.
        mode_t nodeMode = 0666;
        // The bootstrap loader: interface 0 only, carried by `loader`.
        bool loader = false;
    };
    static Identity loaderIdentity();

    // `slot` picks the USB port (1-1, 1-2, ...) and the hidraw node numbers,
    // so several keypads can share one testbed.
    explicit HidrawKeypad(Testbed& bed, int slot = 0);
    ~HidrawKeypad();
    HidrawKeypad(const HidrawKeypad&) = delete;
    HidrawKeypad& operator=(const HidrawKeypad&) = delete;

    // The same model the virtual keypad runs. Its restart request unplugs the
    // keypad and plugs it back after the model's delay; an unplug fault makes
    // it leave the bus, and so does EnterBootloader unless the loader is
    // emulated.
    sim::KeypadModel model;
    // The keypad's bootstrap loader and its flash.
    sim::LoaderModel loader;

    // Delays of the switches on the port, in milliseconds.
    struct LoaderTiming {
        uint32_t romArrival = 500;        // EnterBootloader until the ROM loader is there
        uint32_t ramLoaderArrival = 1000; // Load PC 0x2504 until the RAM loader is there
        uint32_t keypadReturn = 1200;     // reset until the keypad runs the new image
    };
    // Set before the keypad is plugged.
    void emulateLoader();

    void setIdentity(const Identity& id);
    Identity identity() const;

    // Plug in now: nodes, ioctl handlers, sysfs entries, "add" uevents. As
    // after any power-up, the model takes its power-up settings.
    void plug();
    // Unplug now: "remove" uevents, sysfs entries gone, open handles dead.
    void unplug();
    bool present() const;
    // The keypad powered up with its PUR pin held high: its ROM loader
    // arrives whatever the flash holds (how a chip left dead by a reset into
    // garbage comes back).
    void powerUpWithPurPin();

    // --- what tests inspect ---
    // Times a program opened (or tried to open) each interface's node, over
    // all plug-ins.
    int opens(int iface) const;
    // Reports written to interface 0 (the keyboard).
    int keyboardWrites() const;
    // Times a program opened the loader's node, over all its plug-ins.
    int loaderOpens() const;
    // Number of completed plug-ins.
    int plugCount() const;
    // What arrived on the port, in order: "keypad", "ROM loader", "RAM loader";
    // "dead" when a reset left the chip running garbage.
    std::vector<std::string> arrivals() const;
    // Ioctl requests that were not understood (they fail with EINVAL).
    std::vector<unsigned long> unknownIoctls() const;

    // Called on the testbed's worker thread; public for the C callbacks only.
    struct Node;
    struct Plugin;
    bool onIoctl(Node& node, void* client);
    bool onRead(Node& node, void* client);
    bool onWrite(Node& node, void* client);
    void onConnected(Node& node);

private:
    void plugLocked(const Identity& id);
    // The device on the port leaves now and `next` arrives after `delayMs`.
    void switchTo(std::optional<Identity> next, uint32_t delayMs);
    void unplugLocked();
    void deliverInput();
    void pumpLoop();
    void schedule(uint64_t at, std::function<void()> task);
    void sendUevent(const SysDevice& d, const char* action);
    std::vector<SysDevice> devicesOf(const Identity& id) const;
    std::string devNode(int iface) const;
    // The sysfs name of its USB port: "1-1" for slot 0.
    std::string usbPortName() const { return "1-" + std::to_string(slot_ + 1); }
    static int commandInterface(const Identity& id) { return id.loader ? 0 : 1; }

    Testbed& bed_;
    const int slot_;
    mutable std::recursive_mutex m_;
    Identity identity_;
    std::shared_ptr<Plugin> current_;
    std::vector<std::shared_ptr<Plugin>> retired_;
    int plugCount_ = 0;
    std::vector<std::string> arrivals_;
    std::atomic<int> opens_[2] = {0, 0};
    std::atomic<int> keyboardWrites_{0};
    std::atomic<int> loaderOpens_{0};
    std::atomic<bool> loaderEmulated_{false};
    const LoaderTiming loaderTiming_{};
    std::vector<unsigned long> unknownIoctls_;

    std::mutex inputMutex_;
    std::mutex pumpMutex_;
    std::condition_variable pumpWake_;
    std::vector<std::pair<uint64_t, std::function<void()>>> tasks_;
    bool stopping_ = false;
    std::thread pump_;
};

} // namespace orvex::systest
