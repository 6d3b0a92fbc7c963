#pragma once

// Where orvex-config keeps its single-instance socket and start-up lock, and
// how long it waits for that lock. Qt Core only, so it can be tested alone.

#include <QString>

class QLockFile;

namespace orvex {

// The user's runtime folder when Qt has one ($XDG_RUNTIME_DIR, or its own
// private runtime-$USER); otherwise `privateBase`/orvex-config-UID, created
// 0700. A folder there that is not a real folder owned by this user with mode
// 0700 (another local user made it first) is not used: the result is empty
// and `why` says why, so no other user can stop or hold up the window.
QString InstanceFolder(const QString& runtimeFolder, const QString& privateBase, QString* why);

// The private folder alone (the part of InstanceFolder without a runtime
// folder); empty with `why` when it cannot be made safe.
QString PrivateInstanceFolder(const QString& base, QString* why);

// Takes the start-up lock, waiting at most `waitMs` for a program starting at
// the same moment; false when it is still held then (a program that hangs).
bool TakeStartupLock(QLockFile& lock, int waitMs);

} // namespace orvex
