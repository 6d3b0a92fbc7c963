#pragma once

// The keypad as the kernel shows it, emulated with umockdev: a usb_device
// 2047:09BF with its strings, interface 0 (keyboard) and interface 1 (vendor
// commands), each with a hid device and a hidraw node, plus the hidraw ioctls
// hidapi asks. Interface 1 is carried by the virtual keypad's model; interface
// 0 takes reports and never answers.
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
#include <string>
#include <thread>
#include <vector>

#include "keypad_model.h"

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
    };

    explicit HidrawKeypad(Testbed& bed);
    ~HidrawKeypad();
    HidrawKeypad(const HidrawKeypad&) = delete;
    HidrawKeypad& operator=(const HidrawKeypad&) = delete;

    // The same model the virtual keypad runs. Its restart request unplugs the
    // keypad and plugs it back after the model's delay; EnterBootloader and an
    // unplug fault make it leave the bus (the loader is not carried here).
    sim::KeypadModel model;

    void setIdentity(const Identity& id);
    Identity identity() const;

    // Plug in now: nodes, ioctl handlers, sysfs entries, "add" uevents. As
    // after any power-up, the model takes its power-up settings.
    void plug();
    // Unplug now: "remove" uevents, sysfs entries gone, open handles dead.
    void unplug();
    bool present() const;

    // --- what tests inspect ---
    // Times a program opened (or tried to open) each interface's node, over
    // all plug-ins.
    int opens(int iface) const;
    // Reports written to interface 0 (the keyboard).
    int keyboardWrites() const;
    // Number of completed plug-ins.
    int plugCount() const;
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
    void plugLocked();
    void unplugLocked();
    void deliverInput();
    void pumpLoop();
    void schedule(uint64_t at, std::function<void()> task);
    void sendUevent(const SysDevice& d, const char* action);
    static std::vector<SysDevice> devicesOf(const Identity& id);
    static std::string devNode(int iface);

    Testbed& bed_;
    mutable std::recursive_mutex m_;
    Identity identity_;
    std::shared_ptr<Plugin> current_;
    std::vector<std::shared_ptr<Plugin>> retired_;
    int plugCount_ = 0;
    std::atomic<int> opens_[2] = {0, 0};
    std::atomic<int> keyboardWrites_{0};
    std::vector<unsigned long> unknownIoctls_;

    std::mutex inputMutex_;
    std::mutex pumpMutex_;
    std::condition_variable pumpWake_;
    std::vector<std::pair<uint64_t, std::function<void()>>> tasks_;
    bool stopping_ = false;
    std::thread pump_;
};

} // namespace orvex::systest
