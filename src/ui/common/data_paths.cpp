#include "ui/common/data_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

namespace orvex::ui {

namespace {

Q_LOGGING_CATEGORY(lcData, "orvex.data", QtWarningMsg)

const QString kDataName = QStringLiteral("orvex-config");
QString buildTreeFolder;

} // namespace

QStringList dataFolders() {
    QStringList candidates;
    candidates << QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/" +
                                  kDataName);
    candidates << QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, kDataName,
                                            QStandardPaths::LocateDirectory);
    if (!buildTreeFolder.isEmpty())
        candidates << buildTreeFolder;
    QStringList folders;
    for (const QString& c : candidates) {
        const QString folder = QFileInfo(c).canonicalFilePath();
        if (!folder.isEmpty() && QFileInfo(folder).isDir() && !folders.contains(folder))
            folders << folder;
    }
    return folders;
}

void setBuildTreeDataFolder(const QString& folder) {
    buildTreeFolder = folder;
}

QString findDataFolder(const QString& sub) {
    for (const QString& folder : dataFolders()) {
        const QString path = QDir(folder).filePath(sub);
        if (QFileInfo(path).isDir())
            return path;
    }
    return {};
}

void reportDataFolders() {
    const QString pictures = findDataFolder(QStringLiteral("keypads"));
    if (pictures.isEmpty())
        qCWarning(lcData).noquote()
            << "no keypad pictures: looked for orvex-config/keypads in"
            << QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share") << "and"
            << QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation).join(' ');
    else
        qCInfo(lcData).noquote() << "keypad pictures:" << pictures;
    const QString samples = findDataFolder(QStringLiteral("firmware"));
    if (!samples.isEmpty())
        qCInfo(lcData).noquote() << "sample firmware images:" << samples;
}

} // namespace orvex::ui
