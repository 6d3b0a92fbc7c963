#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvex {

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { Warning, Question, Information };
enum class MsgAnswer { Ok, Yes, No };

// Every message box, question and file or folder dialog the user sees goes
// through this, so tests can record the exact texts and answer them.
class Prompter {
public:
    virtual ~Prompter() = default;
    // `text` is shown exactly as given (callers add the trailing line break).
    virtual MsgAnswer message(const std::string& text, const std::string& caption,
                              MsgButtons buttons, MsgIcon icon) = 0;
    // Returns the chosen file, or nothing when the user cancels.
    virtual std::optional<std::string> openFile(const std::string& title,
                                                const std::string& filter) = 0;
    // As openFile, with the dialog starting in `folder` (the working folder
    // when empty). Prompters without a real dialog ignore the folder.
    virtual std::optional<std::string>
    openFileIn(const std::string& folder, const std::string& title, const std::string& filter) {
        (void)folder;
        return openFile(title, filter);
    }
    // Returns the chosen folder, or nothing when the user cancels.
    virtual std::optional<std::string> pickFolder(const std::string& title) = 0;
};

// Used where no window system is available: prints messages to stderr and
// declines every question and dialog.
class ConsolePrompter final : public Prompter {
public:
    MsgAnswer message(const std::string& text, const std::string& caption, MsgButtons buttons,
                      MsgIcon icon) override;
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
};

// The process-wide prompter; the caller keeps ownership of what it installs.
Prompter& prompter();
void setPrompter(Prompter* p);

inline const char* const kCaption = "Halden Orvex\u2122";

// A warning box with one OK button: `text` followed by one line break.
void showWarning(const std::string& text, const std::string& caption = kCaption);
// A Yes/No question with the question icon; true for Yes.
bool askYesNo(const std::string& text, const std::string& caption = kCaption);

} // namespace orvex
