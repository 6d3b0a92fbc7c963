#pragma once

// The progress an upgrade reports, step by step, for comparing whole runs.

#include <string>
#include <utility>
#include <vector>

namespace orvex::test {

using Steps = std::vector<std::pair<int, std::string>>;

inline void append(Steps& to, const Steps& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// Loader start-up up to the three one-second waits.
inline Steps StartUpSteps(bool massErase) {
    Steps s{{5, ""}};
    if (massErase)
        s.push_back({5, "Mass erase occured!\r\n"});
    append(s, {{10, "Password Sent Successfully\r\n"},
               {20, "Sending RAM BSL v00.06.05.34\r\n"},
               {30, "Done RAM BSL v00.06.05.34\r\n"},
               {35, ""},
               {40, ""},
               {45, ""}});
    return s;
}

inline const std::pair<int, std::string> kRestarting{
    50, "Unsuccessful in starting the BSL. Restarting. \r\n"};

// From the erase pass (when there is one) to the start of the verification.
inline Steps DownloadSteps(bool erasePass, const std::string& path) {
    Steps s;
    if (erasePass)
        s.push_back({60, "Erasing memory segments \r\n"});
    append(s, {{70, "Sending " + path + "\r\n"},
               {75, "Firmware Sent\r\n"},
               {80, "Verifying memory\r\n"}});
    return s;
}

inline Steps VerifiedSteps(unsigned seconds) {
    return {{85, "Memory successfully verified\r\n"},
            {90, "Total programming time is " + std::to_string(seconds) + "s \r\n"},
            {90, "Resetting Device...\r\nStarting application\r\n"},
            {100, "Done!"}};
}

// Texts only, as the status box shows them (CR LF shown as LF).
inline std::string BoxText(const Steps& steps) {
    std::string out = "Starting\n";
    for (const auto& [percent, text] : steps)
        for (char c : text)
            if (c != '\r')
                out += c;
    return out;
}

} // namespace orvex::test
