#include "hidraw_keypad.h"

#include "child_process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace orvex::systest {

namespace {

// Vendor page 0xFF00, report id 0x3F, 63-byte input and output reports: the
// command channel as hidapi sees it (report id first in every buffer).
const uint8_t kVendorDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x3F,       //   Report ID (0x3F)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x3F,       //   Report Count (63)
    0x09, 0x01,       //   Usage (1)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x09, 0x01,       //   Usage (1)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xC0,             // End Collection
};

// Boot keyboard: modifiers, reserved byte, six key codes.
const uint8_t kKeyboardDescriptor[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x05, 0x07, 0x19, 0x00,
    0x2A, 0xFF, 0x00, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x06, 0x81, 0x00, 0xC0,
};

constexpr const char* kUsbHostPath = "/devices/pci0000:00/0000:00:14.0/usb1/";

std::string hex(const uint8_t* data, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        s += b;
    }
    return s;
}

std::string fmt(const char* f, unsigned a) {
    char b[32];
    std::snprintf(b, sizeof b, f, a);
    return b;
}

} // namespace

uint64_t nowMs() {
    static const auto start = std::chrono::steady_clock::now();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
}

// ---------------------------------------------------------------- Testbed

std::map<std::string, std::string> UserFolders(const std::string& base) {
    std::map<std::string, std::string> folders = {
        {"HOME", base + "/home"},
        {"XDG_DATA_HOME", base + "/data"},
        {"XDG_CONFIG_HOME", base + "/config"},
        {"XDG_STATE_HOME", base + "/state"},
        {"XDG_CACHE_HOME", base + "/cache"},
        {"XDG_RUNTIME_DIR", base + "/run"},
        {"XDG_DATA_DIRS", base + "/system-data"},
        {"XDG_CONFIG_DIRS", base + "/system-config"},
    };
    std::error_code ec;
    for (const auto& [name, folder] : folders)
        std::filesystem::create_directories(folder, ec);
    std::filesystem::permissions(base + "/run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    return folders;
}

Testbed::Testbed() {
    bed_ = umockdev_testbed_new();
    if (!bed_)
        throw std::runtime_error("umockdev_testbed_new failed");
    char* root = umockdev_testbed_get_root_dir(bed_);
    root_ = root;
    g_free(root);
}

std::map<std::string, std::string> Testbed::programEnv(const std::string& fstatShim) const {
    std::map<std::string, std::string> env = {
        {"UMOCKDEV_DIR", root_}, {"LD_PRELOAD", "libumockdev-preload.so.0:" + fstatShim}};
    // A home and XDG folders of this testbed's own: a program under test
    // never writes its journal, lock or settings where the person running
    // the tests, or a test running beside this one, keeps theirs.
    for (const auto& [name, folder] : UserFolders(root_ + "/user"))
        env[name] = folder;
    // A sanitizer build's runtime would insist on coming first in the list.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "") +
                          "verify_asan_link_order=0";
    return env;
}

Testbed::~Testbed() {
    // Removes the testbed's directory.
    g_object_unref(bed_);
}

// Whether a program started with the testbed's environment sees the testbed's
// sysfs: false (with the reason) when umockdev cannot work on this machine.
bool UmockdevWorks(const std::string& fstatShim, std::string* why) {
    Testbed bed;
    g_free(umockdev_testbed_add_device(bed.get(), "platform", "orvex-probe", nullptr, "idVendor",
                                       "2047", nullptr, nullptr));
    const std::string out = bed.rootDir() + "/probe.out";
    ChildProcess cat;
    ChildProcess::Options o;
    o.argv = {"/bin/cat", "/sys/devices/orvex-probe/idVendor"};
    o.env = bed.programEnv(fstatShim);
    o.logFile = out;
    if (!cat.start(o, why))
        return false;
    const int rc = cat.waitExit(10000);
    std::ifstream in(out);
    std::stringstream s;
    s << in.rdbuf();
    if (rc == 0 && s.str().rfind("2047", 0) == 0)
        return true;
    *why = "a program under libumockdev-preload does not see the emulated /sys (exit " +
           std::to_string(rc) + "): " + s.str();
    return false;
}

// ---------------------------------------------------------------- nodes

struct HidrawKeypad::Node {
    HidrawKeypad* owner = nullptr;
    int iface = 0;
    bool commands = false; // the interface the model answers
    bool loader = false;   // carried by the loader model
    std::string devnode;   // "/dev/hidrawN" as the program sees it
    std::string fifoPath;  // the FIFO inside the testbed
    int fd = -1;           // our end of the FIFO
    UMockdevIoctlBase* handler = nullptr;
    std::atomic<bool> alive{true};
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    const uint8_t* descriptor = nullptr;
    size_t descriptorSize = 0;
};

struct HidrawKeypad::Plugin {
    Identity id;
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<SysDevice> devices; // parents first
    Node* node(int iface) {
        for (auto& n : nodes)
            if (n->iface == iface)
                return n.get();
        return nullptr;
    }
};

namespace {

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    auto* n = static_cast<HidrawKeypad::Node*>(node);
    return n->owner->onIoctl(*n, client);
}

gboolean handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    auto* n = static_cast<HidrawKeypad::Node*>(node);
    return n->owner->onRead(*n, client);
}

gboolean handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    auto* n = static_cast<HidrawKeypad::Node*>(node);
    return n->owner->onWrite(*n, client);
}

void clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer node) {
    auto* n = static_cast<HidrawKeypad::Node*>(node);
    n->owner->onConnected(*n);
}

} // namespace

// ---------------------------------------------------------------- keypad

HidrawKeypad::HidrawKeypad(Testbed& bed, int slot) : bed_(bed), slot_(slot) {
    sim::KeypadModel::Hooks hooks;
    hooks.restart = [this](uint32_t delayMs) {
        // Called from within a write; the bus changes happen on the pump thread.
        const uint64_t t = nowMs();
        schedule(t, [this] { unplug(); });
        schedule(t + delayMs, [this] { plug(); });
    };
    hooks.unplug = [this] { schedule(nowMs(), [this] { unplug(); }); };
    hooks.enterBootloader = [this] {
        if (loaderEmulated_) {
            loader.enterRom();
            switchTo(loaderIdentity(), loaderTiming_.romArrival);
        } else {
            schedule(nowMs(), [this] { unplug(); });
        }
    };
    model.setHooks(std::move(hooks));

    sim::LoaderModel::Hooks loaderHooks;
    loaderHooks.startRamLoader = [this] {
        switchTo(loaderIdentity(), loaderTiming_.ramLoaderArrival);
    };
    loaderHooks.restartRom = [this] { switchTo(loaderIdentity(), loaderTiming_.romArrival); };
    loaderHooks.bootApplication = [this] {
        // The keypad's firmware reports the version the image carries.
        const std::string version = loader.imageVersion();
        if (!version.empty())
            model.setVersion(version);
        switchTo(identity(), loaderTiming_.keypadReturn);
    };
    loaderHooks.die = [this] {
        {
            std::lock_guard lock(m_);
            arrivals_.push_back("dead");
        }
        switchTo(std::nullopt, 0);
    };
    loaderHooks.dropOff = [this](uint32_t returnAfterMs) {
        switchTo(returnAfterMs == std::numeric_limits<uint32_t>::max()
                     ? std::nullopt
                     : std::optional<Identity>(loaderIdentity()),
                 returnAfterMs);
    };
    loader.setHooks(std::move(loaderHooks));
    pump_ = std::thread([this] { pumpLoop(); });
}

HidrawKeypad::~HidrawKeypad() {
    {
        std::lock_guard lock(pumpMutex_);
        stopping_ = true;
    }
    pumpWake_.notify_all();
    pump_.join();
    std::lock_guard lock(m_);
    if (current_)
        unplugLocked();
    for (auto& p : retired_) {
        for (auto& n : p->nodes) {
            if (n->handler) {
                g_signal_handlers_disconnect_by_data(n->handler, n.get());
                g_object_unref(n->handler);
                n->handler = nullptr;
            }
            if (n->fd >= 0)
                close(n->fd);
            n->fd = -1;
        }
    }
}

HidrawKeypad::Identity HidrawKeypad::loaderIdentity() {
    Identity id;
    id.productId = 0x0200;
    id.manufacturer = "Texas Instruments";
    id.product = "MSP430 USB BSL";
    id.keyboardInterface = false;
    id.loader = true;
    return id;
}

void HidrawKeypad::emulateLoader() {
    loaderEmulated_ = true;
}

// Called from within a write: the device stops answering at once (a program
// writing again sees it gone), the bus changes happen on the pump thread.
void HidrawKeypad::switchTo(std::optional<Identity> next, uint32_t delayMs) {
    {
        std::lock_guard lock(m_);
        if (current_)
            for (auto& n : current_->nodes)
                n->alive = false;
    }
    const uint64_t t = nowMs();
    schedule(t, [this] { unplug(); });
    if (next)
        schedule(t + delayMs, [this, id = *next] {
            std::lock_guard lock(m_);
            if (!current_)
                plugLocked(id);
        });
}

void HidrawKeypad::powerUpWithPurPin() {
    loader.forceRomLoader();
    switchTo(loaderIdentity(), loaderTiming_.romArrival);
}

void HidrawKeypad::setIdentity(const Identity& id) {
    std::lock_guard lock(m_);
    identity_ = id;
}

HidrawKeypad::Identity HidrawKeypad::identity() const {
    std::lock_guard lock(m_);
    return identity_;
}

bool HidrawKeypad::present() const {
    std::lock_guard lock(m_);
    return current_ != nullptr;
}

int HidrawKeypad::opens(int iface) const {
    return iface == 0 || iface == 1 ? opens_[iface].load() : 0;
}

int HidrawKeypad::keyboardWrites() const {
    return keyboardWrites_.load();
}

int HidrawKeypad::loaderOpens() const {
    return loaderOpens_.load();
}

int HidrawKeypad::plugCount() const {
    std::lock_guard lock(m_);
    return plugCount_;
}

std::vector<std::string> HidrawKeypad::arrivals() const {
    std::lock_guard lock(m_);
    return arrivals_;
}

std::vector<unsigned long> HidrawKeypad::unknownIoctls() const {
    std::lock_guard lock(m_);
    return unknownIoctls_;
}

std::string HidrawKeypad::devNode(int iface) const {
    // Two nodes per slot; interface 0 first (probed first, as the kernel does).
    return "/dev/hidraw" + std::to_string(2 * slot_ + iface);
}

std::vector<SysDevice> HidrawKeypad::devicesOf(const Identity& id) const {
    const std::string port = usbPortName();
    const std::string usb = std::string("/sys") + kUsbHostPath + port;
    const std::string vid = fmt("%04X", id.vendorId);
    const std::string pid = fmt("%04X", id.productId);
    std::vector<SysDevice> list;

    SysDevice dev;
    dev.path = usb;
    dev.props = {{"DEVTYPE", "usb_device"},
                 {"DRIVER", "usb"},
                 {"PRODUCT", fmt("%x", id.vendorId) + "/" + fmt("%x", id.productId) + "/100"},
                 {"TYPE", "0/0/0"},
                 {"BUSNUM", "001"},
                 {"DEVNUM", fmt("%03u", static_cast<unsigned>(2 + slot_))},
                 {"SUBSYSTEM", "usb"}};
    dev.attrs = {{"idVendor", fmt("%04x", id.vendorId)},
                 {"idProduct", fmt("%04x", id.productId)},
                 {"bcdDevice", "0100"},
                 {"manufacturer", id.manufacturer},
                 {"product", id.product},
                 {"busnum", "1"},
                 {"devnum", std::to_string(2 + slot_)}};
    list.push_back(dev);

    const int commandIface = commandInterface(id);
    for (int iface = id.keyboardInterface ? 0 : commandIface; iface <= commandIface; ++iface) {
        const std::string n = std::to_string(iface);
        const std::string node = std::to_string(2 * slot_ + iface);
        const bool commands = iface == commandIface;
        const std::string hidName = "0003:" + vid + ":" + pid + "." +
                                    fmt("%04X", static_cast<unsigned>(2 * slot_ + iface + 1));
        SysDevice intf;
        intf.path = usb + "/" + port + ":1." + n;
        intf.props = {{"DEVTYPE", "usb_interface"},
                      {"DRIVER", "usbhid"},
                      {"PRODUCT", dev.props[2].second},
                      {"INTERFACE", commands ? "3/0/0" : "3/1/1"},
                      {"SUBSYSTEM", "usb"}};
        intf.attrs = {{"bInterfaceNumber", "0" + n}, {"bInterfaceClass", "03"}};
        list.push_back(intf);

        SysDevice hid;
        hid.path = intf.path + "/" + hidName;
        hid.props = {{"DRIVER", "hid-generic"},
                     {"HID_ID", "0003:0000" + vid + ":0000" + pid},
                     {"HID_NAME", id.manufacturer + " " + id.product},
                     {"HID_PHYS", "usb-0000:00:14.0-" + std::to_string(slot_ + 1) + "/input" + n},
                     {"HID_UNIQ", ""},
                     {"MODALIAS", "hid:b0003g0001v0000" + vid + "p0000" + pid},
                     {"SUBSYSTEM", "hid"}};
        hid.binary = {
            {"report_descriptor", commands ? hex(kVendorDescriptor, sizeof kVendorDescriptor)
                                           : hex(kKeyboardDescriptor, sizeof kKeyboardDescriptor)}};
        list.push_back(hid);

        SysDevice raw;
        raw.path = hid.path + "/hidraw/hidraw" + node;
        raw.props = {{"DEVNAME", "/dev/hidraw" + node},
                     {"MAJOR", "241"},
                     {"MINOR", node},
                     {"SUBSYSTEM", "hidraw"}};
        raw.attrs = {{"dev", "241:" + node}};
        raw.links = {{"device", "../../../" + hidName}};
        list.push_back(raw);
    }
    return list;
}

std::string SysDevice::prop(const std::string& name) const {
    for (const auto& [k, v] : props)
        if (k == name)
            return v;
    return {};
}

namespace {

// The text umockdev-record writes: one paragraph per device.
std::string record(const std::vector<SysDevice>& devices) {
    std::string s;
    for (const SysDevice& d : devices) {
        s += "P: " + d.path.substr(4) + "\n";
        for (const auto& [k, v] : d.props)
            s += "E: " + k + "=" + v + "\n";
        for (const auto& [k, v] : d.attrs)
            s += "A: " + k + "=" + v + "\n";
        for (const auto& [k, v] : d.binary)
            s += "H: " + k + "=" + v + "\n";
        for (const auto& [k, v] : d.links)
            s += "L: " + k + "=" + v + "\n";
        s += "\n";
    }
    return s;
}

// MurmurHash2 with seed 0, as libudev hashes the subsystem and device type
// for the socket filters of its monitors.
uint32_t udevHash(const std::string& text) {
    const uint32_t m = 0x5bd1e995;
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    size_t len = text.size();
    uint32_t h = static_cast<uint32_t>(len);
    while (len >= 4) {
        uint32_t k;
        std::memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        len -= 4;
    }
    switch (len) {
    case 3:
        h ^= static_cast<uint32_t>(data[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= static_cast<uint32_t>(data[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// Header of a message from udevd to libudev monitors.
struct UdevMonitorHeader {
    char prefix[8];
    uint32_t magic;
    uint32_t headerSize;
    uint32_t propertiesOff;
    uint32_t propertiesLen;
    uint32_t subsystemHash;
    uint32_t devtypeHash;
    uint32_t tagBloomHi;
    uint32_t tagBloomLo;
};

} // namespace

// Sends an event, as udevd would after processing it, to every libudev monitor
// of the programs in the testbed (the umockdev preload turns their netlink
// sockets into <root>/eventN). The event carries every property of the
// device, as real udev events do; a removal's PRODUCT among them.
void HidrawKeypad::sendUevent(const SysDevice& d, const char* action) {
    static std::atomic<unsigned long long> seqnum{1};
    std::string props;
    auto add = [&](const std::string& k, const std::string& v) {
        props += k + "=" + v;
        props.push_back('\0');
    };
    add("ACTION", action);
    add("DEVPATH", d.path.substr(4));
    add("SEQNUM", std::to_string(seqnum++));
    for (const auto& [k, v] : d.props)
        add(k, v);

    UdevMonitorHeader h{};
    std::memcpy(h.prefix, "libudev", 8);
    h.magic = htonl(0xfeedcafe);
    h.headerSize = sizeof h;
    h.propertiesOff = sizeof h;
    h.propertiesLen = static_cast<uint32_t>(props.size());
    h.subsystemHash = htonl(udevHash(d.prop("SUBSYSTEM")));
    const std::string devtype = d.prop("DEVTYPE");
    h.devtypeHash = devtype.empty() ? 0 : htonl(udevHash(devtype));
    iovec iov[2] = {{&h, sizeof h}, {props.data(), props.size()}};

    glob_t gl{};
    const std::string pattern = bed_.rootDir() + "/event[0-9]*";
    if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &gl) == 0) {
        for (size_t i = 0; i < gl.gl_pathc; ++i) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", gl.gl_pathv[i]);
            const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                continue;
            msghdr msg{};
            msg.msg_name = &addr;
            msg.msg_namelen = sizeof addr;
            msg.msg_iov = iov;
            msg.msg_iovlen = 2;
            if (sendmsg(fd, &msg, 0) < 0 && errno == ECONNREFUSED)
                unlink(addr.sun_path); // that monitor is gone
            close(fd);
        }
    }
    globfree(&gl);
}

void HidrawKeypad::plug() {
    std::lock_guard lock(m_);
    if (!current_)
        plugLocked(identity_);
}

void HidrawKeypad::unplug() {
    std::lock_guard lock(m_);
    if (current_)
        unplugLocked();
}

void HidrawKeypad::plugLocked(const Identity& id) {
    auto p = std::make_shared<Plugin>();
    p->id = id;
    p->devices = devicesOf(p->id);
    const std::string root = bed_.rootDir();

    // Nodes and handlers first, sysfs last: a program that sees the hidraw
    // entry can open it at once.
    std::string err;
    const int commandIface = commandInterface(p->id);
    for (int iface = p->id.keyboardInterface ? 0 : commandIface; iface <= commandIface; ++iface) {
        auto n = std::make_unique<Node>();
        n->owner = this;
        n->iface = iface;
        n->commands = iface == commandIface;
        n->loader = p->id.loader;
        n->devnode = devNode(iface);
        n->fifoPath = root + n->devnode;
        n->vendorId = p->id.vendorId;
        n->productId = p->id.productId;
        n->descriptor = n->commands ? kVendorDescriptor : kKeyboardDescriptor;
        n->descriptorSize = n->commands ? sizeof kVendorDescriptor : sizeof kKeyboardDescriptor;

        g_mkdir_with_parents((root + "/dev").c_str(), 0755);
        unlink(n->fifoPath.c_str());
        if (mkfifo(n->fifoPath.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo " + n->fifoPath + ": " + std::strerror(errno));
        chmod(n->fifoPath.c_str(), p->id.nodeMode);
        n->fd = open(n->fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (n->fd < 0)
            throw std::runtime_error("open " + n->fifoPath + ": " + std::strerror(errno));
        // Packet mode: every write is one report, every read takes one.
        fcntl(n->fd, F_SETFL, fcntl(n->fd, F_GETFL) | O_DIRECT);

        n->handler = umockdev_ioctl_base_new();
        g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(handleIoctl), n.get());
        g_signal_connect(n->handler, "handle-read", G_CALLBACK(handleRead), n.get());
        g_signal_connect(n->handler, "handle-write", G_CALLBACK(handleWrite), n.get());
        g_signal_connect(n->handler, "client-connected", G_CALLBACK(clientConnected), n.get());
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(bed_.get(), n->devnode.c_str(), n->handler, &error)) {
            err = error ? error->message : "attach_ioctl failed";
            g_clear_error(&error);
            throw std::runtime_error(err);
        }
        p->nodes.push_back(std::move(n));
    }

    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_.get(), record(p->devices).c_str(), &error)) {
        err = error ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(err);
    }
    // Arrival: parents first.
    for (const SysDevice& d : p->devices)
        sendUevent(d, "add");

    // Coming back from a restart: power-up settings, nothing left to read; the
    // loader starts in the mode its restart chose (the ROM loader locked, the
    // RAM loader unlocked).
    if (p->id.loader) {
        loader.arrive();
        arrivals_.push_back(loader.mode() == sim::LoaderModel::Mode::Rom ? "ROM loader"
                                                                         : "RAM loader");
    } else {
        model.powerCycle();
        arrivals_.push_back("keypad");
    }
    current_ = p;
    ++plugCount_;
}

void HidrawKeypad::unplugLocked() {
    std::shared_ptr<Plugin> p = std::move(current_);
    current_.reset();
    for (auto& n : p->nodes)
        n->alive = false;
    // Removal: children first.
    for (auto it = p->devices.rbegin(); it != p->devices.rend(); ++it) {
        sendUevent(*it, "remove");
        umockdev_testbed_remove_device(bed_.get(), it->path.c_str());
    }
    for (auto& n : p->nodes) {
        GError* error = nullptr;
        umockdev_testbed_detach_ioctl(bed_.get(), n->devnode.c_str(), &error);
        g_clear_error(&error);
        // Wake a poll() on the node; the read that follows fails with ENODEV.
        const uint8_t wake = 0;
        [[maybe_unused]] ssize_t w = write(n->fd, &wake, 1);
        unlink(n->fifoPath.c_str());
    }
    model.clearInput();
    retired_.push_back(std::move(p));
}

// ---------------------------------------------------------------- handlers

void HidrawKeypad::onConnected(Node& node) {
    if (node.loader)
        ++loaderOpens_;
    else if (node.iface == 0 || node.iface == 1)
        ++opens_[node.iface];
}

bool HidrawKeypad::onIoctl(Node& node, void* c) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    if (!node.alive) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    auto fail = [&](int e) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, e);
        return true;
    };

    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
        if (!d)
            return fail(EFAULT);
        int size = static_cast<int>(node.descriptorSize);
        umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8*>(&size), sizeof size);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
        if (!d || d->data_len < 4)
            return fail(EFAULT);
        uint32_t wanted = 0;
        std::memcpy(&wanted, d->data, sizeof wanted);
        const size_t n = std::min<size_t>(wanted, node.descriptorSize);
        std::vector<guint8> copy(node.descriptor, node.descriptor + n);
        umockdev_ioctl_data_update(d, 4, copy.data(), static_cast<gint>(n));
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    if (request == HIDIOCGRAWINFO) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), &error);
        if (!d)
            return fail(EFAULT);
        hidraw_devinfo info{};
        info.bustype = 3; // BUS_USB
        info.vendor = static_cast<__s16>(node.vendorId);
        info.product = static_cast<__s16>(node.productId);
        umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8*>(&info), sizeof info);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    {
        std::lock_guard lock(m_);
        unknownIoctls_.push_back(request);
    }
    return fail(EINVAL);
}

bool HidrawKeypad::onRead(Node& node, void* c) {
    if (node.alive)
        return false; // the program reads the FIFO itself
    umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient*>(c), -1, ENODEV);
    return true;
}

bool HidrawKeypad::onWrite(Node& node, void* c) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    if (!node.alive) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const int length = arg->data_len;
    if (node.commands) {
        if (node.loader)
            loader.receive(arg->data, static_cast<size_t>(length), nowMs());
        else
            model.receive(arg->data, static_cast<size_t>(length), nowMs());
        umockdev_ioctl_client_complete(client, length, 0);
        deliverInput();
        pumpWake_.notify_all();
    } else {
        ++keyboardWrites_;
        umockdev_ioctl_client_complete(client, length, 0);
    }
    return true;
}

// Moves the model's readable input reports into the command node.
void HidrawKeypad::deliverInput() {
    std::lock_guard inputLock(inputMutex_);
    int fd = -1;
    bool fromLoader = false;
    {
        std::lock_guard lock(m_);
        if (current_) {
            fromLoader = current_->id.loader;
            if (Node* n = current_->node(commandInterface(current_->id)))
                fd = n->fd;
        }
    }
    if (fd < 0)
        return;
    sim::Report r;
    while (fromLoader ? loader.takeInput(r, nowMs()) : model.takeInput(r, nowMs())) {
        if (write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size()))
            std::fprintf(stderr, "hidraw keypad: input report lost: %s\n", std::strerror(errno));
    }
}

void HidrawKeypad::schedule(uint64_t at, std::function<void()> task) {
    {
        std::lock_guard lock(pumpMutex_);
        tasks_.emplace_back(at, std::move(task));
    }
    pumpWake_.notify_all();
}

// Runs scheduled plug changes and hands over input reports that become
// readable later (late answers, wait markers).
void HidrawKeypad::pumpLoop() {
    std::unique_lock lock(pumpMutex_);
    while (!stopping_) {
        const uint64_t t = nowMs();
        std::vector<std::function<void()>> due;
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            if (it->first <= t) {
                due.push_back(std::move(it->second));
                it = tasks_.erase(it);
            } else {
                ++it;
            }
        }
        lock.unlock();
        for (auto& task : due)
            task();
        deliverInput();
        lock.lock();
        pumpWake_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

} // namespace orvex::systest
