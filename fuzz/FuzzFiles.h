// What the file-reading fuzz targets share: a finding aborts with its reason,
// and each process works under a scratch directory of its own, in memory
// where /dev/shm exists (every input writes files).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tevra::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// /dev/shm (or the temporary directory) / tevra-NAME-fuzz-PID.
inline std::filesystem::path scratchDirectory(const std::string& name) {
    namespace fs = std::filesystem;
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("tevra-" + name + "-fuzz-" + std::to_string(::getpid()));
}

}  // namespace tevra::fuzz
