#include "ui/main/recording_warning.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <string>

#include "platform/prompter.h"
#include "trace/hid_trace.h"

namespace orvex {

void WarnWhenRecordingFails(QObject* context) {
    QPointer<QObject> target(context);
    trace::OnWriteFailure([target](const std::string& failure) {
        if (!target)
            return;
        // Queued: the recorder calls from whichever thread wrote, with its
        // lock held.
        QMetaObject::invokeMethod(
            target.data(),
            [failure] { showWarning("The session recording stopped: " + failure + ".."); },
            Qt::QueuedConnection);
    });
}

void StopWarningWhenRecordingFails() {
    trace::OnWriteFailure(nullptr);
}

} // namespace orvex
