#pragma once

#include <optional>
#include <span>
#include <string>

namespace stampo {

// What the command line asks for before anything starts: help and the version are answered without a display, a
// session bus, the settings or a running instance. Qt's own options (-platform, -display, -session, which a session
// manager passes when it restarts the program, …) go through to the application object; anything else is refused.
class CommandLine final {
public:
    struct Answer {
        int exitCode = 0;
        std::string out; // for standard output
        std::string err; // for standard error
    };

    // Nothing when the application is to run.
    static std::optional<Answer> answer(std::span<char* const> arguments);
};

} // namespace stampo
