// The out-of-process check of model bytes: before the process opens a model
// file it has not seen validated, the program tevra-model-check opens it in a
// child process (fork + exec) with
//   - RLIMIT_AS (address space), RLIMIT_CPU (CPU seconds), RLIMIT_FSIZE 0 (no
//     file written) and RLIMIT_CORE 0 (no core file);
//   - no descriptor but a pipe for its answer and /dev/null;
//   - a seccomp filter that refuses socket creation (no network);
//   - its own process group, killed whole after the wall-clock timeout.
// A crash, a signal or a limit in the child becomes an Error with the reason
// in words ("the model check ended with signal 11 (Segmentation fault)").
//
// The answer (at most 64 KiB on the pipe) is one JSON object: the SHA-256 of
// description.json and of the model file the child read, and the measured
// shape of every output; or the child's own error (code and message).
//
// A validated pair of files is remembered in a stamp file inside the compiled
// directory (kStampFileName: the two SHA-256 digests), written only by this
// process, after it has copied the package, so an archive cannot bring one.
//
// In:  a package or compiled model directory and the limits.
// Out: the digests the child read and the measured output shapes, e.g. for
//      yolo26n_sign_640 "coordinates" [6400,4] and "confidence" [6400,1],
//      after about 200 ms (80 ms for the digit model).
// Fails: see runModelCheck; nothing throws.
// Threads: any; runModelCheck blocks the calling thread for at most
// wallSeconds (plus the reaping of a killed child).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"
#include "platform/linux/ModelNetwork.h"

namespace tevra::model {

// The program's file name, and the environment variable that may name it.
inline constexpr const char* kCheckProgramName = "tevra-model-check";
inline constexpr const char* kCheckProgramVariable = "TEVRA_MODEL_CHECK";
// The stamp inside NAME.mlmodelc.
inline constexpr const char* kStampFileName = "model-check.stamp";

struct CheckOptions {
    // Explicit path of the check program; empty: $TEVRA_MODEL_CHECK, else
    // beside the running executable, else the installed libexec path.
    std::string program;
    uint64_t addressSpaceBytes = 2048ull << 20;
    long cpuSeconds = 30;
    long wallSeconds = 60;
    uint64_t descriptionMaxBytes = 1ull << 20;
    uint64_t modelMaxBytes = 512ull << 20;
    DescriptionLimits description;
};

struct CheckResult {
    std::string descriptionSha256;                                   // hex of description.json as the child read it
    std::string modelSha256;                                         // hex of the model file
    std::vector<std::pair<std::string, std::vector<long>>> outputs;  // measured, in the description's order
};

// The check program's path. Example: "" with a test binary in build/ gives
// "build/tevra-model-check". Fails (kOpenCVModelRuntimeErrorCheck) when the
// explicit path, or every place looked in, has no executable file.
Expected<std::string> locateCheckProgram(const std::string& explicitPath);

// Checks the directory `dir` (a package when `package`, else a compiled
// model) in a child process. `started` counts the children started.
// Fails with the child's own error (its code and message: an invalid
// description, a model that does not load or run) or with
// kOpenCVModelRuntimeErrorCheck: a signal, a limit, no answer, no program.
Expected<CheckResult> runModelCheck(const CheckOptions& options, const std::string& dir, bool package,
                                    std::atomic<uint64_t>* started);

// Lower-case hex SHA-256 of `bytes` (64 characters).
std::string sha256Hex(const std::string& bytes);

// Whether `dir`/model-check.stamp names exactly these two digests.
bool stampMatches(const std::string& dir, const std::string& descriptionSha256, const std::string& modelSha256);

// Writes the stamp (a temporary file renamed into place). False when the
// directory is not writable (a bundled model); the model is then checked
// again by the next process that opens it.
bool writeStamp(const std::string& dir, const std::string& descriptionSha256, const std::string& modelSha256);

}  // namespace tevra::model
