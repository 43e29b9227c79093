// Every archive of tools/hostile_archives.py through the real download path:
// a loopback server, libcurl, the libzip extractor and the OpenCV runtime,
// with a fresh registry for each. Each must fail with its failure line and
// leave the disk as it was: nothing outside the documents directory, nothing
// left in it or in the temporary directory, an earlier model untouched.
// Caps are lowered (16 MiB unpacked) so the bombs stop within milliseconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "linux/support/GeneratedFiles.h"
#include "linux/support/LoopbackServer.h"
#include "linux/support/Watchdog.h"
#include "models/ModelManager.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"
#include "linux/support/Sanitizers.h"

using namespace tevra;
using tevra::linux_platform::CurlHttpClient;
using tevra::linux_platform::ZipExtractor;
using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// The unpacked-size cap of these tests and what the bombs unpack to.
constexpr uint64_t kTestMaxUnpacked = 16 * kMiB;
constexpr int kBombMiB = 48;
// How much the process's peak resident size may grow while every hostile
// archive is fetched and refused (the bombs stream through 64 KiB buffers).
#if TEVRA_TEST_ASAN
constexpr long kPeakGrowthKiB = 256 * 1024;
#else
constexpr long kPeakGrowthKiB = 64 * 1024;
#endif

// Fixed at first use: the tests point TMPDIR elsewhere while they run.
fs::path scratch(const std::string& what) {
    static const fs::path base = fs::temp_directory_path();
    return base / ("tevra-hostile-" + what + "-" + std::to_string(::getpid()));
}

// Generated once per process: the hostile archives (pointing at the
// "outside" sentinel directory).
const fs::path& hostileDir() {
    static const fs::path dir = [] {
        fs::path d = scratch("archives");
        fs::remove_all(d);
        fs::create_directories(scratch("outside"));
        std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/hostile_archives.py " +
                          d.string() + " --outside " + scratch("outside").string() + " --bomb-mib " +
                          std::to_string(kBombMiB) + " > /dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return d;
    }();
    return dir;
}

const fs::path& packagesDir() { return tevra::testing::generated("packages", "make_test_models.py --form package"); }

class ScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ec;
        for (const char* what : {"archives", "outside", "run"}) fs::remove_all(scratch(what), ec);
    }
};
[[maybe_unused]] ::testing::Environment* const kCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A ZIP archive holding `package` as TOP/ (libzip, in a file).
std::string zipPackage(const fs::path& package, const std::string& top, const fs::path& scratchFile) {
    int err = 0;
    zip_t* z = zip_open(scratchFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    EXPECT_NE(z, nullptr);
    if (!z) return {};
    zip_dir_add(z, (top + "/").c_str(), ZIP_FL_ENC_UTF_8);
    for (auto& e : fs::directory_iterator(package)) {
        zip_source_t* src = zip_source_file(z, e.path().c_str(), 0, -1);
        zip_file_add(z, (top + "/" + e.path().filename().string()).c_str(), src, ZIP_FL_ENC_UTF_8);
    }
    EXPECT_EQ(zip_close(z), 0);
    std::string bytes = readFile(scratchFile);
    fs::remove(scratchFile);
    return bytes;
}

// Everything below `dir`, as path -> what it is (file bytes, link target,
// or "<dir>"), links not followed.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_symlink())
            out[rel] = "<link> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            out[rel] = "<dir>";
        else
            out[rel] = readFile(it->path());
    }
    return out;
}

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Completion calls; waits with a deadline.
class Answers {
public:
    ModelManager::Completion make() {
        return [this](bool ok) {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back(ok);
            cv_.notify_all();
        };
    }
    // The one answer, or false when none came within `seconds`.
    bool one(double seconds = 30) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool came = cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !results_.empty(); });
        EXPECT_TRUE(came) << "no answer within " << seconds << " s";
        return came && results_.size() == 1 && results_[0];
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<bool> results_;
};

class HostileArchives : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(hostileDir() / "index.json"));
        ASSERT_TRUE(fs::exists(packagesDir() / "test_sign.mlpackage"));
        static std::atomic<int> counter{0};
        root_ = scratch("run") / std::to_string(counter++);
        fs::remove_all(root_);
        for (const char* d : {"documents", "tmp", "bundle"}) fs::create_directories(root_ / d);
        docs_ = root_ / "documents";
        // Downloads and compiles go to a temporary directory of this test's
        // own, so "nothing left there" can be checked.
        if (const char* old = std::getenv("TMPDIR")) savedTmp_ = old;
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);

        fake_ = fake::FakePlatform::install();
        Limits limits;
        limits.archiveMaxTotalBytes = kTestMaxUnpacked;
        fake_->platform->limits = limits;
        fake_->platform->http = std::make_shared<CurlHttpClient>();
        fake_->platform->archive = std::make_shared<ZipExtractor>(limits);
        fake_->platform->models = std::make_shared<OpenCVModelRuntime>();
        fake_->platform->documentsDirectory = docs_.string();
        fake_->platform->resourcesDirectory = (root_ / "bundle").string();
        server_ = std::make_unique<LoopbackServer>([this](const LoopbackRequest& r) {
            LoopbackResponse response;
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = bodies_.find(r.target);
            if (it != bodies_.end())
                response.body = it->second;
            else if (fs::is_regular_file(hostileDir() / r.target.substr(1)))
                response.body = readFile(hostileDir() / r.target.substr(1));
            else
                response.status = 404;
            return response;
        });
        ASSERT_TRUE(server_->listening());
        serve("/sign.zip", zipPackage(packagesDir() / "test_sign.mlpackage", "sign.mlpackage", root_ / "z.zip"));
        serve("/digit.zip", zipPackage(packagesDir() / "test_digit.mlpackage", "digit.mlpackage", root_ / "z.zip"));
    }
    void TearDown() override {
        server_.reset();
        if (fake_) fake_->platform->http.reset();  // joins the client's threads
        if (savedTmp_)
            ::setenv("TMPDIR", savedTmp_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void serve(const std::string& path, std::string body) {
        std::lock_guard<std::mutex> lock(mutex_);
        bodies_[path] = std::move(body);
    }
    // ensureModelReady for `name` from `path` with a fresh registry.
    bool ensure(const std::string& name, const std::string& path) {
        auto manager = ModelManager::create();
        Answers answers;
        manager->ensureModelReady(name, server_->url(path), answers.make());
        return answers.one();
    }
    // The input size a fresh registry loads `name` with, from local storage.
    ModelInputSize loadedSize(const std::string& name) {
        auto manager = ModelManager::create();
        Answers answers;
        manager->ensureModelReady(name, server_->url("/nothing-here.zip"), answers.make());
        EXPECT_TRUE(answers.one()) << name;
        auto size = manager->getInputImageSize(name);
        return size ? *size : ModelInputSize{0, 0};
    }
    Lines out() const { return fake_->log->stdoutLines(); }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::unique_ptr<LoopbackServer> server_;
    fs::path root_, docs_;
    std::optional<std::string> savedTmp_;
    std::mutex mutex_;
    std::map<std::string, std::string> bodies_;
};

}  // namespace

TEST_F(HostileArchives, EveryArchiveFailsWithItsLineAndLeavesTheDiskAsItWas) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(240), "HostileArchives.EveryArchive...");
    nlohmann::json index = nlohmann::json::parse(readFile(hostileDir() / "index.json"));
    ASSERT_GE(index.size(), 25u);

    // An earlier good model of another name.
    ASSERT_TRUE(ensure("good", "/sign.zip")) << ::testing::PrintToString(out());
    const auto documentsBefore = snapshot(docs_);
    const auto rootBefore = snapshot(root_ / "bundle");
    std::ofstream(scratch("outside") / "sentinel") << "sentinel";
    const auto outsideBefore = snapshot(scratch("outside"));
    ASSERT_EQ(outsideBefore.size(), 1u);
    const long peakBefore = peakResidentKiB();

    for (const auto& item : index) {
        const std::string file = item.at("file");
        const std::string name = "h_" + fs::path(file).stem().string();
        SCOPED_TRACE(file);
        fake_->log->clear();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(ensure(name, "/" + file));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_LT(seconds, 10.0);

        // The failure line, with the reason when one is expected; no line
        // broken or forged by the archive's names.
        const std::string expected = item.at("expect").get<std::string>() + " " + name;
        bool found = false;
        const Lines lines = out();
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find_first_of("\n\r"), std::string::npos) << line;
            if (line.rfind(expected, 0) != 0) continue;
            if (item.at("detail").empty()) found = true;
            for (const auto& detail : item.at("detail"))
                if (line.find(detail.get<std::string>()) != std::string::npos) found = true;
        }
        EXPECT_TRUE(found) << ::testing::PrintToString(lines);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("Model ready", 0) == 0; }), 0);

        // Nothing outside, nothing left behind, the earlier model untouched.
        EXPECT_EQ(snapshot(docs_), documentsBefore);
        EXPECT_TRUE(fs::is_empty(root_ / "tmp")) << ::testing::PrintToString(snapshot(root_ / "tmp"));
        EXPECT_EQ(snapshot(scratch("outside")), outsideBefore);
        EXPECT_EQ(snapshot(root_ / "bundle"), rootBefore);
        std::set<std::string> top;
        for (auto& e : fs::directory_iterator(root_)) top.insert(e.path().filename().string());
        EXPECT_EQ(top, (std::set<std::string>{"bundle", "documents", "tmp"}));
    }
    const long growth = peakResidentKiB() - peakBefore;
    std::printf("peak resident size grew by %ld KiB over %zu hostile archives\n", growth, index.size());
    EXPECT_LT(growth, kPeakGrowthKiB);

    // The earlier model still loads its own files.
    EXPECT_EQ(loadedSize("good"), (ModelInputSize{128, 128}));

    // A failed compile over an earlier model of the same name leaves that
    // compiled model as it was (and the failed attempt's files gone).
    const auto compiledBefore = snapshot(docs_ / "good.mlmodelc");
    auto manager = ModelManager::create();
    Answers answers;
    manager->downloadModel("good", server_->url("/garbage_package.zip"), answers.make());
    EXPECT_FALSE(answers.one());
    EXPECT_EQ(snapshot(docs_ / "good.mlmodelc"), compiledBefore);
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(docs_)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"good.mlmodelc"}));
    EXPECT_EQ(loadedSize("good"), (ModelInputSize{128, 128}));
}

TEST_F(HostileArchives, NamesOfAnotherModelsEntriesAreRefusedAndItKeepsItsOwnFiles) {
    ASSERT_TRUE(ensure("victim", "/sign.zip")) << ::testing::PrintToString(out());
    const auto before = snapshot(docs_);
    const size_t requests = server_->requests().size();
    for (const std::string name : {"victim.mlmodelc", "victim.MLMODELC", "victim.zip", "victim.mlpackage",
                                   "victim.mlmodelc.incoming", ".tevra-unpack-x", ".victim"}) {
        SCOPED_TRACE(name);
        fake_->log->clear();
        EXPECT_FALSE(ensure(name, "/digit.zip"));
        ASSERT_FALSE(out().empty());
        EXPECT_EQ(out()[0].rfind("❌ Invalid model name: \"", 0), 0u) << out()[0];
    }
    EXPECT_EQ(server_->requests().size(), requests);
    EXPECT_EQ(snapshot(docs_), before);
    // victim is the sign model (128 x 128), not the digit reader (64 x 32).
    fake_->log->clear();
    EXPECT_EQ(loadedSize("victim"), (ModelInputSize{128, 128}));
    EXPECT_EQ(server_->requests().size(), requests);
    EXPECT_EQ(out()[0], "Found in local storage");
}

TEST_F(HostileArchives, ADeepLeftoverTreeIsRemovedAndTheNameDownloadsAgain) {
    // What an older version left after a hostile archive: DOCUMENTS/deep/
    // 1,100 levels deep, more than the descriptors allowed below.
    int fd = ::open(docs_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::mkdirat(fd, "deep", 0755), 0);
    int level = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    for (int i = 0; i < 1100 && level >= 0; ++i) {
        ASSERT_EQ(::mkdirat(level, "d", 0755), 0);
        int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(level);
        level = next;
    }
    ASSERT_GE(level, 0);
    ::close(level);

    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    bool ok = ensure("deep", "/sign.zip");
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(ok) << ::testing::PrintToString(out());
    EXPECT_FALSE(fs::exists(docs_ / "deep" / "d"));
    EXPECT_TRUE(fs::is_regular_file(docs_ / "deep" / "sign.mlpackage" / "model.onnx"));
    EXPECT_TRUE(fs::is_regular_file(docs_ / "deep.mlmodelc" / "description.json"));
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(docs_)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"deep", "deep.mlmodelc", "deep.zip"}));
}
