#include "test_env.h"

#include <unistd.h>

#include <filesystem>
#include <utility>

#include "device/hid_link.h"

namespace orvex::test {

MsgAnswer RecordingPrompter::message(const std::string& text, const std::string& caption,
                                     MsgButtons buttons, MsgIcon icon) {
    auto& hook = buttons == MsgButtons::YesNo ? beforeNextQuestion : beforeNextWarning;
    if (hook)
        std::exchange(hook, nullptr)();
    std::lock_guard lock(m_);
    messages_.push_back({text, caption, buttons, icon});
    if (buttons == MsgButtons::Ok)
        return MsgAnswer::Ok;
    if (answers_.empty())
        return MsgAnswer::No;
    const MsgAnswer a = answers_.front();
    answers_.erase(answers_.begin());
    return a;
}

std::optional<std::string> RecordingPrompter::openFile(const std::string& title,
                                                       const std::string&) {
    std::lock_guard lock(m_);
    messages_.push_back({"<open file> " + title, "", MsgButtons::Ok, MsgIcon::Information});
    if (files_.empty())
        return std::nullopt;
    auto f = files_.front();
    files_.erase(files_.begin());
    return f;
}

std::optional<std::string> RecordingPrompter::openFileIn(const std::string& folder,
                                                         const std::string& title,
                                                         const std::string& filter) {
    {
        std::lock_guard lock(m_);
        fileDialogFolder_ = folder;
    }
    return openFile(title, filter);
}

std::string RecordingPrompter::fileDialogFolder() const {
    std::lock_guard lock(m_);
    return fileDialogFolder_;
}

std::optional<std::string> RecordingPrompter::pickFolder(const std::string& title) {
    std::lock_guard lock(m_);
    messages_.push_back({"<pick folder> " + title, "", MsgButtons::Ok, MsgIcon::Information});
    if (folders_.empty())
        return std::nullopt;
    auto f = folders_.front();
    folders_.erase(folders_.begin());
    return f;
}

void RecordingPrompter::answerYes(int times) {
    std::lock_guard lock(m_);
    answers_.insert(answers_.end(), static_cast<size_t>(times), MsgAnswer::Yes);
}

void RecordingPrompter::answerNo(int times) {
    std::lock_guard lock(m_);
    answers_.insert(answers_.end(), static_cast<size_t>(times), MsgAnswer::No);
}

void RecordingPrompter::chooseFile(std::optional<std::string> path) {
    std::lock_guard lock(m_);
    files_.push_back(std::move(path));
}

void RecordingPrompter::chooseFolder(std::optional<std::string> path) {
    std::lock_guard lock(m_);
    folders_.push_back(std::move(path));
}

std::vector<RecordedMessage> RecordingPrompter::messages() const {
    std::lock_guard lock(m_);
    return messages_;
}

std::vector<std::string> RecordingPrompter::texts() const {
    std::lock_guard lock(m_);
    std::vector<std::string> out;
    for (const auto& m : messages_)
        out.push_back(m.text);
    return out;
}

void RecordingPrompter::clear() {
    std::lock_guard lock(m_);
    messages_.clear();
}

void VirtualEnvTest::SetUp() {
    setClock(&clock);
    setPrompter(&prompts);
    sim::VirtualBus::instance().reset();
    // Upgrade journals and locks of this test only, never the user's.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    stateHome = std::filesystem::temp_directory_path() /
                ("orvex-state-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "." +
                 info->name());
    std::filesystem::remove_all(stateHome);
    std::filesystem::create_directories(stateHome / "run");
    ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (stateHome / "run").c_str(), 1);
}

void VirtualEnvTest::TearDown() {
    CloseDevice();
    sim::VirtualBus::instance().reset();
    setPrompter(nullptr);
    setClock(nullptr);
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    std::filesystem::remove_all(stateHome, ec);
}

std::shared_ptr<sim::VirtualKeypad> VirtualEnvTest::plugKeypad(std::vector<int> interfaces) {
    auto k = sim::makeKeypad();
    k->interfaces = std::move(interfaces);
    sim::VirtualBus::instance().plug(k);
    return k;
}

void KeypadTest::SetUp() {
    VirtualEnvTest::SetUp();
    keypad = plugKeypad();
    ASSERT_TRUE(RescanForDevice());
}

std::vector<uint8_t> KeypadTest::commandCodes() const {
    std::vector<uint8_t> out;
    for (const auto& c : keypad->model.log())
        out.push_back(c.command);
    return out;
}

} // namespace orvex::test
