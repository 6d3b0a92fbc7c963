#pragma once

// The windows' side of a session recording (--trace, ORVEX_TRACE) that stops
// being written: one warning, whichever thread was writing.

class QObject;

namespace orvex {

// From now on, the first failure to write the recording (a full disk, a file
// grown past its limit) shows one warning on the thread of `context`; the
// program goes on without its recording.
void WarnWhenRecordingFails(QObject* context);
// No more warnings (the windows are gone).
void StopWarningWhenRecordingFails();

} // namespace orvex
