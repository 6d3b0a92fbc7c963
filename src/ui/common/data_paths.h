#pragma once

// Where the data files the windows read at run time live: the keypad
// pictures (keypads/) and the sample firmware images (firmware/) of a
// share/orvex-config folder.

#include <QString>
#include <QStringList>

namespace orvex::ui {

// Candidate share/orvex-config folders, the first match wins:
//   1. <program folder>/../share/orvex-config, so an installed program uses
//      its own prefix wherever that was unpacked or installed;
//   2. orvex-config under the XDG data folders ($XDG_DATA_HOME, then
//      $XDG_DATA_DIRS);
//   3. the build tree's copy, where the program set one (below).
// Only folders that exist are listed.
QStringList dataFolders();

// Programs run from the build folder name the build tree's copy, looked in
// last; installed programs and the tests have none.
void setBuildTreeDataFolder(const QString& folder);

// `<data folder>/<sub>` of the first data folder that has it; empty if none.
QString findDataFolder(const QString& sub);

// Logs (category orvex.data) where the keypad pictures and the sample images
// were found, as info, and warns when no keypad pictures were found.
void reportDataFolders();

} // namespace orvex::ui
