// The configuration file and the restore against the virtual keypad, in virtual
// time, with every message recorded.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "test_env.h"

using namespace orvex;
namespace fs = std::filesystem;

namespace {

const std::string kUpdateFailed = "Failed to update USBUtilityCfg.ini file.\n";

// 20 bytes as the editors would leave them: modifier, usage, key by key.
const std::array<uint8_t, kConfigTableBytes> kTable = {
    0, 30, 0, 31, 0xE1, 32, 0, 0x4F, 0xE0, 0x50, 0, 0x28, 0xE7, 255, 0, 4, 0, 5, 0, 6};
const std::string kTableText = "0,30,0,31,225,32,0,79,224,80,0,40,231,255,0,4,0,5,0,6,";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

fs::path makeTempDir() {
    std::string t = (fs::temp_directory_path() / "orvex-cfg-XXXXXX").string();
    if (!::mkdtemp(t.data()))
        throw std::runtime_error("mkdtemp failed");
    return t;
}

ConfigSnapshot snapshotFor(int type) {
    ConfigSnapshot s;
    s.keypadType = type;
    s.ledBrightness = 8;
    s.jackLedBrightness = 1;
    s.buzzer = 0;
    s.buzzerPeriodIndex = 3;
    s.options = 6;
    s.codeTable = kTable;
    s.serialNumber = "OVX000123456";
    return s;
}

// The restore as the operations run it on the open keypad: the file's values,
// then their sends.
RestoreResult restoreFrom(const std::string& file) {
    const auto values = ReadRestoreValues(file);
    return values ? SendRestoreValues(*values, OpenKeypadIdentity()) : RestoreResult::NotSaved;
}

class UtilityConfigTest : public test::KeypadTest {
protected:
    fs::path dir;

    void SetUp() override {
        test::KeypadTest::SetUp();
        dir = makeTempDir();
        PrepareConfigFileAt((dir / "share").string());
        // As the window has: the keypad's status, and with it its serial
        // number, read before any restore.
        DeviceStatus status;
        ASSERT_EQ(ReadDeviceStatus(status), 0);
        keypad->model.clearLog();
    }
    void TearDown() override {
        FileName.clear();
        fs::remove_all(dir);
        test::KeypadTest::TearDown();
    }
    // A keypad far from the saved settings, so a restore has to move every one.
    void scramble() {
        auto s = keypad->model.running();
        s.ledBrightness = 2;
        s.jackLedBrightness = 9;
        s.buzzer = 1;
        s.buzzerPeriod = 9;
        s.keypadType = 1;
        keypad->model.setRunning(s);
        keypad->model.setPowerUp(s);
        keypad->model.setOptions(1);
        keypad->model.clearLog();
    }
    void setValue(const std::string& key, const std::string& value) {
        ASSERT_TRUE(CIniFile::SetValue(key, value, kConfigSection, FileName));
    }
};

} // namespace

TEST_F(UtilityConfigTest, FirstStartCreatesFolderAndFreshFile) {
    EXPECT_EQ(FileName, (dir / "share/HaldenInterface/USBOrvexIllumUtilityCfg.ini").string());
    EXPECT_EQ(slurp(FileName), " [appSettings]\r\n"
                               " SerialNumber=\r\n"
                               " Options=\r\n"
                               " FirmwareFile=\r\n"
                               " CodeTableValues=\r\n"
                               " BuzzerPeriod=\r\n"
                               " Buzzer=\r\n"
                               " LedColour=\r\n"
                               " LedBrightness=\r\n"
                               " KeypadLayout=\r\n"
                               " FirstUp=\r\n");
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_TRUE(prompts.messages().empty());

    // A later start leaves the user's file as it is.
    spit(FileName, "[appSettings]\nFirstUp=Yes\n");
    PrepareConfigFileAt((dir / "share").string());
    EXPECT_EQ(slurp(FileName), "[appSettings]\nFirstUp=Yes\n");

    // No data folder: no file name, and every save then fails with its message.
    PrepareConfigFileAt("");
    EXPECT_EQ(FileName, "");
    EXPECT_FALSE(SetSettings("FirstUp", "Yes"));
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kUpdateFailed});
}

TEST_F(UtilityConfigTest, SaveWritesEveryKeyInPlace) {
    ConfigSnapshot s = snapshotFor(5);
    s.options = 7;
    s.buzzerPeriodIndex = 0;
    ASSERT_TRUE(SaveSnapshot(s));
    EXPECT_EQ(slurp(FileName), " [appSettings]\r\n"
                               " SerialNumber=OVX000123456\r\n"
                               " Options=7\r\n"
                               " FirmwareFile=\r\n"
                               " CodeTableValues=" +
                                   kTableText +
                                   "\r\n"
                                   " BuzzerPeriod=0\r\n"
                                   " Buzzer=0\r\n"
                                   " LedColour=1\r\n"
                                   " LedBrightness=8\r\n"
                                   " KeypadLayout=5\r\n"
                                   " FirstUp=Yes\r\n");
    EXPECT_TRUE(prompts.messages().empty());

    // A serial number with line breaks must not break the file up.
    s.serialNumber = "OVX\r\n[bad";
    ASSERT_TRUE(SaveSnapshot(s));
    EXPECT_EQ(GetSettings("SerialNumber", FileName), "OVX  [bad");
    EXPECT_EQ(GetSettings("FirstUp", FileName), "Yes");
    // Nor a firmware file name with one (Linux allows it); only the name is kept.
    RememberFirmwareFile("/home/user/fw\nfolder/orvex\n[fw].txt");
    EXPECT_EQ(GetSettings("FirmwareFile", FileName), "orvex [fw].txt");
    EXPECT_EQ(GetSettings("FirstUp", FileName), "Yes");
}

// The snapshot is one write of the file: one failure, one message.
TEST_F(UtilityConfigTest, UnwritableFileGivesOneMessage) {
    // A directory where the file should be: not even root can write it.
    fs::remove(FileName);
    fs::create_directory(FileName);
    EXPECT_FALSE(SaveSnapshot(snapshotFor(2)));
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kUpdateFailed});
    for (const auto& m : prompts.messages())
        EXPECT_EQ(m.caption, "Halden Orvex\u2122");

    // A file that no longer loads is reported the same way and left alone.
    fs::remove(FileName);
    spit(FileName, "[appSettings\r\nFirstUp=\r\n");
    prompts.clear();
    EXPECT_FALSE(SaveSnapshot(snapshotFor(2)));
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kUpdateFailed});
    EXPECT_EQ(slurp(FileName), "[appSettings\r\nFirstUp=\r\n");
}

// Keys missing from a hand-edited file land where writing them one at a time
// would put them, comments and foreign keys kept.
TEST_F(UtilityConfigTest, SaveIntoAPartialFileMatchesKeyByKeyLayout) {
    const std::string partial = "# edited by hand\r\n[other]\r\nx=1\r\n[appSettings]\r\n"
                                "LedBrightness=2\r\n;Buzzer=1\r\nExtra=keep\r\n";
    const ConfigSnapshot s = snapshotFor(2);
    spit(FileName, partial);
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"FirstUp", "Yes"},
                                                          {"KeypadLayout", "2"},
                                                          {"LedBrightness", "8"},
                                                          {"LedColour", "1"},
                                                          {"Buzzer", "0"},
                                                          {"BuzzerPeriod", "3"},
                                                          {"CodeTableValues", kTableText},
                                                          {"Options", "6"},
                                                          {"SerialNumber", "OVX000123456"}})
        ASSERT_TRUE(SetSettings(key, value));
    const std::string keyByKey = slurp(FileName);
    spit(FileName, partial);
    ASSERT_TRUE(SaveSnapshot(s));
    EXPECT_EQ(slurp(FileName), keyByKey);
}

TEST_F(UtilityConfigTest, RestoreBringsBackEverySettingAfterFactoryReset) {
    for (int type : {2, 5, 8, 4}) {
        SCOPED_TRACE(type);
        ASSERT_TRUE(SaveSnapshot(snapshotFor(type)));
        scramble();
        const uint64_t before = clock.tick_ms();

        EXPECT_EQ(restoreFrom(FileName), RestoreResult::Restored);

        EXPECT_GE(clock.tick_ms() - before, 3000u);
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> expected = {
            {SetOptions, {6}},
            {FactoryReset, {}},
            {GetStatus, {}}, // the keypad back from the restart is the same one
            {SetKeypadType, {static_cast<uint8_t>(type)}},
        };
        if (type != 4)
            expected.push_back({LoadCodeTable, {kTable.begin(), kTable.end()}});
        expected.insert(expected.end(), {{SetLedBrightness, {8}},
                                         {SetJackLedBrightness, {1}},
                                         {SetBuzzer, {0}},
                                         {SetBuzzerPeriod, {4}}, // saved 3, sent 3 + 1
                                         {WriteDefaults, {}}});
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> got;
        for (const auto& c : keypad->model.log())
            got.push_back({c.command, c.payload});
        EXPECT_EQ(got, expected);

        const auto held = keypad->model.running();
        EXPECT_EQ(held.keypadType, type);
        EXPECT_EQ(held.ledBrightness, 8);
        EXPECT_EQ(held.jackLedBrightness, 1);
        EXPECT_EQ(held.buzzer, 0);
        EXPECT_EQ(held.buzzerPeriod, 4);
        EXPECT_EQ(keypad->model.options(), 6);
        EXPECT_EQ(keypad->model.powerUp(), held); // kept over a power cycle
        const auto table = keypad->model.tableForType(type);
        if (type == 4)
            EXPECT_EQ(held.customTables, sim::KeypadModel::factorySettings().customTables);
        else
            EXPECT_TRUE(std::equal(kTable.begin(), kTable.end(), table.begin()));
        EXPECT_TRUE(prompts.messages().empty());
    }
}

TEST_F(UtilityConfigTest, NothingIsSentUnlessFirstUpIsYes) {
    // Fresh file, a missing file and a file saved by hand with another spelling.
    EXPECT_EQ(restoreFrom(FileName), RestoreResult::NotSaved);
    EXPECT_EQ(restoreFrom((dir / "missing.ini").string()), RestoreResult::NotSaved);
    ASSERT_TRUE(SaveSnapshot(snapshotFor(2)));
    setValue("FirstUp", "yes");
    EXPECT_EQ(restoreFrom(FileName), RestoreResult::NotSaved);
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_TRUE(prompts.messages().empty());
}

TEST_F(UtilityConfigTest, UnreadableValueSendsNothing) {
    const struct {
        const char* key;
        const char* value;
    } bad[] = {
        {"KeypadLayout", ""},
        {"LedColour", "bright"},
        {"Options", "0x07"},
        {"LedBrightness", "7 8"},
        {"BuzzerPeriod", "99999999999"},
        {"CodeTableValues", "0,30,0,31,0,32,0,33,0,34,0,35,0,36,0,37,0,38,0,"},  // 19 numbers
        {"CodeTableValues", "0,30,0,31,0,,0,33,0,34,0,35,0,36,0,37,0,38,0,39,"}, // empty piece
        {"CodeTableValues", ""},
    };
    ASSERT_TRUE(SaveSnapshot(snapshotFor(8)));
    scramble();
    const auto held = keypad->model.running();
    for (const auto& b : bad) {
        SCOPED_TRACE(std::string(b.key) + "=" + b.value);
        const std::string good = GetSettings(b.key, FileName);
        setValue(b.key, b.value);
        try {
            restoreFrom(FileName);
            ADD_FAILURE() << "no error";
        } catch (const ConfigValueError& e) {
            EXPECT_EQ(e.key(), b.key);
            EXPECT_NE(std::string(e.what()).find(b.key), std::string::npos);
        }
        setValue(b.key, good);
    }
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(keypad->model.running(), held);
    EXPECT_EQ(keypad->model.options(), 1);

    // A section line without its bracket: the file cannot be read at all.
    spit(FileName, slurp(FileName) + "[broken\r\n");
    EXPECT_THROW(restoreFrom(FileName), IniFormatError);
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(UtilityConfigTest, NumbersTakeSignBlanksAndLowByte) {
    ASSERT_TRUE(SaveSnapshot(snapshotFor(4)));
    setValue("LedBrightness", "263"); // low byte 7
    setValue("LedColour", " +3\t");
    setValue("Options", "-1");              // 255
    setValue("CodeTableValues", "rubbish"); // not read for a layout without a table
    scramble();
    ASSERT_EQ(restoreFrom(FileName), RestoreResult::Restored);
    const auto log = keypad->model.log();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[0].payload, std::vector<uint8_t>{255});
    EXPECT_EQ(log[4].payload, std::vector<uint8_t>{7});
    EXPECT_EQ(log[5].payload, std::vector<uint8_t>{3});
    EXPECT_EQ(ReadConfigNumber("-2147483648", "k"), INT_MIN);
    EXPECT_THROW(ReadConfigNumber("2147483648", "k"), ConfigValueError);
    EXPECT_THROW(ReadConfigNumber("+", "k"), ConfigValueError);
}

TEST_F(UtilityConfigTest, FailedCommandStopsTheRestoreWithItsMessage) {
    ASSERT_TRUE(SaveSnapshot(snapshotFor(2)));

    keypad->model.injectFault({sim::Fault::Refuse});
    EXPECT_EQ(restoreFrom(FileName), RestoreResult::Stopped);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to set option..\n"});
    EXPECT_EQ(commandCodes(), std::vector<uint8_t>{SetOptions});

    // The table refused: its own message, and the type list stays.
    keypad->model.clearLog();
    prompts.clear();
    keypad->model.injectFault({sim::Fault::Late, 0, 0, 0}, 4); // answered normally
    keypad->model.injectFault({sim::Fault::Refuse});
    EXPECT_EQ(restoreFrom(FileName), RestoreResult::TableRefused);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to Load Table..\n"});
    EXPECT_EQ(commandCodes(), (std::vector<uint8_t>{SetOptions, FactoryReset, GetStatus,
                                                    SetKeypadType, LoadCodeTable}));

    // The keypad does not come back in time after the factory reset.
    keypad->model.clearLog();
    prompts.clear();
    keypad->model.setRestartDelayMs(8000);
    EXPECT_EQ(restoreFrom(FileName), RestoreResult::KeypadMissing);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Halden Orvex\u2122 not connected..\n"});
    EXPECT_EQ(commandCodes(), (std::vector<uint8_t>{SetOptions, FactoryReset}));
}

TEST_F(UtilityConfigTest, CopyReplacesWholeOrNothing) {
    const fs::path src = dir / "src.ini";
    const fs::path dst = dir / "dst.ini";
    spit(src, "new contents\r\n");
    spit(dst, "old");
    ASSERT_TRUE(CopyFileReplacing(src.string(), dst.string()));
    EXPECT_EQ(slurp(dst), "new contents\r\n");

    // Through a link the file it points to is replaced and the link kept.
    const fs::path link = dir / "link.ini";
    fs::create_symlink(dst, link);
    spit(src, "via link");
    ASSERT_TRUE(CopyFileReplacing(src.string(), link.string()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(dst), "via link");

    // The export's copy replaces a link itself and never writes through it,
    // also when it points nowhere.
    const fs::path dangling = dir / "dangling.ini";
    fs::create_symlink(dir / "elsewhere.ini", dangling);
    EXPECT_TRUE(PathIsTaken(dangling.string()));
    EXPECT_FALSE(PathIsTaken((dir / "none.ini").string()));
    spit(src, "exported");
    ASSERT_TRUE(ExportCopy(src.string(), link.string()));
    ASSERT_TRUE(ExportCopy(src.string(), dangling.string()));
    for (const auto& p : {link, dangling}) {
        EXPECT_FALSE(fs::is_symlink(p)) << p;
        EXPECT_EQ(slurp(p), "exported");
    }
    EXPECT_EQ(slurp(dst), "via link");
    EXPECT_FALSE(fs::exists(dir / "elsewhere.ini"));

    // Failures leave the target as it was.
    EXPECT_FALSE(ExportCopy(src.string(), dir.string()));
    EXPECT_FALSE(CopyFileReplacing((dir / "none.ini").string(), dst.string()));
    EXPECT_FALSE(CopyFileReplacing(src.string(), dir.string()));
    EXPECT_FALSE(CopyFileReplacing(src.string(), (dir / "no/such/dir.ini").string()));
    EXPECT_FALSE(CopyFileReplacing(src.string(), ""));
    EXPECT_EQ(slurp(dst), "via link");
    // No temporary file is left behind.
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

// Control bytes from a keypad's serial number or a file name never reach the
// file raw: each is a space, and the file stays one record a line.
TEST_F(UtilityConfigTest, ControlBytesNeverReachTheFileRaw) {
    ConfigSnapshot s = snapshotFor(2);
    s.serialNumber = std::string("OVX\0\x1b[2J", 8) + "\r\n456";
    ASSERT_TRUE(SaveSnapshot(s));
    RememberFirmwareFile(std::string("/tmp/fw\x1b]0;x\x07\0.txt", 18));
    const std::string text = slurp(FileName);
    for (char c : text)
        EXPECT_TRUE(c == '\r' || c == '\n' || static_cast<unsigned char>(c) >= 0x20)
            << "byte " << int(static_cast<unsigned char>(c));
    EXPECT_NE(text.find(" SerialNumber=OVX  [2J  456\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" FirmwareFile=fw ]0;x  .txt\r\n"), std::string::npos) << text;
    EXPECT_EQ(GetSettings("FirstUp", FileName), "Yes");
}

// The import's copy: a clean file byte for byte; one with control bytes or a
// byte-order mark as the engine writes it, those bytes spaces.
TEST_F(UtilityConfigTest, ImportCopyKeepsTheFileFormatWithoutControlBytes) {
    const fs::path chosen = dir / kExchangeFileName;
    const std::string clean = "[appSettings]\nFirstUp=Yes\n; kept as it is\n";
    spit(chosen, clean);
    ASSERT_TRUE(CopyConfigFile(chosen.string(), FileName));
    EXPECT_EQ(slurp(FileName), clean);

    spit(chosen, std::string("\xEF\xBB\xBF[appSettings]\r\n; note\x1b[31m\r\nSerialNumber=OVX\0\x1b"
                             "1\rX\r\nFirstUp=Yes\r\n",
                             67));
    ASSERT_TRUE(CopyConfigFile(chosen.string(), FileName));
    EXPECT_EQ(slurp(FileName), " [appSettings]\r\n"
                               "; note [31m\r\n"
                               " SerialNumber=OVX  1 X\r\n"
                               " FirstUp=Yes\r\n");
}

// A file that an editor saved with a UTF-8 byte-order mark reads as any other.
TEST_F(UtilityConfigTest, ByteOrderMarkIsRead) {
    const fs::path chosen = dir / kExchangeFileName;
    spit(chosen, "\xEF\xBB\xBF[appSettings]\r\nFirstUp=Yes\r\n");
    EXPECT_TRUE(CIniFile::SectionExists(kConfigSection, chosen.string()));
    EXPECT_EQ(GetSettings("FirstUp", chosen.string()), "Yes");
}
