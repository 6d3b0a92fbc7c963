#include "keypad_presence.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "device/hid_link.h"

namespace orvex {

namespace {

std::atomic<bool> g_keypadOpened{false};

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

void NoteKeypadOpened() {
    g_keypadOpened = true;
}

void ForgetKeypadOpened() {
    g_keypadOpened = false;
}

void CloseUnpluggedKeypad() {
    CloseDevice();
    g_keypadOpened = true;
}

bool KeypadWasUnplugged() {
    return g_keypadOpened.load() && !KeypadAttached();
}

void WarnCommandFailed(const std::string& failure, const std::string& caption) {
    showWarning(KeypadWasUnplugged() ? std::string(kKeypadUnpluggedText) : failure, caption);
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
