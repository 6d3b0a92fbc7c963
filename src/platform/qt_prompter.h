#pragma once

#include "platform/prompter.h"

namespace orvex {

// The production prompter: Qt message boxes and file dialogs, always on the
// GUI thread. Calls from another thread are handed to the GUI thread and wait
// for the user's answer there.
class QtPrompter final : public Prompter {
public:
    MsgAnswer message(const std::string& text, const std::string& caption, MsgButtons buttons,
                      MsgIcon icon) override;
    std::optional<std::string> openFile(const std::string& title,
                                        const std::string& filter) override;
    std::optional<std::string> openFileIn(const std::string& folder, const std::string& title,
                                          const std::string& filter) override;
    std::optional<std::string> pickFolder(const std::string& title) override;
};

} // namespace orvex
