// Finds the audio plugin on the first "Record" and makes its recorder.

#include "ui/selftest/audio_recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>
#include <QtDebug>

namespace orvex {

namespace {

using CreateRecorder = AudioRecorder* (*)();

CreateRecorder loadAudioPlugin() {
    for (const QString& folder : audioPluginFolders()) {
        QLibrary plugin(QDir(folder).filePath(QStringLiteral(ORVEX_AUDIO_PLUGIN_FILE)));
        if (!QFileInfo::exists(plugin.fileName()))
            continue;
        // Stays loaded for the rest of the run: recorders live on after this.
        if (auto create =
                reinterpret_cast<CreateRecorder>(plugin.resolve("orvex_create_audio_recorder")))
            return create;
        qWarning().noquote() << "Cannot use the audio plugin:" << plugin.errorString();
    }
    return nullptr;
}

} // namespace

QStringList audioPluginFolders() {
    const QString programFolder = QCoreApplication::applicationDirPath();
    return {programFolder,
            QDir::cleanPath(programFolder + "/" + QStringLiteral(ORVEX_AUDIO_PLUGIN_RELATIVE_DIR))};
}

std::unique_ptr<AudioRecorder> makeQtAudioRecorder() {
    static const CreateRecorder create = loadAudioPlugin();
    if (!create)
        return nullptr;
    return std::unique_ptr<AudioRecorder>(create());
}

} // namespace orvex
