#include "ui/main/instance_folder.h"

#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvex {

QString PrivateInstanceFolder(const QString& base, QString* why) {
    const QString folder = base + QStringLiteral("/orvex-config-") +
                           QString::number(static_cast<qulonglong>(getuid()));
    const QByteArray path = folder.toLocal8Bit();
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        if (why)
            *why = folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    // Made now or found: either way it must be ours alone. lstat, so a link
    // planted under the name is not followed.
    struct stat st {};
    QString problem;
    if (::lstat(path.constData(), &st) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISDIR(st.st_mode))
        problem = QStringLiteral("not a folder");
    else if (st.st_uid != getuid())
        problem = QStringLiteral("owned by another user");
    else if ((st.st_mode & 07777) != 0700)
        problem = QStringLiteral("open to other users (mode %1)")
                      .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (!problem.isEmpty()) {
        if (why)
            *why = folder + QStringLiteral(": ") + problem;
        return {};
    }
    return folder;
}

QString InstanceFolder(const QString& runtimeFolder, const QString& privateBase, QString* why) {
    if (!runtimeFolder.isEmpty())
        return runtimeFolder;
    return PrivateInstanceFolder(privateBase, why);
}

bool TakeStartupLock(QLockFile& lock, int waitMs) {
    return lock.tryLock(waitMs);
}

} // namespace orvex
