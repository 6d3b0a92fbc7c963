// MainWindow: the button that opens the firmware upgrade window, and the
// finishing of an upgrade that was interrupted. What may be sent and what is
// asked is the upgrade operation's (src/ops); this file asks and shows.

#include "ui/main/main_window.h"

#include <QStatusBar>

#include <memory>
#include <optional>
#include <utility>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "firmware/loader_store.h"
#include "firmware/upgrade_sequence.h"
#include "ops/firmware_upgrade.h"
#include "platform/prompter.h"
#include "ui/common/ui_style.h"
#include "ui/firmware/firmware_upgrade_window.h"

namespace orvex {

namespace {

constexpr const char* kProgram = "orvex-config";
constexpr const char* kQuestionCaption = "Firmware Upgrade";
constexpr const char* kNotConnectedText = "Halden Orvex\u2122 not connected..";

// Each question as a box; the first No ends it.
bool askAll(const ops::FirmwareUpgrade& upgrade) {
    return ops::AskAll(upgrade.questions(),
                       [](const ops::Question& q) { return askYesNo(q.text, kQuestionCaption); });
}

} // namespace

QString MainWindow::SettingsSentBackText() {
    return QStringLiteral("The settings of the interrupted upgrade were sent back to the keypad.");
}

QString MainWindow::LeftInLoaderText() {
    return ui::q("The keypad is in its bootstrap loader. \"Update Orvex™ Keypad Firmware\" "
                 "finishes the upgrade.");
}

std::string MainWindow::LoneLoaderQuestion() {
    return ops::LoneLoaderQuestion();
}

void MainWindow::openFirmwareUpgrade() {
    if (KeypadBusyElsewhere())
        return;
    // An interrupted upgrade is offered first; No goes on with this button.
    if (offerToFinishUpgrade(false))
        return;
    // The keypad whose settings are read here is the one switched to its
    // loader: while the questions below wait for the user, the window does
    // not follow keypads coming and going.
    std::optional<KeypadSequence> asking(std::in_place);

    // Owned by the main window, so it is gone (its job waited for) at exit.
    auto window = std::make_unique<FirmwareUpgradeWindow>(this);
    window->setAttribute(Qt::WA_DeleteOnClose);

    // The settings sent back after the upgrade: only those read now, from
    // this keypad, never those of an earlier press.
    ops::UpgradeRequest request;
    request.program = kProgram;
    request.folders = firmware::LoaderFolders::FromEnvironment();
    request.confirm = true;
    request.unfinishedDeclined = upgradeOfferDeclined_;
    const bool statusRead = GetDeviceStatusMessage() == 0;
    const KeypadIdentity keypad = OpenKeypadIdentity();
    if (statusRead) {
        FirmwareUpgradeWindow::HandOverSettings(lastKeypadType, lastLedBrightness, lastBuzzer,
                                                lastBuzzerPeriodIndex, lastOptions,
                                                lastKeyCodes.data(), serialNumber, keypad);
        request.settings = FirmwareUpgradeWindow::HandedOverSettingsFor(keypad);
    } else {
        WarnCommandFailed("Unable to get device status information");
    }

    auto upgrade = std::make_unique<ops::FirmwareUpgrade>();
    if (const ops::Result r = upgrade->plan(request); !r.ok()) {
        showWarning(r.text);
        return;
    }
    if (!askAll(*upgrade))
        return;

    // From here to the end of the settings restore the upgrade owns the
    // keypad; the main window reads it again afterwards.
    window->HoldKeypad(
        std::make_unique<KeypadSequence>(KeypadSequence::After::RereadAfter, upgrade->keypad()));
    asking.reset();
    const bool toLoader = upgrade->entersLoader();
    keypadInLoader_ = toLoader;
    // The keypad restarts into its loader, usually before it can answer.
    const ops::Result sent = upgrade->enterLoader(false);
    // Refused before anything was sent: the keypad stays where it was.
    if (!sent.ok() && !sent.text.empty()) {
        keypadInLoader_ = false;
        showWarning(sent.text);
        return;
    }
    // Without a keypad open the command could reach nobody: as if it failed.
    if (!toLoader || !sent.ok())
        EnableDisableFunctionButtons(false);
    window->AdoptUpgrade(std::move(upgrade));
    connect(window.get(), &FirmwareUpgradeWindow::keypadLeftInLoader, this,
            [this] { statusBar->showMessage(LeftInLoaderText()); });
    window->CentreOnScreen();
    window.release()->show();
}

bool MainWindow::offerToFinishUpgrade(bool atStartUp) {
    upgradeOfferDeclined_ = false;
    const ops::UnfinishedUpgrade unfinished = ops::FindUnfinishedUpgrade();
    using State = ops::UnfinishedUpgrade::State;
    switch (unfinished.state) {
    case State::None:
        return false;
    case State::Unreadable:
        showWarning("The firmware upgrade cannot start: " + unfinished.text + "..");
        return !atStartUp;
    case State::Absent:
        if (!atStartUp)
            showWarning(unfinished.absentText());
        return !atStartUp;
    case State::Running:
    case State::InLoader:
        break;
    }

    const KeypadIdentity shown = OpenKeypadIdentity();
    auto upgrade = std::make_unique<ops::FirmwareUpgrade>();
    ops::ResumeRequest request;
    request.program = kProgram;
    request.folders = firmware::LoaderFolders::FromEnvironment();
    request.imageLater = true;
    const ops::Result planned = upgrade->planResume(request);
    // Back to the keypad the window shows, which the plan may have closed.
    const auto backToShown = [this, &shown] {
        if (!(OpenKeypadIdentity() == shown) && RescanForKeypad(shown, false))
            RefreshFromDevice();
    };
    if (!planned.ok()) {
        showWarning(planned.outcome == ops::Outcome::NoKeypad ? kNotConnectedText : planned.text);
        backToShown();
        return true;
    }
    if (upgrade->nothingToDo()) {
        showWarning(firmware::kNotRestoredText);
        backToShown();
        return atStartUp;
    }
    if (!askAll(*upgrade)) {
        backToShown();
        upgradeOfferDeclined_ = true;
        return atStartUp;
    }
    if (const ops::Result r = upgrade->afterQuestions(); !r.ok()) {
        showWarning(r.text);
        return true;
    }
    if (upgrade->settingsOnly()) {
        // The restore restarts the keypad: it sees it leave and come back.
        KeypadSequence owned;
        const ops::Result restored = upgrade->restore();
        if (RefreshFromDevice())
            keypadChangedDuringSequence_ = false;
        if (restored.ok())
            statusBar->showMessage(SettingsSentBackText());
        return true;
    }

    // In its loader: the window downloads the image and sends the settings.
    keypadInLoader_ = true;
    auto* window = new FirmwareUpgradeWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    // The keypad is its loader until the upgrade's restore has ended.
    window->HoldKeypad(
        std::make_unique<KeypadSequence>(KeypadSequence::After::RereadAfter, upgrade->keypad()));
    window->AdoptUpgrade(std::move(upgrade));
    connect(window, &FirmwareUpgradeWindow::keypadLeftInLoader, this,
            [this] { statusBar->showMessage(LeftInLoaderText()); });
    window->CentreOnScreen();
    window->show();
    return true;
}

} // namespace orvex
