// The recorder on Qt Multimedia, built as a plugin of its own so that the
// programs load Qt Multimedia (and the Qt Network it brings) only when the
// self test's "Record" button first needs it.

#include "ui/selftest/audio_recorder.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioSource>
#include <QBuffer>
#include <QByteArray>
#include <QMediaDevices>

namespace orvex {

namespace {

// Records into memory; plays from a copy so a new recording can start while
// the old one is still playing.
class QtAudioRecorder final : public AudioRecorder {
public:
    QtAudioRecorder() : input_(QMediaDevices::defaultAudioInput()) {
        if (!input_.isNull())
            format_ = input_.preferredFormat();
    }

    ~QtAudioRecorder() override {
        if (source_)
            source_->stop();
        if (sink_)
            sink_->stop();
    }

    bool canRecord() override { return !input_.isNull() && format_.isValid(); }

    bool record() override {
        if (!canRecord())
            return false;
        if (source_)
            source_->stop();
        recording_.close();
        data_.clear();
        recording_.setBuffer(&data_);
        if (!recording_.open(QIODevice::WriteOnly))
            return false;
        source_ = std::make_unique<QAudioSource>(input_, format_);
        source_->start(&recording_);
        return source_->error() == QAudio::NoError && source_->state() != QAudio::StoppedState;
    }

    bool stop() override {
        if (!source_)
            return false;
        source_->stop();
        const bool ok = source_->error() == QAudio::NoError;
        source_.reset();
        recording_.close();
        return ok;
    }

    bool canSave() override { return !data_.isEmpty(); }

    void play() override {
        const QAudioDevice output = QMediaDevices::defaultAudioOutput();
        if (output.isNull() || !output.isFormatSupported(format_))
            return;
        if (sink_)
            sink_->stop();
        playback_.close();
        played_ = data_;
        playback_.setBuffer(&played_);
        if (!playback_.open(QIODevice::ReadOnly))
            return;
        sink_ = std::make_unique<QAudioSink>(output, format_);
        sink_->start(&playback_);
    }

private:
    QAudioDevice input_;
    QAudioFormat format_;
    QByteArray data_;
    QBuffer recording_;
    std::unique_ptr<QAudioSource> source_;
    QByteArray played_;
    QBuffer playback_;
    std::unique_ptr<QAudioSink> sink_;
};

} // namespace

} // namespace orvex

// The plugin's one entry point; the caller owns the recorder.
extern "C" Q_DECL_EXPORT orvex::AudioRecorder* orvex_create_audio_recorder() {
    return new orvex::QtAudioRecorder();
}
