// The main window's configuration-file actions against the virtual keypad:
// "Save Changes", "Reset From Configuration File", import and export.
// Each test runs with its own XDG data home, never the real one.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/keypad_presence.h"
#include "test_env.h"
#include "ui/main/main_window.h"

using namespace orvex;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

void pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

struct Settings {
    int type, led, colour, buzzer, periodIndex;
};

class ConfigUiTest : public test::VirtualEnvTest {
protected:
    fs::path dir;
    std::optional<std::string> oldDataHome;
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::unique_ptr<MainWindow> form;
    std::vector<sim::ReceivedCommand> startLog;

    void SetUp() override {
        test::VirtualEnvTest::SetUp();
        std::string t = (fs::temp_directory_path() / "orvex-cfgui-XXXXXX").string();
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t;
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            oldDataHome = old;
        keypad = plugKeypad();
        keypad->model.setOptions(7);
        startAs("userA");
    }
    void TearDown() override {
        form.reset();
        FileName.clear();
        if (oldDataHome)
            ::setenv("XDG_DATA_HOME", oldDataHome->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        fs::remove_all(dir);
        test::VirtualEnvTest::TearDown();
    }
    // Starts the window as a user whose data home is dir/user.
    void startAs(const std::string& user) {
        ::setenv("XDG_DATA_HOME", (dir / user).c_str(), 1);
        form = std::make_unique<MainWindow>();
        form->startUp();
        startLog = keypad->model.log();
        keypad->model.clearLog();
        prompts.clear();
    }
    void choose(const Settings& s) {
        pick(form->keypadTypeList, s.type);
        pick(form->ledBrightnessList, s.led);
        pick(form->ledColourList, s.colour);
        pick(form->buzzerList, s.buzzer);
        pick(form->buzzerPeriodList, s.periodIndex);
    }
    void expectKeypadHolds(const Settings& s) {
        const auto held = keypad->model.running();
        EXPECT_EQ(held.keypadType, s.type);
        EXPECT_EQ(held.ledBrightness, s.led);
        EXPECT_EQ(held.jackLedBrightness, s.colour);
        EXPECT_EQ(held.buzzer, s.buzzer);
        EXPECT_EQ(held.buzzerPeriod, s.periodIndex + 1);
        EXPECT_EQ(keypad->model.powerUp(), held);
    }
    // Message boxes only, without the dialog records.
    std::vector<std::string> boxes() const {
        std::vector<std::string> out;
        for (const auto& m : prompts.messages())
            if (!m.caption.empty())
                out.push_back(m.text);
        return out;
    }
    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }
    // A copy as another user exports it, in its own folder.
    fs::path exchangeCopy(const std::string& text, const char* name = "USBUtilityIllumCfg.ini") {
        const fs::path folder = dir / "exchange";
        fs::create_directories(folder);
        spit(folder / name, text);
        return folder / name;
    }
};

const Settings kSaved{2, 7, 3, 0, 5};
const Settings kOther{0, 1, 9, 1, 0};

} // namespace

TEST_F(ConfigUiTest, SaveChangeEverythingAndRestore) {
    // A customised table the factory reset will wipe.
    auto held = keypad->model.running();
    held.customTables[0] = {0, 4, 0, 5, 0, 6, 0, 7, 0xE1, 8, 0, 9, 0, 10, 0, 11, 0, 12, 0, 13};
    keypad->model.setRunning(held);
    choose(kSaved);
    form->saveChanges();
    ASSERT_TRUE(boxes().empty());
    EXPECT_EQ(GetSettings("SerialNumber", FileName), "OVX000123456");
    EXPECT_EQ(GetSettings("CodeTableValues", FileName),
              "0,4,0,5,0,6,0,7,225,8,0,9,0,10,0,11,0,12,0,13,");

    choose(kOther);
    keypad->model.setOptions(0);
    keypad->model.clearLog();
    form->restoreFromConfigFile();

    EXPECT_TRUE(boxes().empty());
    expectKeypadHolds(kSaved);
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_EQ(keypad->model.running().customTables[0], held.customTables[0]);
    EXPECT_EQ(commands(),
              (std::vector<uint8_t>{SetOptions, FactoryReset, GetStatus, SetKeypadType,
                                    LoadCodeTable, SetLedBrightness, SetJackLedBrightness,
                                    SetBuzzer, SetBuzzerPeriod, WriteDefaults, GetStatus}));
    // The window shows what the keypad now holds.
    EXPECT_EQ(form->keypadTypeList->currentIndex(), kSaved.type);
    EXPECT_EQ(form->ledColourList->currentIndex(), kSaved.colour);
    EXPECT_EQ(form->buzzerPeriodList->currentIndex(), kSaved.periodIndex);
    EXPECT_TRUE(form->statusPanel->toPlainText().contains("Customise Table"));
    EXPECT_TRUE(form->saveChangesButton->isEnabled());
}

TEST_F(ConfigUiTest, SaveWithoutStatusLeavesTheFile) {
    const std::string before = slurp(FileName);
    keypad->model.injectFault({sim::Fault::Refuse});
    form->SaveToConfigFile();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Unable to Save Config file.\n"});
    EXPECT_EQ(slurp(FileName), before);
}

TEST_F(ConfigUiTest, FreshStartAndResetBeforeAnySaveSendNothing) {
    // The start made the file in this user's data home and applied nothing.
    EXPECT_EQ(FileName, (dir / "userA/HaldenInterface/USBOrvexIllumUtilityCfg.ini").string());
    EXPECT_TRUE(fs::is_regular_file(FileName));
    ASSERT_EQ(startLog.size(), 1u);
    EXPECT_EQ(startLog[0].command, GetStatus);

    choose(kOther);
    keypad->model.clearLog();
    form->restoreFromConfigFile();
    EXPECT_TRUE(boxes().empty());
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});
}

TEST_F(ConfigUiTest, ResetWithUnreadableValueNamesItAndSendsNothing) {
    choose(kSaved);
    form->saveChanges();
    ASSERT_TRUE(CIniFile::SetValue("KeypadLayout", "", "appSettings", FileName));
    choose(kOther);
    keypad->model.clearLog();
    form->restoreFromConfigFile();
    ASSERT_EQ(prompts.messages().size(), 1u);
    EXPECT_EQ(prompts.messages()[0].text,
              "Unable to read KeypadLayout from the configuration file..\n");
    EXPECT_EQ(prompts.messages()[0].caption, kCaption);
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});
    EXPECT_EQ(keypad->model.running().ledBrightness, kOther.led);
}

TEST_F(ConfigUiTest, ImportChecksNameAndFormatFirst) {
    const std::string own = slurp(FileName);
    const std::string saved = " [appSettings]\r\n FirstUp=Yes\r\n KeypadLayout=1\r\n";
    const struct {
        const char* name;
        std::optional<std::string> text; // none: the file does not exist
        std::string box;
    } cases[] = {
        {"usbutilityillumcfg.ini", saved, "Incorrect Filename.\n"},
        {"USBUtilityIllumCfg.ini.bak", saved, "Incorrect Filename.\n"},
        {"USBUtilityIllumCfg.ini", "[otherSection]\r\nFirstUp=Yes\r\n",
         "File is incorrect format.\n"},
        {"USBUtilityIllumCfg.ini", std::nullopt, "File is incorrect format.\n"},
        {"USBUtilityIllumCfg.ini", "[appSettings]\r\nFirstUp=Yes\r\n[broken\r\n",
         "Exception :Failed to copy the new file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.text.value_or("(missing)"));
        fs::remove_all(dir / "exchange");
        const fs::path file = c.text ? exchangeCopy(*c.text, c.name) : dir / "exchange" / c.name;
        prompts.clear();
        prompts.chooseFile(file.string());
        form->importConfigFile();
        EXPECT_EQ(boxes(), std::vector<std::string>{c.box});
        EXPECT_EQ(prompts.messages().back().caption, kCaption);
    }
    // Cancelled dialog: nothing at all.
    prompts.clear();
    form->importConfigFile();
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(slurp(FileName), own);
}

TEST_F(ConfigUiTest, ImportOfUnsavedCopySendsNothingButReplacesTheFile) {
    const std::string copy = " [appSettings]\r\n FirmwareFile=image.txt\r\n FirstUp=\r\n";
    prompts.chooseFile(exchangeCopy(copy).string());
    form->importConfigFile();
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(slurp(FileName), copy);
}

TEST_F(ConfigUiTest, ImportWithUnreadableValueKeepsKeypadAndFile) {
    const std::string own = slurp(FileName);
    prompts.chooseFile(exchangeCopy(" [appSettings]\r\n FirstUp=Yes\r\n Options=7\r\n"
                                    " KeypadLayout=2\r\n CodeTableValues=0,4,0,5,\r\n"
                                    " LedBrightness=1\r\n LedColour=1\r\n Buzzer=1\r\n"
                                    " BuzzerPeriod=1\r\n")
                           .string());
    form->importConfigFile();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Exception :Failed to copy the new file.\n"});
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(slurp(FileName), own);
}

TEST_F(ConfigUiTest, ExportThenImportAsAnotherUser) {
    choose(kSaved);
    form->saveChanges();
    const std::string fileA = slurp(FileName);
    const fs::path folder = dir / "stick";
    fs::create_directory(folder);
    prompts.chooseFolder(folder.string());
    form->exportConfigFile();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"<pick folder> Select Folder - To Copy "
                                                        "The USBUtilityCfg.ini File"});
    EXPECT_EQ(slurp(folder / "USBUtilityIllumCfg.ini"), fileA);

    startAs("userB");
    ASSERT_NE(slurp(FileName), fileA);
    choose(kOther);
    keypad->model.clearLog();
    prompts.chooseFile((folder / "USBUtilityIllumCfg.ini").string());
    form->importConfigFile();
    EXPECT_TRUE(boxes().empty());
    expectKeypadHolds(kSaved);
    // The window reads the keypad again and shows what it holds now.
    const auto sent = commands();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], WriteDefaults);
    EXPECT_EQ(sent.back(), GetStatus);
    EXPECT_EQ(form->ledBrightnessList->currentIndex(), kSaved.led);
    EXPECT_EQ(form->buzzerPeriodList->currentIndex(), kSaved.periodIndex);
    EXPECT_TRUE(form->statusPanel->toPlainText().contains("Customise Table"));
    EXPECT_EQ(form->statusBar->currentMessage(),
              MainWindow::ImportedText(
                  QString::fromStdString((folder / "USBUtilityIllumCfg.ini").string()), true));
    EXPECT_EQ(slurp(FileName), fileA);
    EXPECT_EQ(FileName, (dir / "userB/HaldenInterface/USBOrvexIllumUtilityCfg.ini").string());
}

TEST_F(ConfigUiTest, ImportCopiesEvenWhenTheKeypadRefuses) {
    const std::string copy = " [appSettings]\r\n FirstUp=Yes\r\n Options=7\r\n"
                             " KeypadLayout=1\r\n LedBrightness=1\r\n LedColour=1\r\n"
                             " Buzzer=1\r\n BuzzerPeriod=1\r\n";
    form->keypadTypeList->setCurrentIndex(1); // shown, not yet sent
    ASSERT_EQ(form->lastKeypadType, 0);
    keypad->model.injectFault({sim::Fault::Refuse});
    prompts.chooseFile(exchangeCopy(copy).string());
    form->importConfigFile();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Unable to set option..\n"});
    EXPECT_EQ(commands(), (std::vector<uint8_t>{SetOptions, GetStatus}));
    EXPECT_EQ(form->keypadTypeList->currentIndex(), 0); // back on what the keypad holds
    EXPECT_TRUE(form->statusBar->currentMessage().isEmpty()) << "no success line";
    EXPECT_EQ(slurp(FileName), copy);
}

TEST_F(ConfigUiTest, ImportWhileTheKeypadIsHeldCopiesAndSendsNothing) {
    const std::string copy = " [appSettings]\r\n FirstUp=Yes\r\n Options=7\r\n"
                             " KeypadLayout=1\r\n LedBrightness=1\r\n LedColour=1\r\n"
                             " Buzzer=1\r\n BuzzerPeriod=1\r\n";
    const std::string busy = MainWindow::KeypadBusyText().toStdString() + "\n";
    keypad->model.clearLog();
    {
        KeypadSequence held; // as a firmware window holds it
        const fs::path file = exchangeCopy(copy);
        prompts.chooseFile(file.string());
        form->importConfigFile();
        EXPECT_EQ(boxes(), std::vector<std::string>{busy});
        EXPECT_TRUE(keypad->model.log().empty());
        EXPECT_EQ(slurp(FileName), copy);
        EXPECT_EQ(form->statusBar->currentMessage(),
                  MainWindow::ImportedNotSentText(QString::fromStdString(file.string())));

        // An unreadable copy is refused as ever, held keypad or not.
        prompts.chooseFile(
            exchangeCopy(" [appSettings]\r\n FirstUp=Yes\r\n Options=x\r\n").string());
        form->importConfigFile();
        EXPECT_EQ(boxes().back(), "Exception :Failed to copy the new file.\n");
        EXPECT_EQ(slurp(FileName), copy);
    }
}

TEST_F(ConfigUiTest, ExportAsksBeforeOverwriting) {
    const fs::path folder = dir / "stick";
    fs::create_directory(folder);
    spit(folder / "USBUtilityIllumCfg.ini", "old copy");

    prompts.chooseFolder(folder.string());
    prompts.answerNo();
    form->exportConfigFile();
    const auto m = prompts.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].text, "USBUtilityCfg.ini file already exists. Do you want to overwrite it?");
    EXPECT_EQ(m[1].caption, "Save USBUtilityCfg File");
    EXPECT_EQ(m[1].buttons, MsgButtons::YesNo);
    EXPECT_EQ(m[1].icon, MsgIcon::Question);
    EXPECT_EQ(slurp(folder / "USBUtilityIllumCfg.ini"), "old copy");

    prompts.clear();
    prompts.chooseFolder(folder.string());
    prompts.answerYes();
    form->exportConfigFile();
    EXPECT_EQ(boxes().size(), 1u); // the question only
    EXPECT_EQ(slurp(folder / "USBUtilityIllumCfg.ini"), slurp(FileName));

    // A link there, even one pointing nowhere, is asked about; Yes replaces
    // the link itself, never the file it points to.
    fs::remove(folder / "USBUtilityIllumCfg.ini");
    fs::create_symlink(dir / "elsewhere.ini", folder / "USBUtilityIllumCfg.ini");
    prompts.clear();
    prompts.chooseFolder(folder.string());
    prompts.answerNo();
    form->exportConfigFile();
    EXPECT_EQ(boxes(), std::vector<std::string>{
                           "USBUtilityCfg.ini file already exists. Do you want to overwrite it?"});
    EXPECT_FALSE(fs::exists(dir / "elsewhere.ini"));
    prompts.clear();
    prompts.chooseFolder(folder.string());
    prompts.answerYes();
    form->exportConfigFile();
    EXPECT_FALSE(fs::is_symlink(folder / "USBUtilityIllumCfg.ini"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere.ini"));
    EXPECT_EQ(slurp(folder / "USBUtilityIllumCfg.ini"), slurp(FileName));

    // Cancelled picker, and an own file that is gone.
    prompts.clear();
    form->exportConfigFile();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Unable to save the cfg file.\n"});
    prompts.clear();
    fs::remove(FileName);
    prompts.chooseFolder(folder.string());
    prompts.answerYes();
    form->exportConfigFile();
    EXPECT_EQ(boxes().back(), "Failed to export the file\n");
    EXPECT_FALSE(slurp(folder / "USBUtilityIllumCfg.ini").empty());
}
