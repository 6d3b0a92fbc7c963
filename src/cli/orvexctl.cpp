#include "cli/orvexctl.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <ostream>

#include <CLI/CLI.hpp>

#include "cli/cli_common.h"
#include "device/hid_backend.h"
#include "device/hid_link.h"
#include "platform/prompter.h"

namespace orvex::cli {

namespace {

// Messages of the shared core (warnings such as "Unable to set option..")
// become one line each on stderr; questions are answered No.
class CliPrompter final : public Prompter {
public:
    explicit CliPrompter(std::ostream& err) : err_(err) {}
    MsgAnswer message(const std::string& text, const std::string&, MsgButtons buttons,
                      MsgIcon) override {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        err_ << "orvexctl: " << line << "\n";
        ++count;
        return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    int count = 0;

private:
    std::ostream& err_;
};

const char* const kUsage =
    "usage: orvexctl [--serial S | --path P] [--trace FILE [--mask-serial]] <command> "
    "[arguments] [--] [words]\n"
    "\n"
    "Configure a Halden Orvex keypad from scripts.\n"
    "\n"
    "commands:\n"
    "  status [--json]              print every field of the keypad's status\n"
    "  set SETTING VALUE            change one running setting:\n"
    "                                 led 0-9, jack-led 0-9, buzzer on|off,\n"
    "                                 buzzer-period 1-9, table default|alternate|customise\n"
    "  save                         keep the running settings across power cycles and\n"
    "                               store them in the configuration file\n"
    "  restore [FILE]               send the settings of the configuration file (or FILE)\n"
    "  export DIR [--force]         copy the configuration file to DIR/USBUtilityIllumCfg.ini\n"
    "  import FILE                  restore from FILE (a backup of any name) and\n"
    "                               make it the configuration file\n"
    "  table get                    print the active key code table\n"
    "  table set PAIRS              load the customised table: MM:UU pairs in hex\n"
    "  factory-reset                restore the keypad's factory settings\n"
    "  flash [--allow-mass-erase] [--recover] [--no-restore] IMAGE\n"
    "                               replace the firmware with a TI-TXT image\n"
    "  resume [--allow-mass-erase] [--force] [IMAGE]  finish an interrupted upgrade\n"
    "  list [--json]                list keypads (serial, path, firmware) and loaders\n"
    "  diagnose [--output FILE]     write a report to attach to a bug report\n"
    "\n"
    "options:\n"
    "  --serial S, --path P         use the keypad with this serial number or path\n"
    "                               (restore, import, factory-reset and flash want one\n"
    "                               when several keypads are attached)\n"
    "  --trace FILE                 record every HID event in FILE (also ORVEX_TRACE=FILE)\n"
    "  --mask-serial                write serial numbers as X's in the recording (and in\n"
    "                               the diagnosis)\n"
    "  --replay FILE                (orvexctl-virtual) answer from a recorded session\n"
    "  --version                    print the version and exit\n"
    "  --help                       print this help and exit\n"
    "\n"
    "Options take --name=VALUE or --name VALUE, before or after the command; -- ends them.\n"
    "\n"
    "exit codes: 0 ok, 2 bad arguments, 3 no keypad (`list`: nothing attached),\n"
    "            4 command refused (or another upgrade running), 5 firmware verification\n"
    "            failed, 6 file error: a file that cannot be read or written, or is not\n"
    "            what the command wants (not an image, not a configuration file), a\n"
    "            recording that could not be written included\n"
    "`orvexctl <command> --help` describes one command.\n";

const std::map<std::string, std::string>& commandHelp() {
    static const std::map<std::string, std::string> help = {
        {"status", "usage: orvexctl status [--json]\n"
                   "Reads the keypad's status and prints every field; --json prints one JSON "
                   "object, names beside numbers (fields in `man orvexctl`).\n"},
        {"set", "usage: orvexctl set SETTING VALUE\n"
                "  led VALUE            key LED brightness, 0-9\n"
                "  jack-led VALUE       jack LED brightness, 0-9\n"
                "  buzzer on|off        buzzer on or off (also 1|0)\n"
                "  buzzer-period VALUE  buzzer period, 1-9\n"
                "  table NAME           active code table: default, alternate or customise "
                "(0-2)\n"
                "The change is running only until `orvexctl save`.\n"},
        {"save", "usage: orvexctl save\n"
                 "Stores the running settings as the keypad's power-up settings and writes them "
                 "to the configuration file.\n"},
        {"restore", "usage: orvexctl restore [FILE]\n"
                    "Sends the settings saved in the configuration file (or FILE) back to the "
                    "keypad, after a factory reset. The file is checked first: a file with an "
                    "unreadable value sends nothing.\n"},
        {"export", "usage: orvexctl export DIR [--force]\n"
                   "Copies the configuration file to DIR/USBUtilityIllumCfg.ini. An existing "
                   "file or link there is kept unless --force, which replaces it (a link "
                   "itself, never the file it points to).\n"},
        {"import", "usage: orvexctl import FILE\n"
                   "FILE, a backup of any name, must hold an [appSettings] section with saved "
                   "settings (FirstUp=Yes). Its settings are sent to the keypad and it replaces "
                   "the configuration file.\n"},
        {"table", "usage: orvexctl table get\n"
                  "       orvexctl table set PAIRS\n"
                  "Key code table as one MM:UU pair per key, key 1 first: MM the modifier "
                  "(00, E0-E7), UU the HID usage, both hex. `set` loads the customised table of "
                  "the active layout (table type 2, 5 or 8) and needs 10, 12 or 16 pairs to "
                  "match.\n"},
        {"factory-reset", "usage: orvexctl factory-reset\n"
                          "Restores the keypad's factory settings and waits for it to come "
                          "back.\n"},
        {"flash",
         "usage: orvexctl flash [--allow-mass-erase] [--recover] [--no-restore] IMAGE\n"
         "Switches the keypad into its bootstrap loader, downloads and verifies the TI-TXT "
         "IMAGE and sends the previous settings back. Progress goes to stderr.\n"
         "The loader's RAM loader (RAM_BSL.Text, RAM_BSL_VERSION) is read from "
         "$XDG_DATA_HOME/HaldenInterface/loader, then from <XDG_DATA_DIRS>/orvex-config/loader. "
         "The keypad's password is known only from its own folder, "
         "$XDG_DATA_HOME/HaldenInterface/loader/SERIAL/password.Text, where it is kept after "
         "each upgrade. Any other password (a shared password.Text, or none) may make the "
         "loader mass-erase the keypad first, which needs --allow-mass-erase.\n"
         "  --recover     program a keypad already in its loader (one left by an interrupted "
         "upgrade), never a running keypad: the one bootstrap loader attached, or the one "
         "--path names; without it such a loader is not touched\n"
         "  --no-restore  upgrade even when the keypad's settings cannot be read; they are "
         "then not sent back\n"
         "What the restore needs is kept in $XDG_STATE_HOME/orvex-config/upgrade-journal.json "
         "until it has finished; `orvexctl resume` finishes an interrupted upgrade. One "
         "upgrade runs at a time.\n"},
        {"resume", "usage: orvexctl resume [--allow-mass-erase] [--force] [--recover] [IMAGE]\n"
                   "Finishes the upgrade recorded in $XDG_STATE_HOME/orvex-config/"
                   "upgrade-journal.json: a keypad still in its loader (on the USB port the "
                   "journal names) gets IMAGE, then the settings kept in the journal are sent "
                   "back; a keypad that runs again only gets its settings. --serial/--path name "
                   "the keypad when it is on another port. A running keypad must report the "
                   "journal's serial number, or the serial number and options new firmware "
                   "starts with (OVX000000000, 0); --force sends the settings to another "
                   "keypad all the same. A keypad found in its loader is programmed only with "
                   "--recover: this run did not send it there, and any MSP430 device in its "
                   "loader looks the same.\n"},
        {"list", "usage: orvexctl list [--json]\n"
                 "Lists the keypads (2047:09bf) with serial number, path and firmware version, "
                 "and the bootstrap loaders (2047:0200) present; exits 3 when there are none. "
                 "--json prints one JSON array (fields in `man orvexctl`).\n"},
        {"diagnose", "usage: orvexctl diagnose [--output FILE] [--mask-serial]\n"
                     "Writes one report to attach to a bug report: versions, the keypads and "
                     "loaders present with their device nodes and the udev rule, the status "
                     "read with its HID trace, and the configuration file. Changes no "
                     "setting. --mask-serial writes every serial number in it as X's.\n"},
    };
    return help;
}

} // namespace

std::string DefaultDataHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return xdg;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share";
    return {};
}

namespace {

// What CLI11 collects for one command: its flags, its one option with a value
// and its other words. The command's own function gets them back as the
// argument list it reads (flags first), so it checks values and counts itself.
struct CommandWords {
    std::vector<std::pair<std::string, bool>> flags;
    std::string valueOption; // "--output" for diagnose
    std::string value;
    CLI::Option* valueGiven = nullptr;
    std::vector<std::string> words;
    bool help = false;
};

// The commands whose words are files or folders: a name that starts with '-'
// (given after `--`) is handed on as ./NAME, the same file, so the command's
// own reading cannot take it for a flag.
bool takesFiles(const std::string& command) {
    return command == "restore" || command == "import" || command == "export" ||
           command == "flash" || command == "resume";
}

std::vector<std::string> argsOf(const std::string& command, const CommandWords& w) {
    std::vector<std::string> args;
    for (const auto& [flag, set] : w.flags)
        if (set)
            args.push_back(flag);
    if (w.valueGiven && w.valueGiven->count() > 0) {
        args.push_back(w.valueOption);
        args.push_back(w.value);
    }
    for (const auto& word : w.words)
        args.push_back(takesFiles(command) && word.rfind('-', 0) == 0 ? "./" + word : word);
    return args;
}

// The flags each command takes besides --help; diagnose's --output takes a value.
const std::map<std::string, std::vector<std::string>>& commandFlags() {
    static const std::map<std::string, std::vector<std::string>> flags = {
        {"status", {"--json"}},
        {"list", {"--json"}},
        {"export", {"--force"}},
        {"flash", {"--allow-mass-erase", "--recover", "--no-restore"}},
        {"resume", {"--allow-mass-erase", "--force", "--recover"}},
    };
    return flags;
}

std::string knownCommands() {
    std::string known;
    for (const auto& [name, text] : commandHelp())
        known += (known.empty() ? "" : ", ") + name;
    return known;
}

} // namespace

int Run(const std::vector<std::string>& commandLine, std::ostream& out, std::ostream& err,
        const std::string& dataHome) {
    Context c{out, err, dataHome, {}, {}, false};
    CLI::App app{"orvexctl"};
    app.set_help_flag(); // the texts are ours (kUsage, commandHelp)
    // Options of the whole program may also stand after the command.
    app.fallthrough();
    bool help = false, version = false;
    std::optional<std::string> serial, path;
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_flag("--mask-serial", c.maskSerial);
    app.add_option("--serial", serial);
    app.add_option("--path", path);
    app.require_subcommand(0, 1);

    std::map<std::string, CommandWords> words;
    std::map<std::string, CLI::App*> subcommands;
    for (const auto& [name, text] : commandHelp()) {
        CLI::App* sub = app.add_subcommand(name);
        sub->set_help_flag();
        CommandWords& w = words[name];
        sub->add_flag("-h,--help", w.help);
        if (const auto it = commandFlags().find(name); it != commandFlags().end())
            for (const auto& flag : it->second) {
                w.flags.emplace_back(flag, false);
            }
        for (auto& [flag, set] : w.flags)
            sub->add_flag(flag, set);
        if (name == "diagnose") {
            w.valueOption = "--output";
            w.valueGiven = sub->add_option("--output", w.value);
        }
        sub->add_option("words", w.words);
        subcommands[name] = sub;
    }
    // `orvexctl help` as `orvexctl --help`.
    CLI::App* helpCommand = app.add_subcommand("help");
    helpCommand->group("");
    std::vector<std::string> helpTopic; // `orvexctl help COMMAND`
    helpCommand->add_option("topic", helpTopic);

    // An empty value is no value (CLI11 would take the next word for it).
    for (const auto& arg : commandLine) {
        if (arg == "--")
            break;
        if (arg == "--serial=" || arg == "--path=" || arg == "--output=")
            return c.fail(EXIT_USAGE, arg.substr(0, arg.size() - 1) + " needs a value");
    }
    // `--` ends the options: what follows are the command's words, handed on
    // as they are (CLI11 sees only what stands before it, and the command).
    std::vector<std::string> options = commandLine, afterEnd;
    if (const auto end = std::find(options.begin(), options.end(), "--"); end != options.end()) {
        afterEnd.assign(end + 1, options.end());
        options.erase(end, options.end());
        const bool named = std::any_of(options.begin(), options.end(), [](const std::string& a) {
            return commandHelp().count(a) > 0;
        });
        if (!named && !afterEnd.empty()) {
            options.push_back(afterEnd.front());
            afterEnd.erase(afterEnd.begin());
        }
    }
    std::vector<std::string> reversed(options.rbegin(), options.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // One form for every usage error: one line, exit 2.
        std::string what = e.what();
        std::string command;
        for (const auto& [name, sub] : subcommands)
            if (sub->parsed())
                command = name;
        if (const auto* extras = dynamic_cast<const CLI::ExtrasError*>(&e)) {
            (void)extras;
            const auto rest = app.remaining();
            const std::string first = rest.empty() ? std::string() : rest.front();
            if (command.empty() && !first.empty() && first.rfind('-', 0) != 0)
                return c.fail(EXIT_USAGE, "unknown command '" + first + "' (commands: " +
                                              knownCommands() + "; see `orvexctl --help`)");
            what = "unknown option '" + first + "'";
        }
        std::erase(what, '\n');
        return c.fail(EXIT_USAGE,
                      (command.empty() ? "" : command + ": ") + what + " (see `orvexctl " +
                          (command.empty() ? std::string() : command + " ") + "--help`)");
    }
    for (const auto& [name, value] : {std::pair{"--serial", &serial}, {"--path", &path}}) {
        if (*value && (*value)->empty())
            return c.fail(EXIT_USAGE, std::string(name) + " needs a value");
    }
    c.serial = serial.value_or("");
    c.path = path.value_or("");

    std::string command;
    for (const auto& [name, sub] : subcommands)
        if (sub->parsed())
            command = name;
    if (version) {
        out << (HidBackendName() == std::string("virtual") ? "orvexctl-virtual" : "orvexctl") << " "
            << ORVEX_PROGRAM_VERSION << "\n";
        return EXIT_OK;
    }
    if (helpCommand->parsed() && !helpTopic.empty()) {
        if (commandHelp().count(helpTopic.front()) == 0)
            return c.fail(EXIT_USAGE, "unknown command '" + helpTopic.front() + "' (commands: " +
                                          knownCommands() + "; see `orvexctl --help`)");
        out << commandHelp().at(helpTopic.front());
        return EXIT_OK;
    }
    if (command.empty()) {
        const bool asked = help || helpCommand->parsed();
        (asked ? out : err) << kUsage;
        return asked ? EXIT_OK : EXIT_USAGE;
    }
    if (help || words[command].help) {
        out << commandHelp().at(command);
        return EXIT_OK;
    }
    words[command].words.insert(words[command].words.end(), afterEnd.begin(), afterEnd.end());
    const std::vector<std::string> rest = argsOf(command, words[command]);

    CliPrompter messages(err);
    Prompter& previous = prompter();
    setPrompter(&messages);
    static const std::map<std::string,
                          std::function<int(const Context&, const std::vector<std::string>&)>>
        commands = {
            {"status", CmdStatus}, {"set", CmdSet},
            {"save", CmdSave},     {"restore", CmdRestore},
            {"export", CmdExport}, {"import", CmdImport},
            {"table", CmdTable},   {"factory-reset", CmdFactoryReset},
            {"flash", CmdFlash},   {"resume", CmdResume},
            {"list", CmdList},     {"diagnose", CmdDiagnose},
        };
    const int rc = commands.at(command)(c, rest);
    CloseDevice();
    setPrompter(&previous);
    return rc;
}

} // namespace orvex::cli
