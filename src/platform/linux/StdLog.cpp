#include "platform/linux/StdLog.h"

#include <syslog.h>

#include <string>

namespace tevra::linux_platform {

namespace {
constexpr std::string_view kPrefix = "TevraARWebGL: ";
}

StdLog::StdLog() : StdLog(Options{}) {}

StdLog::StdLog(Options options) : options_(options) {
    if (options_.syslog) openlog("TevraARWebGL", LOG_PID, LOG_USER);
}

StdLog::~StdLog() {
    if (options_.syslog) closelog();
}

void StdLog::writeLine(std::FILE* stream, std::string_view prefix, std::string_view line) {
    if (!stream) return;
    // Assemble first so the line goes out in one write.
    std::string text;
    text.reserve(prefix.size() + line.size() + 1);
    text.append(prefix).append(line).push_back('\n');
    MutexLock lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void StdLog::system(std::string_view line) {
    writeLine(options_.systemStream, kPrefix, line);
    if (options_.syslog) {
        std::string copy(line);
        ::syslog(LOG_USER | LOG_INFO, "%s", copy.c_str());
    }
}

void StdLog::standardOutput(std::string_view line) { writeLine(options_.outputStream, {}, line); }

}  // namespace tevra::linux_platform
