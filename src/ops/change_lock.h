#pragma once

// The one lock every change to a keypad holds for its whole run, in the window
// and orvexctl alike: set, save, restore, import, factory reset, table set,
// flash and resume. A second change is refused, naming the one that holds it.

#include <memory>
#include <string>

#include "ops/upgrade_journal.h"

namespace orvex::ops {

using ChangeLock = firmware::UpgradeLock;

// Null, with `refusal` naming the holder, while another change runs.
inline std::unique_ptr<ChangeLock>
TakeChangeLock(const std::string& program, const std::string& operation, std::string& refusal) {
    return ChangeLock::Acquire(program, refusal, operation);
}

} // namespace orvex::ops
