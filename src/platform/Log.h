// Two log sinks: the system log (bridge, capture, VPS and detection-service
// lines) and standard output (inference and model-management lines).
//
// Threads: any thread may write; each call writes one whole line.
// Failure: none reported; a sink that cannot write drops the line.
#pragma once

#include <string>
#include <string_view>

namespace tevra {

class Log {
public:
    virtual ~Log() = default;
    // One line to the system log. Called from any thread.
    virtual void system(std::string_view line) = 0;
    // One line to standard output. Called from any thread.
    virtual void standardOutput(std::string_view line) = 0;
};

// Shortcuts to the installed platform's log.
void logSystem(std::string_view line);
void logStdout(std::string_view line);

}  // namespace tevra
