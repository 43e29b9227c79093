/// @file
/// Two log sinks: the system log (bridge, capture, VPS and detection-service
/// lines) and standard output (inference and model-management lines).
///
/// Threads: any thread may write; each call writes one whole line.
/// Failure: none reported; a sink that cannot write drops the line.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tevra {

/// The two log sinks.
class Log {
public:
    virtual ~Log() = default;
    /// One line to the system log. Called from any thread.
    virtual void system(std::string_view line) = 0;
    /// One line to standard output. Called from any thread.
    virtual void standardOutput(std::string_view line) = 0;
};

///@{
/// Shortcuts to the installed platform's log.
void logSystem(std::string_view line);
void logStdout(std::string_view line);
///@}

/// Text from outside (a model name, a channel name, an origin) made safe to
/// stand inside one log line: control characters (line breaks, NUL, ESC, DEL)
/// become `\n`, `\r`, `\t` or `\xNN`, so the text can't end the line or forge another
/// one; everything else (backslashes, UTF-8) stays as it is. A name "a" LF "b"
/// is logged as `a\nb`.
std::string escapedForLog(std::string_view text);

/// Long text from outside (a server's answer, a page call) for a log line:
/// escaped as above and, when longer than `maxBytes`, cut there (at a UTF-8
/// character boundary) with " … (N bytes)" telling the whole length.
std::string clippedForLog(std::string_view text, size_t maxBytes);

/// The text form "%@" prints for a page body: strings bare, everything else
/// as compact JSON (invalid UTF-8 replaced, never thrown), cut for a log line
/// at the installed Limits::logTextMaxBytes with the whole length said.
std::string describeBody(const nlohmann::json& body);

}  // namespace tevra
