// The upgrade and resume operations with scripted answers: the journal's
// life, which loader is the keypad's, which serial numbers name a keypad,
// and the journal's file as outside input.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <hidapi/hidapi.h>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "firmware/standin_images.h"
#include "ops/firmware_upgrade.h"
#include "ops/keypad_identity_rules.h"
#include "test_env.h"
#include "virtual_loader.h"

using namespace orvex;
namespace fs = std::filesystem;

namespace {

class UpgradeOperationTest : public test::VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        home = stateHome / "data";
        fs::create_directories(home);
        keypad = plugKeypad();
        keypad->model.setSerial("OVX000777111");
        loader = sim::attachLoader(keypad);
        firmware::UseBuiltInLoaderImages(firmware::StandInLoaderImages());
    }
    void TearDown() override {
        firmware::UseBuiltInLoaderImages(std::nullopt);
        VirtualEnvTest::TearDown();
    }
    // The loader images from the data folders, a password kept for `serial`.
    firmware::LoaderFolders keptPassword(const std::string& serial) {
        firmware::UseBuiltInLoaderImages(std::nullopt);
        const firmware::LoaderFolders folders = firmware::LoaderFolders::ForDataHome(home);
        fs::create_directories(folders.user);
        std::string ram(firmware::StandInLoaderResource("RAM_BSL.Text"));
        ram.replace(ram.find("4F 72 76 65 78"), 14, "54 45 53 54 21"); // not the stand-in
        std::ofstream(folders.user + "/RAM_BSL.Text", std::ios::binary) << ram;
        std::ofstream(folders.user + "/RAM_BSL_VERSION") << "00.06.05.34\n";
        const fs::path own = fs::path(folders.user) / firmware::SerialFolderName(serial);
        fs::create_directories(own);
        std::ofstream(own / "password.Text") << firmware::BlankPasswordText();
        return folders;
    }
    void toLoader() {
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        SendDeviceCommand(EnterBootloader);
        CloseDevice();
        clock.advance(2000);
    }
    firmware::UpgradeJournal journalOf(bool downloadStarted) const {
        firmware::UpgradeJournal j;
        j.settings.captured = true;
        j.settings.serialNumber = "OVX000777111";
        j.settings.usbPort = keypad->port();
        j.settings.led_brightness = 9;
        j.program = "orvexctl";
        j.downloadStarted = downloadStarted;
        return j;
    }
    void write(const firmware::UpgradeJournal& j) {
        std::string why;
        ASSERT_TRUE(firmware::WriteUpgradeJournal(j, why)) << why;
    }
    static std::vector<std::string> flags(const ops::FirmwareUpgrade& u) {
        std::vector<std::string> f;
        for (const auto& q : u.questions())
            f.push_back(q.flag);
        return f;
    }
    static bool has(const std::vector<std::string>& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    }

    std::string home;
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::shared_ptr<sim::VirtualLoader> loader;
};

const ops::Answer kYes = [](const ops::Question&) { return true; };
const firmware::ProgressReport kQuiet = [](int, const std::string&) {};

} // namespace

// The journal written before EnterBootloader: a keypad that runs again with
// no image ever downloaded has nothing to finish; one whose download started,
// or that waits in its loader, keeps it.
TEST_F(UpgradeOperationTest, AJournalThatNeverReachedTheLoaderGoesWhenItsKeypadRuns) {
    using State = ops::UnfinishedUpgrade::State;
    write(journalOf(false));
    EXPECT_EQ(ops::FindUnfinishedUpgrade().state, State::None);
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));

    write(journalOf(true));
    EXPECT_EQ(ops::FindUnfinishedUpgrade().state, State::Running);
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));

    // In its loader, whatever keypad a resume is told about.
    write(journalOf(false));
    toLoader();
    EXPECT_EQ(ops::FindUnfinishedUpgrade().state, State::InLoader);
    const auto other = plugKeypad();
    ops::FirmwareUpgrade resume;
    ops::ResumeRequest request{"orvexctl", firmware::LoaderFolders::ForDataHome(home),
                               KeypadIdentity{"", other->port()}, std::nullopt, false};
    EXPECT_EQ(resume.planResume(request).outcome, ops::Outcome::Refused); // needs the image
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));
    EXPECT_TRUE(other->model.log().empty());
}

// The upgrade written by a run and finished by it: the loader it sent the
// keypad to is programmed without the loader question; the journal records the
// download before the first byte and goes once the settings are back.
TEST_F(UpgradeOperationTest, TheRunThatSentTheKeypadProgramsItsLoaderWithoutAsking) {
    FirmwareImage image;
    ASSERT_EQ(ReadFirmwareImage(ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt", image), "");
    keypad->model.setOptions(7);
    ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
    ops::FirmwareUpgrade upgrade;
    ops::UpgradeRequest request;
    request.program = "orvexctl";
    request.folders = firmware::LoaderFolders::ForDataHome(home);
    request.readSettings = true;
    ASSERT_TRUE(upgrade.plan(request).ok());
    EXPECT_FALSE(has(flags(upgrade), "--recover"));
    bool sawJournal = false;
    const firmware::ProgressReport watch = [&](int, const std::string&) {
        std::string why;
        const auto j = firmware::ReadUpgradeJournal(why);
        sawJournal = sawJournal || (j && j->downloadStarted && !j->imageSha256.empty());
    };
    ASSERT_TRUE(upgrade.run(kYes, image, watch).ok());
    EXPECT_TRUE(sawJournal);
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    EXPECT_EQ(keypad->model.serial(), "OVX000777111");
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));

    // The window's press could not read the settings: the user is told that
    // nothing goes back, and the journal goes.
    ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
    ops::FirmwareUpgrade unread;
    request.program = "orvex-config";
    request.readSettings = false;
    ASSERT_TRUE(unread.plan(request).ok());
    prompts.clear();
    ASSERT_TRUE(unread.run(kYes, image, kQuiet).ok());
    const auto texts = prompts.texts();
    EXPECT_EQ(texts, std::vector<std::string>{std::string(firmware::kNotRestoredText) + "\n"});
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));
}

// A loader found by a later run may be any MSP430 device's: the user says it
// is the keypad's (--recover, default No), even with a password kept for the
// journal's serial number. No leaves it unheard.
TEST_F(UpgradeOperationTest, ALoaderFoundByALaterRunNeedsConsentEvenWithAKeptPassword) {
    const firmware::LoaderFolders folders = keptPassword("OVX000777111");
    toLoader();
    write(journalOf(true));
    FirmwareImage image;
    ASSERT_EQ(ReadFirmwareImage(ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt", image), "");
    {
        ops::FirmwareUpgrade resume;
        ASSERT_TRUE(resume.planResume({"orvexctl", folders, std::nullopt, image, false}).ok());
        EXPECT_EQ(flags(resume), std::vector<std::string>{"--recover"}); // the password matches
        for (const auto& q : resume.questions())
            EXPECT_FALSE(q.defaultYes);
        const ops::Answer no = [](const ops::Question& q) { return q.flag != "--recover"; };
        EXPECT_EQ(resume.run(no, image, kQuiet).outcome, ops::Outcome::Declined);
    }
    EXPECT_EQ(loader->model.totalReports(), 0);
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));
}

// The fresh-firmware serial number, a blank one and one two keypads report
// name nobody: a password kept under them is not trusted without consent.
TEST_F(UpgradeOperationTest, IdentitiesThatAreNotOneNeedConsent) {
    EXPECT_TRUE(ops::SerialIdentifiesNobody("OVX000000000"));
    EXPECT_TRUE(ops::SerialIdentifiesNobody(""));
    EXPECT_TRUE(ops::SerialIdentifiesNobody(std::string(12, ' ')));
    EXPECT_TRUE(ops::SerialIdentifiesNobody(std::string(12, '\xFF')));
    EXPECT_FALSE(ops::SerialIdentifiesNobody("OVX000777111"));
    EXPECT_EQ(ops::PasswordSerial("OVX000777111", 1), "OVX000777111");
    EXPECT_EQ(ops::PasswordSerial("OVX000777111", 2), "");
    EXPECT_EQ(ops::PasswordSerial("OVX000000000", 1), "");

    const auto planFlags = [&](const firmware::LoaderFolders& folders) {
        EXPECT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        ops::FirmwareUpgrade upgrade;
        ops::UpgradeRequest request;
        request.program = "orvexctl";
        request.folders = folders;
        request.readSettings = true;
        EXPECT_TRUE(upgrade.plan(request).ok());
        EXPECT_EQ(OpenKeypadIdentity().usbPort, keypad->port()) << "reopened after the search";
        return flags(upgrade);
    };
    firmware::LoaderFolders folders = keptPassword("OVX000777111");
    EXPECT_FALSE(has(planFlags(folders), "--allow-mass-erase"));
    // A second keypad reporting the same serial number: the search finds both.
    const auto twin = plugKeypad();
    twin->model.setSerial("OVX000777111");
    EXPECT_EQ(ops::KeypadsReportingSerial("OVX000777111"), 2);
    EXPECT_TRUE(has(planFlags(folders), "--allow-mass-erase"));
    twin->model.setSerial("OVX000777222");
    EXPECT_EQ(ops::KeypadsReportingSerial("OVX000777111"), 1);
    EXPECT_FALSE(has(planFlags(folders), "--allow-mass-erase"));
    sim::VirtualBus::instance().unplug(twin);

    keypad->model.setSerial("OVX000000000");
    folders = keptPassword("OVX000000000");
    EXPECT_TRUE(has(planFlags(folders), "--allow-mass-erase"));
}

// A keypad whose port cannot be told is not paired with an attached loader;
// a journal without a port takes only a device alone on the bus.
TEST_F(UpgradeOperationTest, PortlessKeypadOrJournalBesideAnotherDeviceIsNotGuessed) {
    const auto foreign = sim::makeLoader();
    sim::VirtualBus::instance().plug(foreign);
    keypad->usbPort.clear();
    ASSERT_TRUE(RescanForDevice());
    ops::FirmwareUpgrade upgrade;
    ops::UpgradeRequest request;
    request.program = "orvexctl";
    request.folders = firmware::LoaderFolders::ForDataHome(home);
    request.readSettings = true;
    const ops::Result r = upgrade.plan(request);
    EXPECT_EQ(r.outcome, ops::Outcome::Refused);
    EXPECT_EQ(r.text, firmware::kLoaderNotToldApartText);
    CloseDevice();

    firmware::UpgradeJournal j = journalOf(true);
    j.settings.usbPort.clear();
    write(j);
    using State = ops::UnfinishedUpgrade::State;
    EXPECT_EQ(ops::FindUnfinishedUpgrade().state, State::Absent); // a keypad and a loader
    sim::VirtualBus::instance().unplug(foreign);
    EXPECT_EQ(ops::FindUnfinishedUpgrade().state, State::Running);
    EXPECT_EQ(foreign->model.totalReports(), 0);
}

// The journal's file is outside input: only a regular file of bounded size,
// numbers in range, and writing replaces a link rather than following it.
TEST_F(UpgradeOperationTest, JournalInputIsBoundedAndLinksAreNotFollowed) {
    const std::string path = firmware::UpgradeJournalPath();
    write(journalOf(true));
    std::string text;
    {
        std::ifstream in(path);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto readBack = [&](const std::string& body) {
        fs::remove(path);
        std::ofstream(path) << body;
        std::string why;
        const auto j = firmware::ReadUpgradeJournal(why);
        return j ? std::string("read") : why;
    };
    EXPECT_EQ(readBack(text), "read");
    std::string wrapped = text;
    wrapped.replace(wrapped.find("\"led_brightness\": 9"), 19, "\"led_brightness\": 4294967305");
    EXPECT_NE(readBack(wrapped).find("out of range"), std::string::npos);
    std::string fraction = text;
    fraction.replace(fraction.find("\"led_brightness\": 9"), 19, "\"led_brightness\": 9.5");
    EXPECT_NE(readBack(fraction).find("not a whole number"), std::string::npos);
    EXPECT_NE(readBack(text + std::string(firmware::kMaxJournalBytes, ' ')).find("at most"),
              std::string::npos);

    // A link or a FIFO at the journal's path is not read.
    const fs::path elsewhere = stateHome / "elsewhere.json";
    std::ofstream(elsewhere) << text;
    fs::remove(path);
    fs::create_symlink(elsewhere, path);
    std::string why;
    EXPECT_FALSE(firmware::ReadUpgradeJournal(why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos);
    // Writing replaces the link; the file it pointed to stays as it was.
    firmware::UpgradeJournal changed = journalOf(true);
    changed.settings.led_brightness = 3;
    write(changed);
    EXPECT_FALSE(fs::is_symlink(path));
    std::ifstream in(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(firmware::ReadUpgradeJournal(why)); // returns, never waits for a writer
    EXPECT_NE(why.find("not a regular file"), std::string::npos);
    fs::remove(path);
}

// After every restart the keypad is reopened on its port only when it still
// reports the serial number it had: another keypad plugged into the port
// during the wait gets nothing more (restore, import, factory reset and both
// upgrade restores reopen this way).
TEST_F(UpgradeOperationTest, AKeypadSwappedInOnThePortIsNotReopened) {
    const std::string serial = "OVX000777111";
    EXPECT_TRUE(RescanForKeypad({serial, keypad->port()}, false));
    keypad->model.setSerial("OVX000999999"); // as another keypad in its place
    keypad->model.clearLog();
    EXPECT_FALSE(RescanForKeypad({serial, keypad->port()}, false));
    EXPECT_EQ(OpenKeypadIdentity(), KeypadIdentity{});
    for (const auto& r : keypad->model.log())
        EXPECT_EQ(r.command, GetStatus);
    // Unknown serial number: the port alone tells it, without an exchange.
    keypad->model.clearLog();
    EXPECT_TRUE(RescanForKeypad({"", keypad->port()}, false));
    EXPECT_TRUE(keypad->model.log().empty());

    // By serial number alone: the one keypad reporting it, never one of two;
    // by nothing at all, only a keypad alone on the bus.
    keypad->model.setSerial(serial);
    const auto twin = plugKeypad();
    twin->model.setSerial("OVX000999999");
    EXPECT_TRUE(RescanForKeypad({serial, ""}, false));
    EXPECT_EQ(OpenKeypadIdentity().usbPort, keypad->port());
    EXPECT_TRUE(RescanForKeypad({"OVX000999999", ""}, false));
    EXPECT_EQ(OpenKeypadIdentity().usbPort, twin->port());
    twin->model.setSerial(serial);
    EXPECT_FALSE(RescanForKeypad({serial, ""}, false));
    EXPECT_FALSE(RescanForKeypad({"", ""}, false));
    EXPECT_FALSE(KeypadCanBeFoundAgain({serial, ""}));
    EXPECT_TRUE(KeypadCanBeFoundAgain({serial, keypad->port()}));
    sim::VirtualBus::instance().unplug(twin);
    EXPECT_TRUE(KeypadCanBeFoundAgain({serial, ""}));
    EXPECT_TRUE(RescanForKeypad({"", ""}, false));
    EXPECT_EQ(OpenKeypadIdentity().usbPort, keypad->port());
}

// The settings of a journal go without a question only to a keypad reporting
// its serial number, or the serial number and options new firmware starts
// with; a blank serial number matches nothing, a silent keypad nobody.
TEST(JournalAcceptance, OnlyTheUpgradedKeypadOrFreshFirmwareTakesTheSettings) {
    const auto statusOf = [](const std::string& serial, uint8_t options) {
        DeviceStatus s;
        s.serialNumber = serial;
        s.options = options;
        return std::optional<DeviceStatus>(s);
    };
    const std::string blank(12, ' ');
    struct Case {
        std::string journalSerial;
        std::optional<DeviceStatus> status;
        bool takes;
    };
    const Case cases[] = {
        {"OVX000777111", std::nullopt, false},
        {"OVX000777111", statusOf("OVX000777111", 5), true},
        {"OVX000777111", statusOf("OVX000777222", 5), false},
        {"OVX000777111", statusOf("OVX000777222", 0), false},
        {"OVX000777111", statusOf("OVX000000000", 0), true},
        {"OVX000777111", statusOf("OVX000000000", 5), false},
        {"OVX000777111", statusOf(blank, 0), true},
        {"OVX000777111", statusOf(blank, 5), false},
        {blank, statusOf(blank, 5), false},
    };
    for (const Case& c : cases) {
        firmware::UpgradeJournal j;
        j.settings.serialNumber = c.journalSerial;
        EXPECT_EQ(firmware::KeypadMayTakeJournal(j, c.status), c.takes)
            << "journal '" << c.journalSerial << "', keypad '"
            << (c.status ? c.status->serialNumber : "silent") << "' options "
            << (c.status ? int(c.status->options) : -1);
    }
    EXPECT_TRUE(ops::SerialIdentifiesNobody("000000000000"));
    EXPECT_TRUE(ops::SerialIdentifiesNobody("000 00000000"));
    EXPECT_FALSE(ops::SerialIdentifiesNobody("OVX000000001"));
    EXPECT_FALSE(ops::SerialIdentifiesNobody("100000000000"));
    EXPECT_EQ(ops::PasswordSerial("OVX000777111", 0), "OVX000777111"); // its keypad in the loader
    EXPECT_EQ(ops::PasswordSerial("", 1), "");
}

// Where the keypad of a journal is: on the journal's port only, whatever else
// is attached; without a port, only a device alone on the bus is taken.
TEST_F(UpgradeOperationTest, TheJournalsKeypadIsLookedForOnItsPortOrAloneOnTheBus) {
    using K = firmware::JournalKeypad;
    const auto where = [&](const std::string& port) {
        firmware::UpgradeJournal j = journalOf(true);
        j.settings.usbPort = port;
        return firmware::FindJournalKeypad(j, firmware::LoaderIds::FromResources());
    };
    const std::string mine = keypad->port();
    const std::string elsewhere = "9-9.9";
    EXPECT_EQ(where(mine), K::Running);
    EXPECT_EQ(where(elsewhere), K::Absent); // another port's keypad is not it
    EXPECT_EQ(where(""), K::Running);

    const auto foreign = sim::makeLoader();
    sim::VirtualBus::instance().plug(foreign);
    EXPECT_EQ(where(mine), K::Running); // the loader on another port is not it
    EXPECT_EQ(where(foreign->port()), K::InLoader);
    EXPECT_EQ(where(""), K::Absent); // a keypad and a loader
    const auto second = plugKeypad();
    sim::VirtualBus::instance().unplug(foreign);
    EXPECT_EQ(where(""), K::Absent); // two keypads
    EXPECT_EQ(where(second->port()), K::Running);
    sim::VirtualBus::instance().unplug(second);

    toLoader();
    EXPECT_EQ(where(mine), K::InLoader);
    EXPECT_EQ(where(elsewhere), K::Absent);
    EXPECT_EQ(where(""), K::InLoader);
    sim::VirtualBus::instance().plug(foreign);
    EXPECT_EQ(where(""), K::Absent); // two loaders
    EXPECT_EQ(where(mine), K::InLoader);
    EXPECT_EQ(foreign->model.totalReports(), 0);
}

// Which loader an upgrade may program, with and without a keypad open, a
// loader named, ports that can or cannot be told.
TEST_F(UpgradeOperationTest, TheLoaderProgrammedIsOnlyOneKnownToBeTheKeypads) {
    using Source = firmware::TargetSource;
    const firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    const auto choose = [&](Source source, const std::string& path = "") {
        return firmware::ChooseUpgradeTarget(ids, source, path);
    };
    const auto pathOf = [&](const std::shared_ptr<sim::VirtualLoader>& l) {
        uint16_t vid = 0, pid = 0;
        EXPECT_TRUE(ids.Numbers(vid, pid));
        std::string found;
        hid_device_info* list = hid_enumerate(vid, pid);
        for (hid_device_info* it = list; it; it = it->next)
            if (it->path && bsl::UsbPortOfHidPath(it->path) == l->port())
                found = it->path;
        hid_free_enumeration(list);
        return found;
    };
    const auto expect = [](const firmware::UpgradeTarget& t, const std::string& refusal, bool enter,
                           bool unnamed, const std::string& port, bool nothing, const char* what) {
        EXPECT_EQ(t.refusal, refusal) << what;
        EXPECT_EQ(t.enterBootloader, enter) << what;
        EXPECT_EQ(t.unnamedLoader, unnamed) << what;
        EXPECT_EQ(t.usbPort, port) << what;
        EXPECT_EQ(t.nothingAttached, nothing) << what;
    };
    const std::string apart = firmware::kLoaderNotToldApartText;

    // Nothing open.
    CloseDevice();
    expect(choose(Source::OpenKeypad), firmware::kNothingToUpgradeText, false, false, "", true,
           "no keypad open, no loader");
    const auto first = sim::makeLoader();
    sim::VirtualBus::instance().plug(first);
    expect(choose(Source::OpenKeypad), "", false, true, first->port(), false, "a lone loader");
    expect(choose(Source::AttachedLoader), "", false, true, first->port(), false,
           "--recover, a lone loader");
    expect(choose(Source::AttachedLoader, pathOf(first)), "", false, false, first->port(), false,
           "--recover --path, one loader");
    const auto planFlags = [&](bool recover) {
        ops::FirmwareUpgrade upgrade;
        ops::UpgradeRequest request;
        request.program = "orvexctl";
        request.folders = firmware::LoaderFolders::ForDataHome(home);
        request.recover = recover;
        EXPECT_TRUE(upgrade.plan(request).ok());
        return flags(upgrade);
    };
    EXPECT_TRUE(has(planFlags(false), "--recover"));
    EXPECT_FALSE(has(planFlags(true), "--recover"));
    const auto second = sim::makeLoader();
    sim::VirtualBus::instance().plug(second);
    expect(choose(Source::OpenKeypad), apart, false, false, "", false, "no keypad, two loaders");
    expect(choose(Source::AttachedLoader), apart, false, false, "", false, "--recover, two");
    expect(choose(Source::AttachedLoader, pathOf(second)), "", false, false, second->port(), false,
           "--recover --path, the second of two");
    expect(choose(Source::AttachedLoader, "/nowhere"),
           "/nowhere is not an attached MSP430 USB bootstrap loader (USB 2047:0200).", false, false,
           "", false, "--recover --path, not attached");

    // The keypad open, with its port, beside another device's loader.
    ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
    expect(choose(Source::OpenKeypad), "", true, false, keypad->port(), false,
           "the open keypad beside loaders");
    sim::VirtualBus::instance().unplug(first);
    sim::VirtualBus::instance().unplug(second);
    CloseDevice();

    // Ports that cannot be told.
    const auto portless = sim::makeLoader();
    portless->usbPort.clear();
    sim::VirtualBus::instance().plug(portless);
    const std::string portlessPath = pathOf(portless);
    ASSERT_FALSE(portlessPath.empty());
    expect(choose(Source::AttachedLoader, portlessPath), "", false, false, "", false,
           "--recover --path, a port-less loader alone");
    sim::VirtualBus::instance().plug(first);
    expect(choose(Source::AttachedLoader, portlessPath), apart, false, false, "", false,
           "--recover --path, a port-less loader beside another");
    expect(choose(Source::AttachedLoader, pathOf(first)), "", false, false, first->port(), false,
           "--recover --path, the one with a port beside a port-less one");
    sim::VirtualBus::instance().unplug(first);
    sim::VirtualBus::instance().unplug(portless);
    expect(choose(Source::AttachedLoader, "/nowhere"),
           "/nowhere is not an attached MSP430 USB bootstrap loader (USB 2047:0200).", false, false,
           "", true, "--recover --path, no loader at all");
    expect(choose(Source::AttachedLoader),
           "No MSP430 USB bootstrap loader (USB 2047:0200) is attached.", false, false, "", true,
           "--recover, no loader at all");

    keypad->usbPort.clear();
    ASSERT_TRUE(RescanForDevice());
    expect(choose(Source::OpenKeypad), "", true, false, "", false,
           "a port-less keypad alone on the bus");
    const auto other = plugKeypad();
    expect(choose(Source::OpenKeypad), kKeypadNotToldApartText, false, false, "", false,
           "a port-less keypad beside another keypad");
    EXPECT_TRUE(other->model.log().empty());
}

// An unfinished upgrade refuses a new one, unless the user declined to finish
// it and the new one is of the journal's keypad (its port, or a journal
// without one); a journal whose keypad is absent is never replaced. A
// password kept for a serial number a running keypad reports beside the one
// in its loader is not trusted.
TEST_F(UpgradeOperationTest, AnUnfinishedUpgradeIsReplacedOnlyByOneOfItsKeypad) {
    const auto second = plugKeypad();
    second->model.setSerial("OVX000777222");
    struct Case {
        std::string journalPort;
        bool declined;
        bool refused;
        const char* what;
        bool alone = false; // the second keypad unplugged
    };
    const Case cases[] = {
        {keypad->port(), false, true, "its keypad, not declined"},
        {keypad->port(), true, false, "its keypad, declined"},
        {"", true, false, "a journal without a port, its keypad alone, declined", true},
        {"", true, true, "a journal without a port, two keypads, declined"},
        {"9-9.9", true, true, "its keypad absent, declined"},
        {second->port(), true, true, "another keypad's journal, declined"},
    };
    for (const Case& c : cases) {
        firmware::UpgradeJournal j = journalOf(true);
        j.settings.usbPort = c.journalPort;
        write(j);
        if (c.alone)
            sim::VirtualBus::instance().unplug(second);
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        ops::FirmwareUpgrade upgrade;
        ops::UpgradeRequest request;
        request.program = "orvex-config";
        request.folders = firmware::LoaderFolders::ForDataHome(home);
        request.unfinishedDeclined = c.declined;
        EXPECT_EQ(upgrade.plan(request).outcome == ops::Outcome::Refused, c.refused) << c.what;
        if (c.alone)
            sim::VirtualBus::instance().plug(second);
    }
    fs::remove(firmware::UpgradeJournalPath());

    // The keypad in its loader and another running keypad reporting its
    // serial number: the password kept under it names neither.
    const firmware::LoaderFolders folders = keptPassword("OVX000777111");
    toLoader();
    write(journalOf(true));
    FirmwareImage image;
    ASSERT_EQ(ReadFirmwareImage(ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt", image), "");
    const auto resumeFlags = [&] {
        ops::FirmwareUpgrade resume;
        EXPECT_TRUE(resume.planResume({"orvexctl", folders, std::nullopt, image, false}).ok());
        return flags(resume);
    };
    EXPECT_FALSE(has(resumeFlags(), "--allow-mass-erase"));
    second->model.setSerial("OVX000777111");
    EXPECT_TRUE(has(resumeFlags(), "--allow-mass-erase"));
    EXPECT_EQ(loader->model.totalReports(), 0);
}

// The steps after the plan act only on what it chose: the keypad open when it
// was made, the loader on the journal's port (a port-less journal's loader
// only while it is alone), the keypad reporting the journal's serial number.
TEST_F(UpgradeOperationTest, TheStepsActOnlyOnThePlannedKeypadAndLoader) {
    const std::string journalPath = firmware::UpgradeJournalPath();
    FirmwareImage image;
    ASSERT_EQ(ReadFirmwareImage(ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt", image), "");
    const firmware::LoaderFolders folders = firmware::LoaderFolders::ForDataHome(home);
    const auto resumeFlags = [&] {
        ops::FirmwareUpgrade resume;
        EXPECT_TRUE(
            resume.planResume({"orvexctl", folders, std::nullopt, std::nullopt, false}).ok());
        return flags(resume);
    };
    write(journalOf(true));
    EXPECT_FALSE(has(resumeFlags(), "--force"));
    keypad->model.setSerial("OVX000777222");
    EXPECT_TRUE(has(resumeFlags(), "--force"));
    keypad->model.setSerial("OVX000777111");
    firmware::UpgradeJournal unread = journalOf(true);
    unread.settings.captured = false;
    write(unread);
    {
        ops::FirmwareUpgrade resume;
        ASSERT_TRUE(
            resume.planResume({"orvexctl", folders, std::nullopt, std::nullopt, false}).ok());
        EXPECT_TRUE(resume.nothingToDo());
        EXPECT_FALSE(fs::exists(journalPath));
    }
    firmware::UpgradeJournal absent = journalOf(true);
    absent.settings.usbPort = "9-9.9";
    write(absent);
    {
        ops::FirmwareUpgrade resume;
        EXPECT_EQ(resume.planResume({"orvexctl", folders, std::nullopt, image, false}).outcome,
                  ops::Outcome::NoKeypad);
    }
    std::ofstream(journalPath) << "{ not a journal";
    {
        ops::FirmwareUpgrade upgrade;
        ops::UpgradeRequest any;
        any.program = "orvexctl";
        any.folders = folders;
        EXPECT_EQ(upgrade.plan(any).outcome, ops::Outcome::FileError);
    }
    fs::remove(journalPath);

    const auto foreign = sim::makeLoader();
    sim::VirtualBus::instance().plug(foreign);
    EXPECT_TRUE(ops::OpensRunningKeypadFirst(false)); // a keypad beside a loader
    ops::UpgradeRequest request;
    request.program = "orvexctl";
    request.folders = folders;
    request.readSettings = true;
    request.restoreWanted = false;
    {
        // Another keypad opened while the questions were up hears nothing.
        const auto other = plugKeypad();
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        ops::FirmwareUpgrade upgrade;
        ASSERT_TRUE(upgrade.plan(request).ok());
        ASSERT_TRUE(RescanForKeypad({"", other->port()}, false));
        other->model.clearLog();
        EXPECT_EQ(upgrade.enterLoader(true).outcome, ops::Outcome::NoKeypad);
        for (const auto& r : other->model.log())
            EXPECT_NE(r.command, EnterBootloader);
        EXPECT_FALSE(fs::exists(journalPath));
        sim::VirtualBus::instance().unplug(other);
    }
    {
        // Without the restore nothing is kept to send back; the keypad waits
        // in its loader with nothing downloaded.
        ASSERT_TRUE(RescanForKeypad({"", keypad->port()}, false));
        ops::FirmwareUpgrade upgrade;
        ASSERT_TRUE(upgrade.plan(request).ok());
        ASSERT_TRUE(upgrade.enterLoader(true).ok());
        std::string why;
        const auto j = firmware::ReadUpgradeJournal(why);
        ASSERT_TRUE(j) << why;
        EXPECT_FALSE(j->settings.captured);
        EXPECT_TRUE(upgrade.keypadLeftInLoader());
        // A download that failed its verification has touched the firmware:
        // the keypad is no longer one left untouched in its loader.
        loader->model.injectFault({sim::LoaderFault::WrongCrc, 1});
        EXPECT_EQ(upgrade.download(image, kQuiet).outcome, ops::Outcome::VerifyFailed);
        EXPECT_TRUE(sim::VirtualBus::instance().present(loader));
        EXPECT_FALSE(upgrade.keypadLeftInLoader());
    }
    {
        ops::FirmwareUpgrade loaderOnly;
        ASSERT_TRUE(loaderOnly.planLoaderOnly("orvex-config").ok());
        EXPECT_FALSE(loaderOnly.keypadLeftInLoader()); // it sent no keypad there
    }
    EXPECT_FALSE(ops::OpensRunningKeypadFirst(false)); // loaders only
    EXPECT_TRUE(ops::OpensRunningKeypadFirst(true));

    // The journal's port tells its loader from the other one; without a port
    // the loader found alone must still be alone after the questions.
    {
        ops::FirmwareUpgrade resume;
        ASSERT_TRUE(resume.planResume({"orvexctl", folders, std::nullopt, image, false}).ok());
        EXPECT_TRUE(resume.afterQuestions().ok());
        EXPECT_EQ(resume.usbPort(), keypad->port());
    }
    firmware::UpgradeJournal portless = journalOf(true);
    portless.settings.usbPort.clear();
    write(portless);
    sim::VirtualBus::instance().unplug(foreign);
    {
        ops::FirmwareUpgrade resume;
        ASSERT_TRUE(resume.planResume({"orvexctl", folders, std::nullopt, image, false}).ok());
        sim::VirtualBus::instance().plug(foreign);
        EXPECT_EQ(resume.afterQuestions().outcome, ops::Outcome::NoKeypad);
    }
    sim::VirtualBus::instance().unplug(foreign);
    sim::VirtualBus::instance().unplug(loader);
    EXPECT_TRUE(ops::OpensRunningKeypadFirst(false)); // nothing attached
    EXPECT_EQ(foreign->model.totalReports(), 0);
}
