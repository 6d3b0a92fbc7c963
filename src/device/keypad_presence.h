#pragma once

// What the windows need to follow the keypad as it is plugged in and out:
// whether it is attached, the text for a command that failed because the
// keypad went away, and the mark a sequence holds while it owns the keypad.
// Plain C++ over the device link.

#include <functional>
#include <string>

#include "device/keypad_identity.h"
#include "platform/prompter.h"

namespace orvex {

inline constexpr const char* kKeypadUnpluggedText = "The keypad was unplugged.";

// True when a keypad command interface (2047:09BF, interface 1) is listed on
// the bus now.
bool KeypadAttached();

// True while the keypad last opened (by its command interface's path) is
// listed on the bus; false when none was opened.
bool OpenedKeypadAttached();

// True when this process has had a keypad open and that keypad is not
// attached now: a command that failed just then failed because it went away.
// Another keypad coming or going does not count.
bool KeypadWasUnplugged();

// Shows the command's own failure text. When the keypad was unplugged, the
// unplugged-listeners hear of it first, so a window can say so beside the box.
void WarnCommandFailed(const std::string& failure, const std::string& caption = kCaption);

// Called on the thread that warns, before the box shows. Must not block.
using KeypadUnpluggedListener = std::function<void()>;
int AddKeypadUnpluggedListener(KeypadUnpluggedListener listener);
void RemoveKeypadUnpluggedListener(int id);
// Tells the unplugged-listeners when the keypad was unplugged; true if it was.
bool TellIfKeypadUnplugged();

// Noted by the scan each time it opens a keypad, with the path it opened;
// forgotten when the link is closed for good.
void NoteKeypadOpened(const std::string& path);
void ForgetKeypadOpened();

// Closes the handle of a keypad that has been unplugged. Commands that fail
// from now on fail because it went away (the keypad stays noted).
void CloseUnpluggedKeypad();

// Held by a sequence that owns the keypad: the restart waits of a restore and
// a factory reset, the self test, a code table Apply, a firmware upgrade from
// EnterBootloader to the end of its settings restore. While any is held, the
// sequence deals with the keypad leaving and coming back, and the windows that
// follow the keypad leave the handle alone. When the last one goes, the
// released-listeners are told, so a window can read the keypad again: the
// sequence's keypad, not whichever is found first.
class KeypadSequence {
public:
    // RereadAfter: the sequence changed what the keypad holds (a firmware
    // upgrade), so windows read it again when it ends.
    enum class After { Nothing, RereadAfter };
    // The sequence acts on the keypad open now.
    explicit KeypadSequence(After after = After::Nothing);
    // The sequence acts on this keypad (one in its loader, say).
    KeypadSequence(After after, KeypadIdentity keypad);
    ~KeypadSequence();
    KeypadSequence(const KeypadSequence&) = delete;
    KeypadSequence& operator=(const KeypadSequence&) = delete;

private:
    After after_;
    KeypadIdentity keypad_;
};

bool KeypadOwnedBySequence();

// Called on the thread that ends the last sequence, with true when one of the
// sequences asked for a read afterwards, and the keypad of that last
// sequence. Must not hold up that thread.
using KeypadReleasedListener = std::function<void(bool reread, const KeypadIdentity& keypad)>;
int AddKeypadReleasedListener(KeypadReleasedListener listener);
void RemoveKeypadReleasedListener(int id);

} // namespace orvex
