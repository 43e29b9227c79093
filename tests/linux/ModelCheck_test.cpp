// The out-of-process model check: hostile model files (tools/hostile_models.py)
// end as errors with their reason while this process lives; validated files
// are stamped and not checked again until they change; declared inputs are
// counted before anything is allocated; the child's limits and isolation hold
// (checked with stand-in check programs).
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/linux/ModelCheck.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "linux/support/GeneratedFiles.h"

using namespace tevra;
namespace fs = std::filesystem;

namespace {

// The test's own scratch directory (stored copies, stand-in programs),
// removed at the end; the generated packages come from tools/.
const fs::path& root() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("tevra-model-check-test-" + std::to_string(::getpid()));
        fs::remove_all(d);
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

const fs::path& good() { return tevra::testing::generated("packages", "make_test_models.py --form package"); }
const fs::path& hostileDir() { return tevra::testing::generated("hostile-models", "hostile_models.py"); }

class Cleanup : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() / ("tevra-model-check-test-" + std::to_string(::getpid())), ec);
    }
};
[[maybe_unused]] ::testing::Environment* const kCleanup = ::testing::AddGlobalTestEnvironment(new Cleanup);

fs::path hostile(const std::string& name) { return hostileDir() / (name + ".mlpackage"); }

// A compiled directory (as stored in the documents directory) holding the
// model file of package `from`, with output shapes declared; no stamp.
fs::path storedCopy(const fs::path& from, const std::string& name) {
    fs::path dir = root() / "stored" / (name + ".mlmodelc");
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(from / "model.onnx", dir / "model.onnx");
    std::ifstream in(from / "description.json");
    auto j = nlohmann::json::parse(in);
    j["outputs"] = {{{"name", "coordinates"}, {"shape", {1, 4}}}, {{"name", "confidence"}, {"shape", {1, 1}}}};
    std::ofstream(dir / "description.json") << j.dump();
    return dir;
}

Limits quickLimits() {
    Limits l;
    l.modelCheckWallSeconds = 20;
    return l;
}

OpenCVModelRuntime realRuntime(const Limits& l = quickLimits()) {
    return OpenCVModelRuntime(l, TEVRA_MODEL_CHECK_BINARY);
}

long peakRssKiB() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A stand-in check program: a script written to the test directory.
std::string script(const std::string& name, const std::string& text) {
    fs::path p = root() / "scripts" / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    fs::permissions(p, fs::perms::owner_all);
    return p.string();
}

}  // namespace

TEST(ModelCheck, ACrashingModelFileIsAnErrorWhenCompiledOrLoaded) {
    // The initializer declares 67,108,864 floats and carries 4 bytes; OpenCV
    // crashes copying it. Here it crashes only the child.
    auto runtime = realRuntime();
    auto compiled = runtime.compileModelAtURL(hostile("short_initializer").string());
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error.domain, kOpenCVModelRuntimeErrorDomain);
    EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorCheck);
    EXPECT_NE(compiled.error.localizedDescription.find("the model check ended with signal 11 (Segmentation fault)"),
              std::string::npos)
        << compiled.error.localizedDescription;
    EXPECT_EQ(runtime.checksStarted(), 1u);

    // The same bytes stored by an older version (no stamp): every load is
    // checked again, and fails again, in a child.
    fs::path stored = storedCopy(hostile("short_initializer"), "crashing");
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto loaded = runtime.modelWithContentsOfURL(stored.string(), 3);
        ASSERT_FALSE(loaded);
        EXPECT_EQ(loaded.error.code, kOpenCVModelRuntimeErrorCheck);
        EXPECT_NE(loaded.error.localizedDescription.find("signal 11"), std::string::npos);
    }
    EXPECT_EQ(runtime.checksStarted(), 3u);
    EXPECT_FALSE(fs::exists(stored / model::kStampFileName));
}

TEST(ModelCheck, AModelThatExhaustsMemoryHitsTheAddressSpaceLimit) {
    // ConstantOfShape asks for a 4 GiB tensor while the network loads.
    Limits limits = quickLimits();
    limits.modelCheckAddressSpaceBytes = 1024 * Limits::kMiB;
    auto runtime = realRuntime(limits);
    auto compiled = runtime.compileModelAtURL(hostile("huge_constant").string());
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorCheck);
    EXPECT_NE(compiled.error.localizedDescription.find("the model check ran out of its 1024 MiB of address space"),
              std::string::npos)
        << compiled.error.localizedDescription;

    // Files that are merely broken keep their own error.
    for (const char* name : {"not_onnx", "truncated"}) {
        auto broken = runtime.compileModelAtURL(hostile(name).string());
        ASSERT_FALSE(broken) << name;
        EXPECT_EQ(broken.error.code, kOpenCVModelRuntimeErrorModelFile) << broken.error.localizedDescription;
    }
}

TEST(ModelCheck, AValidatedModelIsStampedAndNotCheckedAgainUntilItChanges) {
    auto runtime = realRuntime();
    // A package that brings its own stamp gets no credit for it.
    fs::path package = good() / "test_sign.mlpackage";
    std::ofstream(package / model::kStampFileName) << "tevra-model-check 1\nforged\n";
    auto compiled = runtime.compileModelAtURL(package.string());
    ASSERT_TRUE(compiled) << compiled.error.description();
    EXPECT_EQ(runtime.checksStarted(), 1u);
    fs::path dir(*compiled);
    std::ifstream stampIn(dir / model::kStampFileName);
    std::string stamp((std::istreambuf_iterator<char>(stampIn)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stamp.find("forged"), std::string::npos);
    EXPECT_NE(stamp.find("tevra-model-check 1"), std::string::npos);

    // Loading what was just compiled needs no second child, in this runtime
    // (its memory) or a fresh one (the stamp, as after a restart).
    ASSERT_TRUE(runtime.modelWithContentsOfURL(dir.string(), 3));
    EXPECT_EQ(runtime.checksStarted(), 1u);
    auto restarted = realRuntime();
    ASSERT_TRUE(restarted.modelWithContentsOfURL(dir.string(), 3));
    EXPECT_EQ(restarted.checksStarted(), 0u);

    // A changed file is checked again, then stamped again.
    { std::ofstream(dir / "description.json", std::ios::app) << "\n"; }
    auto again = realRuntime();
    ASSERT_TRUE(again.modelWithContentsOfURL(dir.string(), 3));
    EXPECT_EQ(again.checksStarted(), 1u);
    auto afterThat = realRuntime();
    ASSERT_TRUE(afterThat.modelWithContentsOfURL(dir.string(), 3));
    EXPECT_EQ(afterThat.checksStarted(), 0u);

    // A stamp copied onto other files does not fit them.
    fs::path swapped = storedCopy(hostile("short_initializer"), "swapped");
    fs::copy_file(dir / model::kStampFileName, swapped / model::kStampFileName);
    auto victim = realRuntime();
    EXPECT_FALSE(victim.modelWithContentsOfURL(swapped.string(), 3));
    EXPECT_EQ(victim.checksStarted(), 1u);
    fs::remove_all(dir.parent_path());
}

TEST(ModelCheck, OversizedInputsAreRefusedBeforeAnythingIsAllocated) {
    // Before the count, 12 multi-array inputs or one 8192 x 8192 image took
    // about 800 MB of zero tensors.
    auto runtime = realRuntime();
    const long before = peakRssKiB();
    struct Case {
        const char* name;
        const char* says;
    };
    for (Case c : {Case{"twelve_inputs", "declares 12 inputs; at most 8 are allowed"},
                   Case{"huge_image", "image input \"image\" of 8192 x 8192 is too large"},
                   Case{"many_outputs", "declares 64 outputs; at most 16 are allowed"},
                   Case{"description_bomb", "not a JSON object"}}) {
        auto compiled = runtime.compileModelAtURL(hostile(c.name).string());
        ASSERT_FALSE(compiled) << c.name;
        EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorDescription);
        EXPECT_NE(compiled.error.localizedDescription.find(c.says), std::string::npos)
            << compiled.error.localizedDescription;
    }
    auto loaded = runtime.modelWithContentsOfURL(storedCopy(hostile("twelve_inputs"), "twelve").string(), 3);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error.code, kOpenCVModelRuntimeErrorDescription);
    // Refused in this process, without a child and without the memory.
    EXPECT_EQ(runtime.checksStarted(), 0u);
    EXPECT_LT(peakRssKiB() - before, 100 * 1024);

    // Fewer, smaller inputs than the host's own limits are refused too.
    Limits tight = quickLimits();
    tight.modelMaxInputElements = 32 * 32 * 3 - 1;
    auto strict = realRuntime(tight);
    auto small = strict.compileModelAtURL(hostile("deep_graph").string());
    ASSERT_FALSE(small);
    EXPECT_NE(small.error.localizedDescription.find("inputs of more than 3071 elements"), std::string::npos);
}

TEST(ModelCheck, TheChildHasLimitsNoNetworkAndNoInheritedDescriptors) {
    const std::string package = (good() / "test_digit.mlpackage").string();
    using Clock = std::chrono::steady_clock;

    struct Case {
        const char* name;
        const char* program;
        long wallSeconds;
        const char* says;
    };
    for (Case c : {
             Case{"sleeper", "#!/bin/sh\nsleep 30\n", 1, "the model check did not finish within 1 s"},
             Case{"spinner", "#!/bin/bash\nwhile :; do :; done\n", 30, "the model check used more than 1 s of CPU"},
             Case{"chatter", "#!/bin/sh\nexec yes\n", 4, "the model check answered more than 65536 bytes"},
             Case{"aborter", "#!/bin/bash\nkill -ABRT $$\n", 4, "the model check ended with signal 6 (Aborted)"},
             Case{"liar", "#!/bin/sh\necho '{\"ok\": true}'\n", 4, "gave no usable answer"},
         }) {
        Limits limits = quickLimits();
        limits.modelCheckWallSeconds = c.wallSeconds;
        limits.modelCheckCpuSeconds = 1;
        OpenCVModelRuntime runtime(limits, script(c.name, c.program));
        const auto t0 = Clock::now();
        auto compiled = runtime.compileModelAtURL(package);
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        ASSERT_FALSE(compiled) << c.name;
        EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorCheck) << c.name;
        EXPECT_NE(compiled.error.localizedDescription.find(c.says), std::string::npos)
            << c.name << ": " << compiled.error.localizedDescription;
        // Ended by the limit (the spinner needs its 1 s of CPU, later on a
        // busy machine), never by this test's patience.
        EXPECT_LT(seconds, static_cast<double>(c.wallSeconds) + 3.0) << c.name;
    }

    // What the child can reach: a socket is refused (EACCES, 13); no
    // descriptor past standard error is open.
    const std::string probe = script("probe", R"(#!/usr/bin/python3
import json, os, socket
try:
    socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    net = "socket created"
except OSError as e:
    net = "socket refused %d" % e.errno
fds = []
for fd in range(3, 256):
    try:
        os.fstat(fd)
        fds.append(fd)
    except OSError:
        pass
print(json.dumps({"ok": False, "code": 2, "message": "%s; fds %s" % (net, fds)}))
)");
    OpenCVModelRuntime runtime(quickLimits(), probe);
    auto compiled = runtime.compileModelAtURL(package);
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error.localizedDescription, "socket refused 13; fds []");
}

TEST(ModelCheck, AMissingCheckProgramIsAClearErrorAndNothingIsOpenedInProcess) {
    const std::string package = (good() / "test_sign.mlpackage").string();
    OpenCVModelRuntime runtime(quickLimits(), "/nonexistent/tevra-model-check");
    auto compiled = runtime.compileModelAtURL(package);
    ASSERT_FALSE(compiled);
    EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorCheck);
    EXPECT_NE(
        compiled.error.localizedDescription.find("The model check program /nonexistent/tevra-model-check is missing"),
        std::string::npos)
        << compiled.error.localizedDescription;
    EXPECT_EQ(runtime.checksStarted(), 0u);

    // The environment variable names it when no path is given.
    ::setenv(model::kCheckProgramVariable, "/nonexistent/from-env", 1);
    OpenCVModelRuntime fromEnvironment{Limits()};
    auto viaEnvironment = fromEnvironment.compileModelAtURL(package);
    ::unsetenv(model::kCheckProgramVariable);
    ASSERT_FALSE(viaEnvironment);
    EXPECT_NE(viaEnvironment.error.localizedDescription.find("/nonexistent/from-env (TEVRA_MODEL_CHECK)"),
              std::string::npos);
    // Without either, the program beside this test binary is found.
    EXPECT_EQ(*model::locateCheckProgram(""), fs::path(TEVRA_MODEL_CHECK_BINARY).string());
}

TEST(ModelCheck, EveryHostilePackageEndsAsOneLineErrorOrAModelThatOpens) {
    auto runtime = realRuntime();
    int refused = 0;
    for (const auto& entry : fs::directory_iterator(hostileDir())) {
        auto compiled = runtime.compileModelAtURL(entry.path().string());
        if (!compiled) {
            ++refused;
            EXPECT_EQ(compiled.error.domain, kOpenCVModelRuntimeErrorDomain);
            EXPECT_EQ(compiled.error.localizedDescription.find('\n'), std::string::npos)
                << entry.path() << ": " << compiled.error.localizedDescription;
            continue;
        }
        // A deep but valid graph is a model like any other.
        EXPECT_TRUE(runtime.modelWithContentsOfURL(*compiled, 3)) << entry.path();
        fs::remove_all(fs::path(*compiled).parent_path());
    }
    EXPECT_GE(refused, 9);
}
