// The registry's download side with fakes: the HTTP client answered by hand
// (from any thread), the text archive and the scripted model runtime.
#include "models/ModelManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <unistd.h>

#include "platform/fake/FakeArchive.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
using tevra::fake::FakeArchive;
using tevra::fake::FakeModel;
using tevra::fake::FakeModelRuntime;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// Records completion calls: (request id, value, thread), and waits for them
// with a deadline.
class Answers {
public:
    ModelManager::Completion make(int id) {
        return [this, id](bool ok) {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back({id, ok, std::this_thread::get_id()});
            cv_.notify_all();
        };
    }
    bool waitFor(size_t count, double seconds = 10) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return calls_.size() >= count; });
    }
    struct Call {
        int id;
        bool ok;
        std::thread::id thread;
    };
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<int> ids() const {
        std::vector<int> out;
        for (auto& c : calls()) out.push_back(c.id);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

class ModelDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install();
        runtime_ = std::make_shared<FakeModelRuntime>();
        archive_ = std::make_shared<FakeArchive>(fake_->transcript);
        fake_->platform->models = runtime_;
        fake_->platform->archive = archive_;
        static std::atomic<int> counter{0};
        root_ = fs::temp_directory_path() /
                ("tevra-download-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(root_ / "bundle");
        fs::create_directories(root_ / "documents");
        fake_->platform->resourcesDirectory = (root_ / "bundle").string();
        fake_->platform->documentsDirectory = (root_ / "documents").string();
        manager_ = ModelManager::create();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path docs() const { return root_ / "documents"; }
    Lines out() const { return fake_->log->stdoutLines(); }
    static bool has(const Lines& lines, const std::string& prefix) {
        for (auto& l : lines)
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }

    // Prepares what a good archive for `name` turns into: the runtime
    // compiles DOCUMENTS/NAME/PACKAGE into a scratch directory holding
    // `marker`, and opening DOCUMENTS/NAME.mlmodelc answers `model`.
    std::string archiveFor(const std::string& name, std::shared_ptr<FakeModel> model,
                           const std::string& package = "net.mlpackage", const std::string& marker = "one") {
        fs::path compiled = root_ / ("compiled-" + std::to_string(compiles_++)) / (name + ".mlmodelc");
        fs::create_directories(compiled);
        std::ofstream(compiled / "marker") << marker;
        runtime_->registerCompile((docs() / name / package).string(), compiled.string());
        runtime_->registerModel((docs() / (name + ".mlmodelc")).string(), std::move(model));
        return FakeArchive::makeArchiveText({{package + "/", ""}, {package + "/model.onnx", marker}});
    }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<FakeModelRuntime> runtime_;
    std::shared_ptr<FakeArchive> archive_;
    std::shared_ptr<ModelManager> manager_;
    fs::path root_;
    int compiles_ = 0;
};

}  // namespace

TEST_F(ModelDownloadTest, LoadedOrLocalModelsAnswerOnTheCallersThreadWithoutDownloading) {
    fs::create_directories(docs() / "stored.mlmodelc");
    runtime_->registerModel((docs() / "stored.mlmodelc").string(), FakeModel::withImageInput(64, 32));
    Answers answers;
    manager_->ensureModelReadyWithName("stored", "http://models.test/stored.zip", answers.make(1));
    ASSERT_EQ(answers.calls().size(), 1u);
    EXPECT_TRUE(answers.calls()[0].ok);
    EXPECT_EQ(answers.calls()[0].thread, std::this_thread::get_id());
    EXPECT_FALSE(has(out(), "[Thread:"));
    EXPECT_FALSE(has(out(), "Model stored not found"));

    fake_->log->clear();
    manager_->ensureModelReady("stored", "", answers.make(2));
    ASSERT_EQ(answers.calls().size(), 2u);
    EXPECT_TRUE(answers.calls()[1].ok);
    EXPECT_TRUE(out().empty());
    EXPECT_EQ(fake_->http->requests().size(), 0u);
}

TEST_F(ModelDownloadTest, MissingModelIsDownloadedUnpackedCompiledStoredAndLoaded) {
    std::string body = archiveFor("sign", FakeModel::withImageInput(320, 320));
    Answers answers;
    manager_->ensureModelReadyWithName("sign", "http://models.test/sign.zip", answers.make(1));
    EXPECT_TRUE(answers.calls().empty());
    ASSERT_EQ(fake_->http->requests().size(), 1u);
    EXPECT_EQ(fake_->http->requests()[0].url, "http://models.test/sign.zip");

    std::thread::id answerThread;
    std::thread responder([&] {
        answerThread = std::this_thread::get_id();
        fake_->http->respond(0, 200, body);
    });
    responder.join();

    ASSERT_EQ(answers.calls().size(), 1u);
    EXPECT_TRUE(answers.calls()[0].ok);
    EXPECT_EQ(answers.calls()[0].thread, answerThread);
    EXPECT_TRUE(manager_->isModelLoaded("sign"));
    // The stored layout.
    EXPECT_TRUE(fs::is_regular_file(docs() / "sign.zip"));
    EXPECT_TRUE(fs::is_regular_file(docs() / "sign" / "net.mlpackage" / "model.onnx"));
    EXPECT_TRUE(fs::is_regular_file(docs() / "sign.mlmodelc" / "marker"));
    EXPECT_FALSE(fs::exists(root_ / "compiled-0" / "sign.mlmodelc"));

    Lines lines = out();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Model sign not found → downloading...");
    EXPECT_EQ(lines[1], "Downloading sign from http://models.test/sign.zip");
    EXPECT_EQ(lines[2], "Model ready: sign");
    EXPECT_EQ(lines[3], "Found in local storage");
    EXPECT_EQ(lines[lines.size() - 2], "Model loaded: sign size (320, 320)");
    EXPECT_EQ(lines.back().rfind("[Thread:", 0), 0u);
    EXPECT_NE(lines.back().find("] finish: sign success: true, calling 1 completions"), std::string::npos);
}

TEST_F(ModelDownloadTest, RequestsDuringTheDownloadWaitForItAndAreAnsweredInOrder) {
    std::string body = archiveFor("digit", FakeModel::withImageInput(64, 32));
    Answers answers;
    for (int id = 1; id <= 3; ++id)
        manager_->ensureModelReadyWithName("digit", "http://models.test/digit.zip", answers.make(id));
    EXPECT_EQ(fake_->http->requests().size(), 1u);
    Lines lines = out();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Downloading ", 0) == 0; }),
        1);
    fake_->http->respond(0, 200, body);
    EXPECT_EQ(answers.ids(), (std::vector<int>{1, 2, 3}));
    for (auto& c : answers.calls()) EXPECT_TRUE(c.ok);
    EXPECT_NE(out().back().find("finish: digit success: true, calling 3 completions"), std::string::npos);

    // Loaded now: the next request answers at once.
    manager_->ensureModelReady("digit", "http://models.test/digit.zip", answers.make(4));
    EXPECT_EQ(answers.ids().back(), 4);
    EXPECT_EQ(fake_->http->requests().size(), 1u);
}

TEST_F(ModelDownloadTest, EachFailureAnswersFalseOnceAndTheNextRequestStartsOver) {
    struct Case {
        const char* what;
        std::function<void(const std::string& name)> answer;
        std::string expectedLine;
    };
    std::vector<Case> cases = {
        {"network", [&](const std::string&) { fake_->http->fail(0, "Could not connect to the server."); },
         "Download failed for m0: Could not connect to the server."},
        {"not a zip", [&](const std::string&) { fake_->http->respond(0, 404, "<html>Not Found</html>"); },
         "Model processing failed for m1: "},
        {"no package",
         [&](const std::string&) {
             fake_->http->respond(0, 200, FakeArchive::makeArchiveText({{"readme.txt", "hi"}, {"net.mlmodel", "x"}}));
         },
         "No .mlpackage found for m2"},
        {"package only in a subdirectory",
         [&](const std::string&) {
             fake_->http->respond(0, 200,
                                  FakeArchive::makeArchiveText({{"models/", ""}, {"models/net.mlpackage/", ""}}));
         },
         "No .mlpackage found for m3"},
        {"compile fails",
         [&](const std::string&) {
             fake_->http->respond(0, 200, FakeArchive::makeArchiveText({{"other.mlpackage/", ""}}));
         },
         "Model processing failed for m4: Cannot compile "},
        {"zip-slip entry",
         [&](const std::string&) {
             fake_->http->respond(0, 200, FakeArchive::makeArchiveText({{"net.mlpackage/", ""}, {"../../evil", "x"}}));
         },
         "Model processing failed for m5: "},
        {"compiled model without image input",
         [&](const std::string& name) {
             fake_->http->respond(0, 200, archiveFor(name, std::make_shared<FakeModel>()));
         },
         "Still failed after download: The operation couldn't be completed. (TevraARWebGL.ModelInputError error 1.)"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        std::string name = "m" + std::to_string(i);
        fake_->log->clear();
        Answers answers;
        manager_->ensureModelReady(name, "https://models.test/" + name + ".zip", answers.make(1));
        cases[i].answer(name);
        ASSERT_EQ(answers.calls().size(), 1u);
        EXPECT_FALSE(answers.calls()[0].ok);
        EXPECT_TRUE(has(out(), cases[i].expectedLine)) << ::testing::PrintToString(out());
        EXPECT_NE(out().back().find("finish: " + name + " success: false, calling 1 completions"), std::string::npos);
        EXPECT_FALSE(fs::exists(root_ / "evil"));

        // Neither loaded nor downloading: the next request looks again and
        // downloads again (except the model that got registered before its
        // input check failed, which is now found loaded).
        size_t before = fake_->http->requests().size();
        manager_->ensureModelReady(name, "https://models.test/" + name + ".zip", answers.make(2));
        if (i == cases.size() - 1) {
            ASSERT_EQ(answers.calls().size(), 2u);
            EXPECT_TRUE(answers.calls()[1].ok);
        } else {
            EXPECT_EQ(fake_->http->requests().size(), before + 1);
            fake_->http->fail(0, "gone");
            ASSERT_EQ(answers.calls().size(), 2u);
            EXPECT_FALSE(answers.calls()[1].ok);
        }
    }
    // Failed attempts leave nothing behind (no archive, no unpacked tree, no
    // private directory); only the model that was stored remains.
    std::set<std::string> left;
    for (auto& e : fs::directory_iterator(docs())) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"m6", "m6.mlmodelc", "m6.zip"}));
}

TEST_F(ModelDownloadTest, NamesThatAreNoPlainFileNameAreRefusedBeforeTouchingTheDisk) {
    // A name naming a directory of its own would make the download replace it.
    fs::create_directories(root_ / "victim");
    std::ofstream(root_ / "victim.zip") << "keep";
    // Names ending like the storage's own entries would name another
    // model's files; a leading "." would reach the private unpack directories.
    const std::vector<std::string> names = {"",
                                            ".",
                                            "..",
                                            "../victim",
                                            "a/b",
                                            "/abs",
                                            "victim.mlmodelc",
                                            "victim.MLModelC",
                                            "victim.zip",
                                            "victim.mlpackage",
                                            "victim.mlmodelc.incoming",
                                            ".tevra-unpack-a1b2c3",
                                            ".hidden",
                                            std::string(238, 'n'),
                                            std::string("nul\0x", 5)};
    for (const std::string& name : names) {
        SCOPED_TRACE(::testing::PrintToString(name));
        for (int form = 0; form < 2; ++form) {
            fake_->log->clear();
            Answers answers;
            if (form == 0)
                manager_->ensureModelReadyWithName(name, "http://models.test/m.zip", answers.make(1));
            else
                manager_->downloadModelWithNamed(name, "http://models.test/m.zip", answers.make(1));
            ASSERT_EQ(answers.calls().size(), 1u);
            EXPECT_FALSE(answers.calls()[0].ok);
            EXPECT_EQ(answers.calls()[0].thread, std::this_thread::get_id());
            ASSERT_EQ(out().size(), 1u);
            EXPECT_EQ(out()[0].rfind("❌ Invalid model name: \"", 0), 0u) << out()[0];
        }
    }
    EXPECT_EQ(out().back(), "❌ Invalid model name: \"nul\\u0000x\"");
    EXPECT_EQ(fake_->http->requests().size(), 0u);
    EXPECT_TRUE(runtime_->openedPaths().empty());
    EXPECT_TRUE(fs::is_empty(docs()));
    EXPECT_TRUE(fs::exists(root_ / "victim"));
    EXPECT_TRUE(fs::exists(root_ / "victim.zip"));
    for (const std::string name : {"yolo26n_sign_640", "v1.2", "victim.mlmodelc2", "zip", "a..b"})
        EXPECT_TRUE(ModelManager::isUsableModelName(name)) << name;
    EXPECT_TRUE(ModelManager::isUsableModelName(std::string(237, 'n')));
}

TEST_F(ModelDownloadTest, UnusableLocationsFailOnTheCallersThreadBeforeAnyRequest) {
    const std::vector<std::string> urls = {
        "", "not a url", "file:///etc/passwd", "ftp://models.test/m.zip", "models.test/m.zip", "http://"};
    int id = 0;
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        std::string name = "u" + std::to_string(id);
        fake_->log->clear();
        Answers answers;
        manager_->ensureModelReadyWithName(name, url, answers.make(++id));
        ASSERT_EQ(answers.calls().size(), 1u);
        EXPECT_FALSE(answers.calls()[0].ok);
        EXPECT_EQ(answers.calls()[0].thread, std::this_thread::get_id());
        Lines lines = out();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "Model " + name + " not found → downloading...");
        EXPECT_EQ(lines[1], "❌ Invalid URL for model " + name + ": " + url);
        EXPECT_EQ(lines[2].rfind("[Thread:", 0), 0u);
        EXPECT_NE(lines[2].find("] finish: " + name + " success: false, calling 1 completions"), std::string::npos);
    }
    EXPECT_EQ(fake_->http->requests().size(), 0u);
}

TEST_F(ModelDownloadTest, ControlCharactersInNamesAndLocationsCannotForgeLogLines) {
    const std::string name = "evil\nModel ready: victim\r\x1b[2K";
    Answers answers;
    manager_->ensureModelReady(name, "http://x\n[Thread:forged]", answers.make(1));
    manager_->ensureModelReady(name, "http://models.test/m.zip", answers.make(2));
    fake_->http->fail(0, "refused\nModel ready: victim");
    ASSERT_EQ(answers.calls().size(), 2u);
    Lines lines = out();
    ASSERT_GE(lines.size(), 5u);
    for (const std::string& l : lines) {
        EXPECT_EQ(l.find_first_of("\n\r\x1b"), std::string::npos) << l;
        EXPECT_NE(l.rfind("Model ready: victim", 0), 0u) << l;
    }
    const std::string escaped = "evil\\nModel ready: victim\\r\\x1b[2K";
    EXPECT_EQ(lines[0], "Model " + escaped + " not found → downloading...");
    EXPECT_EQ(lines[1], "❌ Invalid URL for model " + escaped + ": http://x\\n[Thread:forged]");
    EXPECT_TRUE(has(lines, "Download failed for " + escaped + ": refused\\nModel ready: victim"))
        << ::testing::PrintToString(lines);
}

TEST_F(ModelDownloadTest, LocalModelWithoutImageInputIsFoundLoadedOnTheRecheck) {
    fs::create_directories(docs() / "blank.mlmodelc");
    runtime_->registerModel((docs() / "blank.mlmodelc").string(), std::make_shared<FakeModel>());
    Answers answers;
    manager_->ensureModelReady("blank", "http://models.test/blank.zip", answers.make(1));
    ASSERT_EQ(answers.calls().size(), 1u);
    EXPECT_TRUE(answers.calls()[0].ok);
    EXPECT_TRUE(has(out(), "Model blank not found → downloading..."));
    EXPECT_EQ(fake_->http->requests().size(), 0u);
}

TEST_F(ModelDownloadTest, SecondDownloadReplacesArchiveExtractionAndCompiledModel) {
    Answers answers;
    manager_->downloadModel("twice", "http://models.test/a.zip", answers.make(1));
    fake_->http->respond(0, 200, archiveFor("twice", FakeModel::withImageInput(8, 8), "old.mlpackage", "first"));
    manager_->downloadModel("twice", "http://models.test/b.zip", answers.make(2));
    fake_->http->respond(0, 200, archiveFor("twice", FakeModel::withImageInput(8, 8), "new.mlpackage", "second"));
    ASSERT_EQ(answers.calls().size(), 2u);
    EXPECT_TRUE(answers.calls()[0].ok && answers.calls()[1].ok);
    EXPECT_FALSE(fs::exists(docs() / "twice" / "old.mlpackage"));
    EXPECT_TRUE(fs::exists(docs() / "twice" / "new.mlpackage"));
    std::ifstream marker(docs() / "twice.mlmodelc" / "marker");
    std::string text;
    marker >> text;
    EXPECT_EQ(text, "second");
    // downloadModel neither loads nor keeps bookkeeping.
    EXPECT_FALSE(manager_->isModelLoaded("twice"));
}

// ---- Run under ThreadSanitizer (scripts/test) ----

class ModelDownloadConcurrency : public ModelDownloadTest {};

TEST_F(ModelDownloadConcurrency, ManyThreadsShareOneDownload) {
    std::string body = archiveFor("shared", FakeModel::withImageInput(16, 16));
    Answers answers;
    std::vector<std::thread> askers;
    for (int id = 0; id < 8; ++id)
        askers.emplace_back(
            [&, id] { manager_->ensureModelReady("shared", "http://models.test/s.zip", answers.make(id)); });
    for (auto& t : askers) t.join();
    ASSERT_EQ(fake_->http->requests().size(), 1u);
    std::thread responder([&] { fake_->http->respond(0, 200, body); });
    responder.join();
    ASSERT_TRUE(answers.waitFor(8));
    std::vector<int> ids = answers.ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (auto& c : answers.calls()) EXPECT_TRUE(c.ok);
    Lines lines = out();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[Thread:", 0) == 0; }), 1);
    EXPECT_NE(lines.back().find("calling 8 completions"), std::string::npos);
}

TEST_F(ModelDownloadConcurrency, DownloadsOfSeveralNamesEndOnSeveralThreads) {
    const int kNames = 4;
    // The same archive text serves every name: it unpacks into each name's
    // own directory, where the runtime finds each name's package.
    std::string body;
    for (int i = 0; i < kNames; ++i) body = archiveFor("n" + std::to_string(i), FakeModel::withImageInput(8 + i, 8));
    Answers answers;
    std::vector<std::thread> askers;
    for (int i = 0; i < kNames; ++i)
        for (int k = 0; k < 2; ++k)
            askers.emplace_back([&, i, k] {
                manager_->ensureModelReady("n" + std::to_string(i), "http://models.test/n" + std::to_string(i) + ".zip",
                                           answers.make(i * 10 + k));
            });
    for (auto& t : askers) t.join();
    ASSERT_EQ(fake_->http->requests().size(), static_cast<size_t>(kNames));
    // Every download ends at once on its own thread, while another thread
    // keeps asking the registry.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done)
            for (int i = 0; i < kNames; ++i) (void)manager_->getInputImageSize("n" + std::to_string(i));
    });
    std::vector<std::thread> responders;
    for (int i = 0; i < kNames; ++i) responders.emplace_back([&] { fake_->http->respond(0, 200, body); });
    for (auto& t : responders) t.join();
    done = true;
    reader.join();
    ASSERT_TRUE(answers.waitFor(2 * kNames));
    EXPECT_EQ(answers.calls().size(), static_cast<size_t>(2 * kNames));
    for (auto& c : answers.calls()) EXPECT_TRUE(c.ok) << c.id;
    for (int i = 0; i < kNames; ++i) {
        auto size = manager_->getInputImageSize("n" + std::to_string(i));
        ASSERT_TRUE(size);
        EXPECT_EQ(size->first, 8 + i);
    }
}

// The download-start hook (model events for the page) runs for the call that
// starts a download, before its answer, and for nobody else.
TEST_F(ModelDownloadTest, DownloadStartIsToldOnlyToTheCallThatStartsIt) {
    fs::create_directories(docs() / "stored.mlmodelc");
    runtime_->registerModel((docs() / "stored.mlmodelc").string(), FakeModel::withImageInput(64, 32));
    std::vector<std::string> started;
    auto hook = [&](const std::string& tag) { return [&started, tag] { started.push_back(tag); }; };
    Answers answers;
    manager_->ensureModelReadyWithName("stored", "http://models.test/stored.zip", answers.make(1), hook("stored"));
    manager_->ensureModelReadyWithName("sign", "http://models.test/sign.zip", answers.make(2), hook("first"));
    manager_->ensureModelReadyWithName("sign", "http://models.test/sign.zip", answers.make(3), hook("joined"));
    EXPECT_EQ(started, std::vector<std::string>{"first"});
    ASSERT_EQ(answers.ids(), std::vector<int>{1});
    ASSERT_EQ(fake_->http->requests().size(), 1u);
    fake_->http->respond(0, 404, "");
    ASSERT_TRUE(answers.waitFor(3));
    EXPECT_EQ(started, std::vector<std::string>{"first"});
}
