#include "keypad_presence.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "device/hid_link.h"

namespace orvex {

namespace {

// The command interface path of the keypad last opened; "" when none.
std::mutex g_openedMutex;
std::string g_openedPath;

std::string openedPath() {
    std::lock_guard lock(g_openedMutex);
    return g_openedPath;
}

struct Owners {
    std::mutex m;
    int count = 0;
    bool reread = false;
    int nextListener = 1;
    std::vector<std::pair<int, KeypadReleasedListener>> listeners;
};

Owners& owners() {
    static Owners o;
    return o;
}

std::atomic<int> g_ownerCount{0};

} // namespace

bool KeypadAttached() {
    bool found = false;
    hid_device_info* list = hid_enumerate(static_cast<unsigned short>(DEVICE_VENDOR_ID),
                                          static_cast<unsigned short>(DEVICE_PRODUCT_ID));
    for (hid_device_info* it = list; it; it = it->next)
        found = found || it->interface_number == DEVICE_INTERFACE;
    hid_free_enumeration(list);
    return found;
}

void NoteKeypadOpened(const std::string& path) {
    std::lock_guard lock(g_openedMutex);
    g_openedPath = path;
}

void ForgetKeypadOpened() {
    std::lock_guard lock(g_openedMutex);
    g_openedPath.clear();
}

void CloseUnpluggedKeypad() {
    const std::string path = openedPath();
    CloseDevice();
    NoteKeypadOpened(path);
}

bool OpenedKeypadAttached() {
    const std::string path = openedPath();
    if (path.empty())
        return false;
    const std::vector<std::string> paths = KeypadCommandPaths();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

bool KeypadWasUnplugged() {
    return !openedPath().empty() && !OpenedKeypadAttached();
}

namespace {

struct UnpluggedListeners {
    std::mutex m;
    int next = 1;
    std::vector<std::pair<int, KeypadUnpluggedListener>> list;
};

UnpluggedListeners& unpluggedListeners() {
    static UnpluggedListeners l;
    return l;
}

} // namespace

int AddKeypadUnpluggedListener(KeypadUnpluggedListener listener) {
    UnpluggedListeners& l = unpluggedListeners();
    std::lock_guard lock(l.m);
    l.list.emplace_back(l.next, std::move(listener));
    return l.next++;
}

void RemoveKeypadUnpluggedListener(int id) {
    UnpluggedListeners& l = unpluggedListeners();
    std::lock_guard lock(l.m);
    std::erase_if(l.list, [id](const auto& e) { return e.first == id; });
}

bool TellIfKeypadUnplugged() {
    if (!KeypadWasUnplugged())
        return false;
    std::vector<KeypadUnpluggedListener> toTell;
    {
        UnpluggedListeners& l = unpluggedListeners();
        std::lock_guard lock(l.m);
        for (auto& e : l.list)
            toTell.push_back(e.second);
    }
    for (auto& tell : toTell)
        tell();
    return true;
}

void WarnCommandFailed(const std::string& failure, const std::string& caption) {
    // The command's own text stays; why it failed is told beside it.
    TellIfKeypadUnplugged();
    showWarning(failure, caption);
}

KeypadSequence::KeypadSequence(After after, KeypadIdentity keypad)
    : after_(after), keypad_(std::move(keypad)) {
    Owners& o = owners();
    std::lock_guard lock(o.m);
    ++o.count;
    g_ownerCount = o.count;
}

KeypadSequence::~KeypadSequence() {
    std::vector<KeypadReleasedListener> toTell;
    bool reread;
    {
        Owners& o = owners();
        std::lock_guard lock(o.m);
        o.reread = o.reread || after_ == After::RereadAfter;
        --o.count;
        g_ownerCount = o.count;
        if (o.count > 0)
            return;
        reread = std::exchange(o.reread, false);
        for (auto& l : o.listeners)
            toTell.push_back(l.second);
    }
    for (auto& tell : toTell)
        tell(reread, keypad_);
}

bool KeypadOwnedBySequence() {
    return g_ownerCount.load() > 0;
}

int AddKeypadReleasedListener(KeypadReleasedListener listener) {
    Owners& o = owners();
    std::lock_guard lock(o.m);
    o.listeners.emplace_back(o.nextListener, std::move(listener));
    return o.nextListener++;
}

void RemoveKeypadReleasedListener(int id) {
    Owners& o = owners();
    std::lock_guard lock(o.m);
    std::erase_if(o.listeners, [id](const auto& l) { return l.first == id; });
}

} // namespace orvex
