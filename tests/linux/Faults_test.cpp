// Faults from outside, on the real Linux components: a model storage that
// runs out of space, a damaged defaults file, and a VPS server that never
// answers. (The page view losing its web process is tested with the other
// page-view tests, which own the display.)
//
// The full disk is made by the kernel, not by a stand-in: a file-size limit
// (RLIMIT_FSIZE, with SIGXFSZ ignored) makes every write beyond it fail with
// EFBIG, the way a full file system fails with ENOSPC, in libcurl's download
// file, in the archive extraction and in the copy of a compiled model. It
// needs no privileges, so it runs everywhere. The limit is process-wide and
// held only while one download is in flight.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/FrameworkResources.h"
#include "bridge/ViewControllerSDK.h"
#include "linux/support/LoopbackServer.h"
#include "models/ModelManager.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/FileUserDefaults.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"

using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;
namespace fs = std::filesystem;

namespace tevra {
namespace {

using Lines = std::vector<std::string>;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

size_t countPrefixed(const Lines& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](auto& l) { return startsWith(l, prefix); }));
}

// Writes beyond `bytes` fail with EFBIG while this lives.
class FileSizeLimit {
public:
    static void set(rlim_t bytes) {
        rlimit r{};
        getrlimit(RLIMIT_FSIZE, &r);
        r.rlim_cur = std::min(bytes, r.rlim_max);
        setrlimit(RLIMIT_FSIZE, &r);
    }
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        set(bytes);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

// A model runtime that fills the disk once a compilation is done, so that
// storing the compiled model is what fails.
class DiskFillingRuntime : public ModelRuntime {
public:
    explicit DiskFillingRuntime(std::shared_ptr<ModelRuntime> inner) : inner_(std::move(inner)) {}
    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& url, int computeUnits) override {
        return inner_->modelWithContentsOfURL(url, computeUnits);
    }
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override {
        auto compiled = inner_->compileModelAtURL(packageDir);
        if (compiled) lastCompiled = *compiled;
        if (fillAfterCompile) FileSizeLimit::set(16);
        return compiled;
    }
    std::atomic<bool> fillAfterCompile{false};
    std::string lastCompiled;  // read after the completion

private:
    std::shared_ptr<ModelRuntime> inner_;
};

// Boolean completions, waited for with a deadline.
class Answers {
public:
    ModelManager::Completion make() {
        return [this](bool ok) {
            std::lock_guard<std::mutex> lock(mutex_);
            values_.push_back(ok);
            cv_.notify_all();
        };
    }
    std::vector<bool> waitFor(size_t n, double seconds = 30) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return values_.size() >= n; });
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<bool> values_;
};

// ---- The model storage on a full disk ----

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        root_ = fs::temp_directory_path() /
                ("tevra-faults-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(root_ / "bundle");
        const std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/make_test_models.py " +
                                (root_ / "models").string() + " --form both >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

        // The archive: the sign model package and a megabyte of zeros that
        // compresses to almost nothing, so it is small to download and
        // large to unpack.
        archive_ = root_ / "sign.zip";
        const std::string zip =
            "/usr/bin/python3 -c \"import os, sys, zipfile\n"
            "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
            "for f in sorted(os.listdir(sys.argv[2])):\n"
            "    z.write(os.path.join(sys.argv[2], f), 'sign.mlpackage/' + f)\n"
            "z.writestr('padding.bin', bytes(1 << 20))\n"
            "z.close()\" " +
            archive_.string() + " " + (root_ / "models" / "test_sign.mlpackage").string();
        ASSERT_EQ(std::system(zip.c_str()), 0) << zip;

        fake_ = fake::FakePlatform::install();
        fake_->platform->http = std::make_shared<linux_platform::CurlHttpClient>();
        fake_->platform->archive = std::make_shared<linux_platform::ZipExtractor>();
        runtime_ = std::make_shared<DiskFillingRuntime>(std::make_shared<OpenCVModelRuntime>());
        fake_->platform->models = runtime_;
        fake_->platform->resourcesDirectory = (root_ / "bundle").string();
        useDocuments(root_ / "documents");

        const std::string body = readFile(archive_);
        server_ = std::make_unique<LoopbackServer>([this, body](const LoopbackRequest&) {
            LoopbackResponse r;
            r.body = body;
            r.delaySeconds = delay_;
            return r;
        });
        ASSERT_TRUE(server_->listening());
    }
    void TearDown() override {
        server_.reset();
        if (fake_) fake_->platform->http.reset();  // joins the client's threads
        std::error_code ec;
        fs::remove_all(root_, ec);
        if (!otherFileSystem_.empty()) fs::remove_all(otherFileSystem_, ec);
    }

    void useDocuments(const fs::path& dir) {
        fs::create_directories(dir);
        docs_ = dir;
        fake_->platform->documentsDirectory = dir.string();
    }
    // An earlier compiled model of `name`, marked so that its survival shows.
    void placeEarlierModel(const std::string& name) {
        fs::copy(root_ / "models" / "test_sign.mlmodelc", docs_ / (name + ".mlmodelc"), fs::copy_options::recursive);
        writeFile(docs_ / (name + ".mlmodelc") / "earlier", "yes");
    }
    // The earlier model is still there, complete, and loads.
    void expectEarlierModelUsable(const std::string& name) {
        EXPECT_TRUE(fs::exists(docs_ / (name + ".mlmodelc") / "earlier"));
        EXPECT_FALSE(fs::exists(docs_ / (name + ".mlmodelc.incoming")));
        EXPECT_FALSE(ModelManager::create()->loadModel(name)) << "the earlier compiled model no longer loads";
    }
    // Runs downloadModel under a file-size limit and returns its answer.
    bool downloadUnderLimit(const std::string& name, rlim_t limit) {
        FileSizeLimit full(limit);
        Answers answers;
        manager_->downloadModel(name, server_->url("/sign.zip"), answers.make());
        auto values = answers.waitFor(1);
        EXPECT_EQ(values.size(), 1u);
        return !values.empty() && values[0];
    }
    Lines out() const { return fake_->log->stdoutLines(); }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<DiskFillingRuntime> runtime_;
    std::unique_ptr<LoopbackServer> server_;
    std::shared_ptr<ModelManager> manager_ = ModelManager::create();
    std::atomic<double> delay_{0};
    fs::path root_, docs_, archive_, otherFileSystem_;
};

TEST_F(FullDisk, DownloadAndUnpackFailWithTheirLinesAndTheEarlierModelSurvives) {
    const auto archiveSize = fs::file_size(archive_);
    const rlim_t belowArchive = 512, aboveArchive = 256 * 1024;
    ASSERT_GT(archiveSize, 2 * belowArchive);
    ASSERT_LT(archiveSize, aboveArchive);
    for (auto& e : fs::recursive_directory_iterator(root_ / "models" / "test_sign.mlpackage"))
        ASSERT_LT(e.file_size(), aboveArchive) << e.path();
    placeEarlierModel("fault_sign");

    // No room for the download itself.
    EXPECT_FALSE(downloadUnderLimit("fault_sign", belowArchive));
    EXPECT_EQ(out().back(), "Download failed for fault_sign: Could not write the downloaded data: File too large");
    expectEarlierModelUsable("fault_sign");

    // Room for the archive, not for what it unpacks to.
    fake_->log->clear();
    EXPECT_FALSE(downloadUnderLimit("fault_sign", aboveArchive));
    ASSERT_FALSE(out().empty());
    EXPECT_TRUE(startsWith(out().back(), "Model processing failed for fault_sign: ")) << out().back();
    EXPECT_EQ(countPrefixed(out(), "Model processing failed for "), 1u);
    expectEarlierModelUsable("fault_sign");

    // With room again the same download goes through and replaces it.
    fake_->log->clear();
    EXPECT_TRUE(downloadUnderLimit("fault_sign", RLIM_INFINITY));
    EXPECT_EQ(out().back(), "Model ready: fault_sign");
    EXPECT_FALSE(fs::exists(docs_ / "fault_sign.mlmodelc" / "earlier"));
    EXPECT_TRUE(fs::exists(docs_ / "fault_sign.mlmodelc" / "description.json"));
}

TEST_F(FullDisk, EveryWaitingCallerGetsFalseAndTheNextRequestStartsOver) {
    Answers answers;
    delay_ = 0.5;  // all three ask while the one download is in flight
    {
        FileSizeLimit full(512);
        for (int i = 0; i < 3; ++i)
            manager_->ensureModelReadyWithName("fault_fresh", server_->url("/sign.zip"), answers.make());
        EXPECT_EQ(answers.waitFor(3), (std::vector<bool>{false, false, false}));
    }
    EXPECT_FALSE(manager_->isModelLoaded("fault_fresh"));
    EXPECT_EQ(countPrefixed(out(), "Downloading fault_fresh from "), 1u);
    EXPECT_EQ(countPrefixed(out(), "Download failed for fault_fresh: "), 1u);
    EXPECT_NE(out().back().find("] finish: fault_fresh success: false, calling 3 completions"), std::string::npos)
        << out().back();

    // Nothing is left marked as downloading: the next request downloads again.
    delay_ = 0;
    Answers again;
    manager_->ensureModelReadyWithName("fault_fresh", server_->url("/sign.zip"), again.make());
    EXPECT_EQ(again.waitFor(1), (std::vector<bool>{true}));
    EXPECT_EQ(countPrefixed(out(), "Downloading fault_fresh from "), 2u);
    EXPECT_TRUE(manager_->isModelLoaded("fault_fresh"));
}

// The disk fills while the model compiles, so storing the compiled model
// fails. The compiler writes to the temporary directory; with the storage on
// another file system storing it is a copy, which needs room. The earlier
// compiled model is replaced only once the new one is fully in place.
TEST_F(FullDisk, StoringTheCompiledModelFailsAndTheEarlierOneIsKept) {
    struct stat tmp {
    }, shm{};
    otherFileSystem_ = fs::path("/dev/shm") / ("tevra-faults-" + std::to_string(::getpid()));
    std::error_code ec;
    fs::create_directories(otherFileSystem_, ec);
    if (ec || stat(fs::temp_directory_path().c_str(), &tmp) != 0 || stat(otherFileSystem_.c_str(), &shm) != 0 ||
        tmp.st_dev == shm.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system than " << fs::temp_directory_path();
    useDocuments(otherFileSystem_ / "documents");
    placeEarlierModel("fault_sign");

    runtime_->fillAfterCompile = true;
    EXPECT_FALSE(downloadUnderLimit("fault_sign", RLIM_INFINITY));
    runtime_->fillAfterCompile = false;
    ASSERT_FALSE(out().empty());
    EXPECT_TRUE(startsWith(out().back(), "Model processing failed for fault_sign: Could not copy ")) << out().back();
    EXPECT_NE(out().back().find("File too large"), std::string::npos) << out().back();
    expectEarlierModelUsable("fault_sign");
    // A failed attempt leaves nothing of its own behind: not the unpacked
    // archive, not the compiler's output in the temporary directory.
    EXPECT_FALSE(fs::exists(docs_ / "fault_sign"));
    ASSERT_FALSE(runtime_->lastCompiled.empty());
    EXPECT_FALSE(fs::exists(runtime_->lastCompiled));
}

// ---- A damaged defaults file ----

class DamagedDefaults : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tevra-faults-defaults-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        path_ = dir_ / "defaults.json";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_, path_;
};

// Whatever the file holds, the controller starts: one log line at most, no
// remembered page when tracking begins, and the next page the host loads is
// remembered in a good file again.
TEST_F(DamagedDefaults, ControllerStartsWithNoRememberedPageAndRecovers) {
    const std::string good = "{\n  \"url\": \"https://example.org/ar\"\n}\n";
    struct Case {
        const char* what;
        std::string content;
        size_t lines;  // log lines expected while loading
    };
    const std::vector<Case> cases = {
        {"truncated", good.substr(0, good.size() / 2), 1},
        {"cut after the value", good.substr(0, good.find('}')), 1},
        {"empty", "", 1},
        {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), 1},
        {"not an object", "[\"https://example.org/ar\"]", 1},
        {"invalid UTF-8", "{\"url\": \"https://example.org/\xff\xfe\"}", 1},
        {"url not text", "{\"url\": 42}", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path_, c.content);
        fs::remove(dir_ / "defaults.json.corrupt");
        auto fake = fake::FakePlatform::install();
        setFrameworkResourcesDirectory(TEVRA_SOURCE_RESOURCES);
        auto defaults = std::make_shared<linux_platform::FileUserDefaults>(path_.string());
        fake->platform->defaults = defaults;
        EXPECT_EQ(fake->log->systemLines().size(), c.lines) << ::testing::PrintToString(fake->log->systemLines());
        if (c.lines == 1) {
            EXPECT_EQ(readFile(dir_ / "defaults.json.corrupt"), c.content);
        }

        auto hostView = std::make_shared<View>(Rect{0, 0, 390, 844});
        auto controller = ViewControllerSDK::initWithView(hostView, fake->views->makeHostWebView({0, 0, 390, 844}));
        fake::FakeWebView& page = *fake->views->lastWebView();
        EXPECT_EQ(controller->getURLFromUserDefaults(), std::nullopt);
        auto camera = std::make_shared<fake::FakeARCamera>();
        camera->state_ = ARTrackingStateNormal;
        controller->sessionCameraDidChangeTrackingState(*fake->ar->lastSession(), camera);
        EXPECT_TRUE(controller->initialPageLoadedWhenTrackingBegins);
        EXPECT_TRUE(page.loadedURLs().empty());

        controller->loadURL("https://example.org/next");
        EXPECT_EQ(page.loadedURLs(), (std::vector<std::string>{"https://example.org/next"}));
        controller.reset();
        fake->platform->defaults.reset();
        defaults.reset();
        EXPECT_EQ(linux_platform::FileUserDefaults(path_.string()).stringForKey("url"), "https://example.org/next");
    }
}

// ---- A VPS server that never answers ----

class SilentVPSServer : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install(fake::FakeDispatch::GlobalMode::Threads);
        linux_platform::CurlHttpClient::Options options;
        options.idleTimeoutSeconds = 1;
        curl_ = std::make_shared<linux_platform::CurlHttpClient>(options);
        fake_->platform->http = curl_;
        setFrameworkResourcesDirectory(TEVRA_SOURCE_RESOURCES);
        hostView_ = std::make_shared<View>(Rect{0, 0, 390, 844});
        controller_ = ViewControllerSDK::initWithView(hostView_, fake_->views->makeHostWebView({0, 0, 390, 844}));
        auto frame = PixelBuffer::create(640, 480, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        std::fill(frame->baseAddressOfPlane(0), frame->baseAddressOfPlane(0) + frame->bytesPerRowOfPlane(0) * 480, 90);
        std::fill(frame->baseAddressOfPlane(1), frame->baseAddressOfPlane(1) + frame->bytesPerRowOfPlane(1) * 240, 128);
        controller_->processFrame(frame);
        fake_->log->clear();
    }
    void TearDown() override {
        controller_.reset();
        fake_->dispatch->drainAll();
        curl_.reset();
        fake_->dispatch->drainAll();
    }
    template <typename Pred>
    bool runUntil(Pred done, double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            fake_->dispatch->mainQueue().drain();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fake_->dispatch->mainQueue().drain();
        return done();
    }
    size_t replies() { return countPrefixed(page().evaluatedScripts(), "window.UnityBridge.receiveMessage("); }
    fake::FakeWebView& page() { return *fake_->views->lastWebView(); }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<linux_platform::CurlHttpClient> curl_;
    std::shared_ptr<View> hostView_;
    std::shared_ptr<ViewControllerSDK> controller_;
};

TEST_F(SilentVPSServer, IdleTimeoutEndsTheRequestWithOneLineAndTheNextRequestIsAnswered) {
    EXPECT_EQ(linux_platform::CurlHttpClient::Options{}.idleTimeoutSeconds, 60);
    LoopbackServer silent([](const LoopbackRequest&) {
        LoopbackResponse r;
        r.stall = true;
        return r;
    });
    LoopbackServer answering([](const LoopbackRequest&) {
        LoopbackResponse r;
        r.body = "{\"ok\":true}";
        return r;
    });
    ASSERT_TRUE(silent.listening() && answering.listening());

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(page().postMessage("TevraAR", silent.url("/vps") + "|{}|silent"));
    ASSERT_TRUE(runUntil([&] { return countPrefixed(fake_->log->systemLines(), " Request failed: ") > 0; }, 15));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.9);
    EXPECT_TRUE(silent.waitForRequests(1, 1));
    Lines lines = fake_->log->systemLines();
    auto failed = std::find_if(lines.begin(), lines.end(), [](auto& l) { return startsWith(l, " Request failed: "); });
    ASSERT_NE(failed, lines.end());
    EXPECT_NE(failed->find("timed out"), std::string::npos) << *failed;

    // The controller goes on: the next request is answered, the silent one
    // never is and is not reported twice.
    ASSERT_TRUE(page().postMessage("TevraAR", answering.url("/vps") + "|{}|next"));
    ASSERT_TRUE(runUntil([&] { return replies() == 1; }, 15));
    fake_->dispatch->drainAll();
    EXPECT_EQ(countPrefixed(fake_->log->systemLines(), " Request failed: "), 1u);
    EXPECT_NE(page().evaluatedScripts().back().find("next"), std::string::npos);
}

}  // namespace
}  // namespace tevra
