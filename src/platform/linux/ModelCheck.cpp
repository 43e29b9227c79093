#include "platform/linux/ModelCheck.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <glib.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace tevra::model {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What the child may print: one JSON object, small.
constexpr size_t kMaxAnswerBytes = 64 * 1024;
// The check program's exit status when it ran out of address space.
constexpr int kExitOutOfMemory = 3;

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "the model check's seccomp filter knows x86-64 and AArch64 only"
#endif

Error checkError(const std::string& message) { return modelRuntimeError(kOpenCVModelRuntimeErrorCheck, message); }

bool isExecutable(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string executableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return fs::path(buf).parent_path().string();
}

// Steps of the child between fork and exec, reported on the status pipe.
enum ChildStep : int { kStepDescriptors = 1, kStepLimits, kStepNoNewPrivileges, kStepSeccomp, kStepExec };

const char* stepName(int step) {
    switch (step) {
        case kStepDescriptors:
            return "setting up descriptors";
        case kStepLimits:
            return "setting resource limits";
        case kStepNoNewPrivileges:
            return "PR_SET_NO_NEW_PRIVS";
        case kStepSeccomp:
            return "installing the seccomp filter";
        case kStepExec:
            return "exec";
        default:
            return "starting";
    }
}

// Only async-signal-safe calls from here to exec: the parent may have threads.
[[noreturn]] void childFailed(int statusFd, int step) {
    int report[2] = {step, errno};
    ssize_t ignored = ::write(statusFd, report, sizeof report);
    (void)ignored;
    ::_exit(127);
}

[[noreturn]] void runChild(int answerFd, int statusFd, int nullFd, const CheckOptions& o, char* const* argv,
                           char* const* envp, const sock_fprog* filter) {
    ::setpgid(0, 0);
    // Move the three descriptors above 10 first, so none is overwritten
    // while 0-3 are laid out.
    int answer = ::fcntl(answerFd, F_DUPFD, 10);
    int status = ::fcntl(statusFd, F_DUPFD, 10);
    int null = ::fcntl(nullFd, F_DUPFD, 10);
    if (answer < 0 || status < 0 || null < 0) childFailed(statusFd, kStepDescriptors);
    if (::dup2(null, 0) < 0 || ::dup2(answer, 1) < 0 || ::dup2(null, 2) < 0 || ::dup2(status, 3) < 0 ||
        ::fcntl(3, F_SETFD, FD_CLOEXEC) < 0)
        childFailed(status, kStepDescriptors);
    // Every other descriptor of the parent is closed.
    if (::syscall(SYS_close_range, 4u, ~0u, 0u) != 0) {
        struct rlimit nofile {};
        rlim_t top =
            ::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY ? nofile.rlim_cur : 65536;
        for (rlim_t fd = 4; fd < top; ++fd) ::close(static_cast<int>(fd));
    }
    struct rlimit as {
        static_cast<rlim_t>(o.addressSpaceBytes), static_cast<rlim_t>(o.addressSpaceBytes)
    };
    // The soft CPU limit sends SIGXCPU; one second later the hard one kills.
    struct rlimit cpu {
        static_cast<rlim_t>(o.cpuSeconds), static_cast<rlim_t>(o.cpuSeconds + 1)
    };
    struct rlimit none {
        0, 0
    };
    if (::setrlimit(RLIMIT_AS, &as) != 0 || ::setrlimit(RLIMIT_CPU, &cpu) != 0 ||
        ::setrlimit(RLIMIT_FSIZE, &none) != 0 || ::setrlimit(RLIMIT_CORE, &none) != 0)
        childFailed(3, kStepLimits);
    // The host may block or ignore signals (SIGPIPE often is); exec keeps
    // both, and the limits above signal the child.
    sigset_t empty;
    ::sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    for (int sig : {SIGPIPE, SIGXCPU, SIGXFSZ, SIGSEGV, SIGBUS, SIGABRT}) ::signal(sig, SIG_DFL);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) childFailed(3, kStepNoNewPrivileges);
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, filter) != 0) childFailed(3, kStepSeccomp);
    ::execve(argv[0], argv, envp);
    childFailed(3, kStepExec);
}

// Refuses socket creation (EACCES); kills a process calling through another
// architecture's system-call table, where the numbers differ.
const sock_fprog* noNetworkFilter() {
    static sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#if defined(__x86_64__)
        // The x32 numbers alias the 64-bit ones with bit 30 set.
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socketpair, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    static const sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return &program;
}

std::string mib(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string signalText(int sig) {
    const char* d = ::sigdescr_np(sig);
    return "signal " + std::to_string(sig) + " (" + (d ? d : "unknown") + ")";
}

// Turns the child's answer into a result or its own error.
Expected<CheckResult> parseAnswer(const std::string& answer, const std::string& program) {
    using R = Expected<CheckResult>;
    nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
    auto garbled = [&] { return R::fail(checkError("the model check (" + program + ") gave no usable answer")); };
    if (j.is_discarded() || !j.is_object() || !j.contains("ok") || !j["ok"].is_boolean()) return garbled();
    if (!j["ok"].get<bool>()) {
        if (!j.contains("code") || !j["code"].is_number_integer() || !j.contains("message") ||
            !j["message"].is_string())
            return garbled();
        long code = j["code"].get<long>();
        if (code < kOpenCVModelRuntimeErrorDescription || code > kOpenCVModelRuntimeErrorCheck)
            code = kOpenCVModelRuntimeErrorCheck;
        return R::fail(modelRuntimeError(code, j["message"].get<std::string>()));
    }
    CheckResult r;
    auto hex = [](const nlohmann::json& v) { return v.is_string() && v.get<std::string>().size() == 64; };
    if (!j.contains("description") || !hex(j["description"]) || !j.contains("model") || !hex(j["model"]) ||
        !j.contains("outputs") || !j["outputs"].is_array())
        return garbled();
    r.descriptionSha256 = j["description"].get<std::string>();
    r.modelSha256 = j["model"].get<std::string>();
    for (const auto& o : j["outputs"]) {
        if (!o.is_object() || !o.contains("name") || !o["name"].is_string() || !o.contains("shape") ||
            !o["shape"].is_array())
            return garbled();
        std::vector<long> shape;
        for (const auto& s : o["shape"]) {
            if (!s.is_number_integer()) return garbled();
            shape.push_back(s.get<long>());
        }
        r.outputs.emplace_back(o["name"].get<std::string>(), std::move(shape));
    }
    return R::ok(std::move(r));
}

}  // namespace

Expected<std::string> locateCheckProgram(const std::string& explicitPath) {
    using R = Expected<std::string>;
    if (!explicitPath.empty()) {
        if (isExecutable(explicitPath)) return R::ok(explicitPath);
        return R::fail(checkError("The model check program " + explicitPath + " is missing or not executable"));
    }
    std::vector<std::string> places;
    if (const char* env = std::getenv(kCheckProgramVariable); env && *env) {
        if (isExecutable(env)) return R::ok(env);
        return R::fail(checkError(std::string("The model check program ") + env + " (" + kCheckProgramVariable +
                                  ") is missing or not executable"));
    }
    if (std::string dir = executableDirectory(); !dir.empty()) places.push_back(dir + "/" + kCheckProgramName);
    // An installed library finds it relative to itself, wherever the
    // package was installed: LIBDIR/../libexec/TevraARWebGL.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&locateCheckProgram), &info) && info.dli_fname && *info.dli_fname)
        places.push_back((std::filesystem::path(info.dli_fname).parent_path().parent_path() / "libexec" /
                          "TevraARWebGL" / kCheckProgramName)
                             .string());
#ifdef TEVRA_MODEL_CHECK_INSTALLED
    places.push_back(TEVRA_MODEL_CHECK_INSTALLED);
#endif
    std::string looked;
    for (const std::string& p : places) {
        if (isExecutable(p)) return R::ok(p);
        looked += (looked.empty() ? "" : ", ") + p;
    }
    return R::fail(checkError(std::string("The model check program ") + kCheckProgramName +
                              " was not found (looked at " + looked + "; " + kCheckProgramVariable + " may name it)"));
}

Expected<CheckResult> runModelCheck(const CheckOptions& o, const std::string& dir, bool package,
                                    std::atomic<uint64_t>* started) {
    using R = Expected<CheckResult>;
    auto program = locateCheckProgram(o.program);
    if (!program) return R::fail(program.error);

    // Everything the child needs is made before fork.
    std::vector<std::string> args = {*program,
                                     package ? "--package" : "--compiled",
                                     dir,
                                     "--max-inputs=" + std::to_string(o.description.maxInputs),
                                     "--max-input-elements=" + std::to_string(o.description.maxInputElements),
                                     "--max-outputs=" + std::to_string(o.description.maxOutputs),
                                     "--max-description-bytes=" + std::to_string(o.descriptionMaxBytes),
                                     "--max-model-bytes=" + std::to_string(o.modelMaxBytes)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A small, fixed environment: OpenCL stays off, libraries are found as
    // the parent found them.
    std::vector<std::string> env = {"OPENCV_OPENCL_RUNTIME=disabled", "OPENCV_LOG_LEVEL=SILENT"};
    for (const char* keep : {"LD_LIBRARY_PATH", "PATH"})
        if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const sock_fprog* filter = noNetworkFilter();

    int answerPipe[2], statusPipe[2];
    if (::pipe2(answerPipe, O_CLOEXEC) != 0) return R::fail(checkError("Cannot start the model check: no pipe"));
    if (::pipe2(statusPipe, O_CLOEXEC) != 0) {
        ::close(answerPipe[0]);
        ::close(answerPipe[1]);
        return R::fail(checkError("Cannot start the model check: no pipe"));
    }
    int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const auto closeAll = [&] {
        for (int fd : {answerPipe[0], answerPipe[1], statusPipe[0], statusPipe[1], nullFd})
            if (fd >= 0) ::close(fd);
    };
    if (nullFd < 0) {
        closeAll();
        return R::fail(checkError("Cannot start the model check: no /dev/null"));
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        int e = errno;
        closeAll();
        return R::fail(checkError(std::string("Cannot start the model check: fork: ") + ::strerror(e)));
    }
    if (pid == 0) runChild(answerPipe[1], statusPipe[1], nullFd, o, argv.data(), envp.data(), filter);
    if (started) started->fetch_add(1);
    // The group exists before the parent signals it, whichever runs first.
    ::setpgid(pid, pid);
    ::close(answerPipe[1]);
    ::close(statusPipe[1]);
    ::close(nullFd);
    answerPipe[1] = statusPipe[1] = nullFd = -1;

    const auto deadline = Clock::now() + std::chrono::seconds(o.wallSeconds);
    std::string answer, status;
    bool answerOpen = true, statusOpen = true, timedOut = false, tooLong = false;
    while (answerOpen || statusOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        // A closed pipe is left out (-1): poll reports POLLHUP whatever the
        // events asked for.
        pollfd fds[2] = {{answerOpen ? answerPipe[0] : -1, POLLIN, 0}, {statusOpen ? statusPipe[0] : -1, POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) break;
        char buf[4096];
        if (answerOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = ::read(answerPipe[0], buf, sizeof buf);
            if (got > 0) {
                answer.append(buf, static_cast<size_t>(got));
                if (answer.size() > kMaxAnswerBytes) {
                    tooLong = true;
                    break;
                }
            } else if (got == 0 || errno != EINTR) {
                answerOpen = false;
            }
        }
        if (statusOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = ::read(statusPipe[0], buf, sizeof buf);
            if (got > 0 && status.size() < 64)
                status.append(buf, static_cast<size_t>(got));
            else if (got == 0 || (got < 0 && errno != EINTR))
                statusOpen = false;
        }
    }
    ::close(answerPipe[0]);
    ::close(statusPipe[0]);

    // Waits for the child's end without reaping it, so its process group
    // stays valid for the kill below.
    siginfo_t info{};
    bool ended = false;
    while (!timedOut && !tooLong) {
        info.si_pid = 0;
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (info.si_pid == pid) {
            ended = true;
            break;
        }
        if (Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    (void)ended;
    // Whatever the child left running in its group goes with it.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int wstatus = 0;
    struct rusage usage {};
    pid_t reaped;
    do reaped = ::wait4(pid, &wstatus, 0, &usage);
    while (reaped < 0 && errno == EINTR);

    const std::string prefix = "the model check";
    if (status.size() >= 2 * sizeof(int)) {
        int report[2];
        std::memcpy(report, status.data(), sizeof report);
        return R::fail(checkError("The model check program " + *program + " could not be started (" +
                                  stepName(report[0]) + ": " + ::strerror(report[1]) + ")"));
    }
    if (timedOut) return R::fail(checkError(prefix + " did not finish within " + std::to_string(o.wallSeconds) + " s"));
    if (tooLong)
        return R::fail(checkError(prefix + " answered more than " + std::to_string(kMaxAnswerBytes) + " bytes"));
    if (reaped != pid) return R::fail(checkError(prefix + " ended without an exit status"));
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFSIGNALED(wstatus)) {
        const int sig = WTERMSIG(wstatus);
        if (sig == SIGXCPU || (sig == SIGKILL && cpu >= static_cast<double>(o.cpuSeconds)))
            return R::fail(checkError(prefix + " used more than " + std::to_string(o.cpuSeconds) + " s of CPU"));
        if (sig == SIGXFSZ) return R::fail(checkError(prefix + " tried to write a file"));
        return R::fail(checkError(prefix + " ended with " + signalText(sig)));
    }
    const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    if (code == kExitOutOfMemory)
        return R::fail(checkError(prefix + " ran out of its " + mib(o.addressSpaceBytes) + " of address space"));
    if (code != 0) return R::fail(checkError(prefix + " failed with exit status " + std::to_string(code)));
    return parseAnswer(answer, *program);
}

std::string sha256Hex(const std::string& bytes) {
    gchar* hex =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out = hex ? hex : "";
    g_free(hex);
    return out;
}

namespace {

std::string stampText(const std::string& descriptionSha256, const std::string& modelSha256) {
    return "tevra-model-check 1\ndescription.json sha256 " + descriptionSha256 + "\nmodel sha256 " + modelSha256 + "\n";
}

}  // namespace

bool stampMatches(const std::string& dir, const std::string& descriptionSha256, const std::string& modelSha256) {
    auto text = readBoundedFile((fs::path(dir) / kStampFileName).string(), 4096, kOpenCVModelRuntimeErrorFile, "stamp");
    return text && *text == stampText(descriptionSha256, modelSha256);
}

bool writeStamp(const std::string& dir, const std::string& descriptionSha256, const std::string& modelSha256) {
    const fs::path target = fs::path(dir) / kStampFileName;
    const fs::path temporary = fs::path(dir) / (std::string(".") + kStampFileName + "." + std::to_string(::getpid()));
    {
        std::ofstream out(temporary, std::ios::trunc | std::ios::binary);
        out << stampText(descriptionSha256, modelSha256);
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temporary, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (!ec) return true;
    fs::remove(temporary, ec);
    return false;
}

}  // namespace tevra::model
