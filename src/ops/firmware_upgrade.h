#pragma once

// The firmware upgrade and the finishing of an interrupted one, for the window
// and orvexctl alike. plan() settles, before anything is sent, the loader the
// upgrade programs, the password, every refusal and the questions; the steps
// after it send, keep the journal and report. The one change lock is held
// from the plan to the end of the settings restore.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_identity.h"
#include "firmware/image_checks.h"
#include "firmware/loader_store.h"
#include "firmware/upgrade_sequence.h"
#include "ops/operation.h"
#include "ops/upgrade_journal.h"
#include "ops/upgrade_target.h"

namespace orvex::ops {

inline constexpr const char* kUpgradeQuestion = "Are you sure you want to upgrade the firmware?";

// The window's and orvexctl's question for a loader attached without a
// running keypad: any MSP430 device in its loader looks like the keypad's.
std::string LoneLoaderQuestion();

// What an upgrade needs from the front-end that asks for it.
struct UpgradeRequest {
    std::string program; // "orvexctl" or "orvex-config", for the lock and the journal
    firmware::LoaderFolders folders;
    // orvexctl flash --recover: a keypad already in its loader, the one at
    // loaderPath ("" for the one attached); no running keypad is touched.
    bool recover = false;
    std::string loaderPath;
    // The settings read from the open keypad for this request; captured
    // false when none were (then nothing is sent back after the upgrade).
    firmware::KeypadSettingsHandOver settings;
    // Whether the restore after the upgrade is wanted at all (orvexctl
    // --no-restore says no; the window always wants it).
    bool restoreWanted = true;
    // The window asks kUpgradeQuestion; orvexctl's command is the answer.
    bool confirm = false;
    // orvexctl: the plan reads the open keypad's status itself, after the
    // lock is taken; the window hands over what its press read.
    bool readSettings = false;
    // The window: the user declined to finish the journal's upgrade, so this
    // one may take its place when it is of the journal's keypad.
    bool unfinishedDeclined = false;
};

// Where an interrupted upgrade stands.
struct UnfinishedUpgrade {
    enum class State {
        None,       // no journal (or one that never reached the loader: removed)
        Unreadable, // a journal that cannot be read: `text` says why
        Absent,     // its keypad is attached neither running nor in its loader
        Running,    // its keypad runs its firmware again
        InLoader,   // its keypad waits in its loader on the journal's port
    };
    State state = State::None;
    firmware::UpgradeJournal journal;
    std::string text;
    // "keypad SERIAL, USB port PORT", for messages.
    std::string which() const;
    // The window's message for State::Absent.
    std::string absentText() const;
};

// Whether an upgrade opens a running keypad first (orvexctl flash): one is
// named or attached, or no loader is. Only a lone loader beside no keypad is
// taken as it is, and then only with the user's word.
bool OpensRunningKeypadFirst(bool keypadNamed);

// Reads the journal and looks for its keypad. A journal whose download never
// started is removed, without a question, once its keypad runs again: its
// firmware was never touched and nothing is left to finish.
UnfinishedUpgrade FindUnfinishedUpgrade();

// What a resume needs from the front-end.
struct ResumeRequest {
    std::string program;
    firmware::LoaderFolders folders;
    // orvexctl --serial/--path: the keypad the user names for the settings;
    // nullopt to look on the journal's port.
    std::optional<KeypadIdentity> named;
    // The image to download when the keypad is still in its loader; the
    // window chooses it later, in the firmware window.
    std::optional<FirmwareImage> image;
    bool imageLater = false;
};

class FirmwareUpgrade {
public:
    FirmwareUpgrade() = default;
    ~FirmwareUpgrade();
    FirmwareUpgrade(const FirmwareUpgrade&) = delete;
    FirmwareUpgrade& operator=(const FirmwareUpgrade&) = delete;

    // The one change lock, taken before anything is read from a keypad;
    // plan() takes it when the front-end has not.
    Result takeLock(const std::string& program);
    // The firmware window opened on its own: the built-in loader images, no
    // journal, nothing to send back.
    Result planLoaderOnly(const std::string& program);
    // The lock, then the journal of an unfinished upgrade, which refuses
    // this one; plan() does it when the front-end has not, before it reads
    // the keypad.
    Result begin(const UpgradeRequest& request);
    // The upgrade of the open keypad (or of a loader, see UpgradeRequest).
    // Takes the lock and refuses a journal of an unfinished upgrade.
    Result plan(const UpgradeRequest& request);
    // The finishing of the journal's upgrade.
    Result planResume(const ResumeRequest& request);

    // In the order asked, after a plan that was not refused.
    const std::vector<Question>& questions() const { return questions_; }

    // Resume only: the keypad runs again and its settings are sent back
    // (restore() alone does it); otherwise an image is downloaded first.
    bool settingsOnly() const { return settingsOnly_; }
    // Resume only: finished by the plan itself (nothing to send back); the
    // journal is gone and `notice` says why.
    bool nothingToDo() const { return nothingToDo_; }
    const std::string& notice() const { return notice_; }
    // The journal's keypad, for messages.
    std::string which() const;
    // The open keypad is sent to its loader (rather than a loader programmed).
    bool entersLoader() const { return target_.enterBootloader; }
    // The keypad this upgrade sent to its loader waits there with nothing
    // downloaded: closing now leaves it unusable until upgraded or unplugged.
    bool keypadLeftInLoader() const;
    // The USB port of the loader programmed ("" when it cannot be told).
    const std::string& usbPort() const { return ids_.usbPort; }
    const firmware::LoaderIds& ids() const { return ids_; }
    // The keypad the upgrade acts on, as it is found again afterwards.
    KeypadIdentity keypad() const;

    // After the questions: what may have changed while they were up is
    // looked at again (a resume's port-less loader). The window calls it
    // before it opens; run() does.
    Result afterQuestions();
    // After every question was answered Yes: the journal is written, then the
    // open keypad is sent to its loader. It is refused, nothing sent, when
    // the planned keypad is no longer the one open. With `waitForLoader` it
    // returns when the loader is there (orvexctl); the window counts it.
    Result enterLoader(bool waitForLoader);
    // Downloads the image: the journal first records that the firmware is
    // being replaced. Callable on a worker thread.
    Result download(const FirmwareImage& image, const firmware::ProgressReport& progress);
    // Sends the settings back; the journal goes once they are on the keypad
    // (or when there are none to send).
    Result restore();
    // orvexctl: questions, loader, download, restore.
    Result run(const Answer& answer, const FirmwareImage& image,
               const firmware::ProgressReport& progress);

private:
    Result planPassword(const firmware::LoaderFolders& folders, const std::string& serial,
                        int reporting);
    bool writeJournal(std::string& why);

    std::unique_ptr<firmware::UpgradeLock> lock_;
    firmware::LoaderIds ids_ = firmware::LoaderIds::FromResources();
    firmware::UpgradeTarget target_;
    firmware::UpgradePlan plan_;
    firmware::UpgradeJournal journal_;
    KeypadIdentity keypad_;
    std::vector<Question> questions_;
    std::string folderHint_;
    bool restoreWanted_ = true;
    bool settingsOnly_ = false;
    bool nothingToDo_ = false;
    UnfinishedUpgrade unfinished_;
    bool begun_ = false;
    bool journaled_ = false;  // a journal is kept for this upgrade
    bool newJournal_ = false; // enterLoader writes it (not a resume)
    std::string notice_;
};

// For the diagnosis: "unfinished upgrade: " and "none", why the journal
// cannot be read, or its path, `hint` and a few lines on it.
std::string DescribeUnfinishedUpgrade(const std::string& hint);
// The serial number of the unfinished upgrade's keypad, for masking it in a
// report; "" when there is none.
std::string UnfinishedUpgradeSerialNumber();

} // namespace orvex::ops
