#pragma once

#include <QStringList>

#include <functional>
#include <memory>

namespace orvex {

// What the self test's "Record" button drives: record from the default input,
// then play the recording back. One recorder lives from one "Record" press to
// the next.
class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;
    // An input device was opened and can record.
    virtual bool canRecord() = 0;
    // Discards any earlier recording and starts a new one from the start.
    virtual bool record() = 0;
    // Stops recording; false when the recording could not be finished.
    virtual bool stop() = 0;
    // There is a finished recording to play.
    virtual bool canSave() = 0;
    // Plays the recording back without waiting for the end.
    virtual void play() = 0;
};

using RecorderFactory = std::function<std::unique_ptr<AudioRecorder>()>;

// The recorder on the platform's default audio input and output. It lives in
// the audio plugin (Qt Multimedia), loaded on the first call; null when the
// plugin cannot be loaded.
std::unique_ptr<AudioRecorder> makeQtAudioRecorder();

// Where the audio plugin is looked for, in order: the program's folder (the
// build tree), then the installed plugin folder relative to it.
QStringList audioPluginFolders();

} // namespace orvex
