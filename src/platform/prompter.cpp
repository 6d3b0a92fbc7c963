#include "prompter.h"

#include <atomic>
#include <cstdio>

namespace orvex {

MsgAnswer ConsolePrompter::message(const std::string& text, const std::string& caption,
                                   MsgButtons buttons, MsgIcon) {
    std::fprintf(stderr, "[%s] %s", caption.c_str(), text.c_str());
    if (text.empty() || text.back() != '\n')
        std::fputc('\n', stderr);
    return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
}

namespace {
ConsolePrompter g_console;
std::atomic<Prompter*> g_prompter{&g_console};
} // namespace

Prompter& prompter() {
    return *g_prompter.load();
}

void setPrompter(Prompter* p) {
    g_prompter.store(p ? p : &g_console);
}

void showWarning(const std::string& text, const std::string& caption) {
    prompter().message(text + "\n", caption, MsgButtons::Ok, MsgIcon::Warning);
}

bool askYesNo(const std::string& text, const std::string& caption) {
    return prompter().message(text, caption, MsgButtons::YesNo, MsgIcon::Question) ==
           MsgAnswer::Yes;
}

} // namespace orvex
