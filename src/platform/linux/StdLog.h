// The log sinks on Linux. System-log lines go to standard error, one line
// each, prefixed "TevraARWebGL: ", and, when enabled, to syslog (facility
// user, level info). Standard-output lines go to standard output as they are,
// flushed after each line.
//
// Threads: any thread; one lock keeps every line whole (lines written from
// different threads never interleave).
// Failure: a stream that can't be written drops the line.
#pragma once

#include <cstdio>
#include <mutex>

#include "platform/Log.h"
#include "base/ThreadAnnotations.h"

namespace tevra::linux_platform {

class StdLog : public Log {
public:
    struct Options {
        bool syslog = false;
        // Streams to write to; tests pass files of their own.
        std::FILE* systemStream = stderr;
        std::FILE* outputStream = stdout;
    };
    StdLog();
    explicit StdLog(Options options);
    ~StdLog() override;

    void system(std::string_view line) override;
    void standardOutput(std::string_view line) override;

private:
    void writeLine(std::FILE* stream, std::string_view prefix, std::string_view line);

    Options options_;
    Mutex mutex_;  // keeps each line whole
};

}  // namespace tevra::linux_platform
