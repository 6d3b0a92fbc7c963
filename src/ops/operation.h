#pragma once

// What every operation that changes a keypad shares: the questions its plan
// asks before anything is sent, and the outcome its run reports. The window
// turns a question into a message box, orvexctl into a flag; neither decides
// whether it is needed.

#include <functional>
#include <string>
#include <vector>

namespace orvex::ops {

struct Question {
    std::string text;
    // Yes only for what can neither erase nor overwrite anything.
    bool defaultYes = false;
    // The orvexctl flag that answers Yes; "" when running the command is the
    // answer (it asks for nothing the command line has not said).
    std::string flag;
    // What orvexctl says when the flag is missing ("" for `text`).
    std::string withoutFlag;
};

// Asked in the plan's order; false stops the operation with nothing sent.
using Answer = std::function<bool(const Question&)>;

enum class Outcome {
    Done,         // the keypad ends as intended
    Declined,     // a question was answered No: nothing was sent
    Refused,      // the plan turned it down before anything was sent
    Busy,         // another change holds the lock
    NoKeypad,     // the keypad or its loader is not attached (any more)
    OtherKeypad,  // another keypad answered where the planned one was
    FileError,    // a file (journal, image, password) cannot be read or written
    KeypadFailed, // the keypad refused or did not answer; its message was shown
    VerifyFailed, // the download or its verification failed
};

struct Result {
    Outcome outcome = Outcome::Done;
    std::string text; // why, in the product's words; "" for Done
    bool ok() const { return outcome == Outcome::Done; }
};

inline Result Fail(Outcome outcome, std::string text) {
    return {outcome, std::move(text)};
}

// Asks each question in order; the first No ends it.
inline bool AskAll(const std::vector<Question>& questions, const Answer& answer) {
    for (const auto& q : questions)
        if (!answer(q))
            return false;
    return true;
}

} // namespace orvex::ops
