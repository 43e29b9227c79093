#include "platform/linux/CurlHttpClient.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "linux/support/LoopbackServer.h"

using tevra::HttpRequest;
using tevra::HttpResponse;
using tevra::linux_platform::CurlHttpClient;
using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;
namespace fs = std::filesystem;

namespace {

// One completion's outcome, waited for with a bound.
struct Outcome {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::optional<std::string> body;
    std::optional<HttpResponse> response;
    std::optional<tevra::Error> error;
    std::thread::id thread;

    CurlHttpClient::DataCompletion data() {
        return [this](std::optional<std::string> b, std::optional<HttpResponse> r, std::optional<tevra::Error> e) {
            std::lock_guard<std::mutex> lock(mutex);
            body = std::move(b);
            response = std::move(r);
            error = std::move(e);
            thread = std::this_thread::get_id();
            done = true;
            cv.notify_all();
        };
    }
    bool wait(double seconds = 10) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done; });
    }
};

std::string header(const HttpResponse& r, const std::string& name) {
    for (auto& [k, v] : r.headers)
        if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return {};
}

}  // namespace

TEST(CurlHttpClient, PostBodyAndHeadersArriveExactlyAndAnswerComesBack) {
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackResponse r;
        r.headers = {{"X-Answer", "yes"}, {"Content-Type", "application/json"}};
        r.body = "{\"floor\":3}";
        return r;
    });
    ASSERT_TRUE(server.listening());
    CurlHttpClient client;
    std::string body = "--b\r\nContent-Type: image/jpeg\r\n\r\n";
    for (int i = 0; i < 5000; ++i) body.push_back(static_cast<char>(i * 7));  // binary, includes NUL bytes
    body += "\r\n--b--\r\n";
    HttpRequest request;
    request.method = "POST";
    request.url = server.url("/vps?x=1");
    request.setValue("multipart/form-data; boundary=b", "Content-Type");
    request.setValue("Bearer abc.def", "Authorization");
    request.body = body;
    Outcome out;
    client.dataTask(request, out.data());
    ASSERT_TRUE(out.wait());

    ASSERT_FALSE(out.error) << out.error->description();
    ASSERT_TRUE(out.response && out.body);
    EXPECT_EQ(out.response->statusCode, 200);
    EXPECT_EQ(*out.body, "{\"floor\":3}");
    EXPECT_EQ(header(*out.response, "X-Answer"), "yes");
    EXPECT_NE(out.thread, std::this_thread::get_id());

    auto got = server.requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].target, "/vps?x=1");
    EXPECT_EQ(got[0].body, body);
    EXPECT_EQ(got[0].header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(got[0].header("Content-Type"), "multipart/form-data; boundary=b");
    EXPECT_EQ(got[0].header("Authorization"), "Bearer abc.def");
    EXPECT_FALSE(got[0].hasHeader("Expect"));
}

TEST(CurlHttpClient, ServerErrorIsAnAnswerAndClosedPortIsAnError) {
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackResponse r;
        r.status = 500;
        r.body = "server broke";
        return r;
    });
    CurlHttpClient client;
    Outcome answer, refused;
    client.dataTask(HttpRequest{"GET", server.url("/"), {}, {}}, answer.data());
    client.dataTask(
        HttpRequest{"GET", "http://127.0.0.1:" + std::to_string(LoopbackServer::closedPort()) + "/", {}, {}},
        refused.data());
    ASSERT_TRUE(answer.wait());
    ASSERT_TRUE(refused.wait());

    EXPECT_FALSE(answer.error);
    ASSERT_TRUE(answer.response);
    EXPECT_EQ(answer.response->statusCode, 500);
    EXPECT_EQ(answer.body.value_or(""), "server broke");

    ASSERT_TRUE(refused.error);
    EXPECT_FALSE(refused.body);
    EXPECT_FALSE(refused.response);
    EXPECT_EQ(refused.error->domain, "HTTPClientError");
    EXPECT_EQ(refused.error->code, CURLE_COULDNT_CONNECT);
    EXPECT_NE(refused.error->localizedDescription.find("127.0.0.1"), std::string::npos)
        << refused.error->localizedDescription;
}

TEST(CurlHttpClient, FollowsRedirectsAndReportsTheFinalAnswer) {
    LoopbackServer server([](const LoopbackRequest& req) {
        LoopbackResponse r;
        if (req.target == "/start") {
            r.status = 302;
            r.headers = {{"Location", "/middle"}};
        } else if (req.target == "/middle") {
            r.status = 307;
            r.headers = {{"Location", "/end"}};
        } else {
            r.headers = {{"X-Final", "1"}};
            r.body = "landed";
        }
        return r;
    });
    CurlHttpClient client;
    Outcome out;
    client.dataTask(HttpRequest{"GET", server.url("/start"), {}, {}}, out.data());
    ASSERT_TRUE(out.wait());
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.response->statusCode, 200);
    EXPECT_EQ(*out.body, "landed");
    EXPECT_EQ(header(*out.response, "X-Final"), "1");
    EXPECT_EQ(header(*out.response, "Location"), "");
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST(CurlHttpClient, OnlyHttpAndHttpsAreAllowedEvenThroughRedirects) {
    std::string secret = (fs::temp_directory_path() / ("tevra-secret-" + std::to_string(getpid()))).string();
    { std::ofstream(secret) << "do not read me"; }
    LoopbackServer server([&](const LoopbackRequest&) {
        LoopbackResponse r;
        r.status = 302;
        r.headers = {{"Location", "file://" + secret}};
        return r;
    });
    CurlHttpClient client;
    Outcome direct, redirected, ftp;
    client.dataTask(HttpRequest{"GET", "file://" + secret, {}, {}}, direct.data());
    client.dataTask(HttpRequest{"GET", server.url("/"), {}, {}}, redirected.data());
    client.dataTask(HttpRequest{"GET", "ftp://127.0.0.1/x", {}, {}}, ftp.data());
    ASSERT_TRUE(direct.wait());
    ASSERT_TRUE(redirected.wait());
    ASSERT_TRUE(ftp.wait());
    for (Outcome* o : {&direct, &redirected, &ftp}) {
        ASSERT_TRUE(o->error);
        EXPECT_FALSE(o->body);
        EXPECT_EQ(o->error->code, CURLE_UNSUPPORTED_PROTOCOL) << o->error->description();
    }
    fs::remove(secret);
}

TEST(CurlHttpClient, HeaderWithLineBreakIsRefusedBeforeSending) {
    LoopbackServer server([](const LoopbackRequest&) { return LoopbackResponse{}; });
    CurlHttpClient client;
    HttpRequest request{"POST", server.url("/"), {}, "x"};
    request.setValue("Bearer t\r\nX-Injected: 1", "Authorization");
    Outcome out;
    client.dataTask(request, out.data());
    ASSERT_TRUE(out.wait());
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, tevra::linux_platform::kHttpClientInvalidRequest);
    EXPECT_TRUE(server.requests().empty());
}

TEST(CurlHttpClient, IdleTimeoutFiresButASlowMovingAnswerIsNotCutOff) {
    LoopbackServer server([](const LoopbackRequest& req) {
        LoopbackResponse r;
        if (req.target == "/stall") {
            r.stall = true;
        } else {
            r.body = std::string(1000, 'z');
            r.pauseMidBodySeconds = 0.3;
        }
        return r;
    });
    CurlHttpClient client(CurlHttpClient::Options{1, "test"});
    Outcome stalled, slow;
    auto start = std::chrono::steady_clock::now();
    client.dataTask(HttpRequest{"GET", server.url("/stall"), {}, {}}, stalled.data());
    client.dataTask(HttpRequest{"GET", server.url("/slow"), {}, {}}, slow.data());
    ASSERT_TRUE(stalled.wait(15));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(stalled.error);
    EXPECT_EQ(stalled.error->code, CURLE_OPERATION_TIMEDOUT) << stalled.error->description();
    EXPECT_NE(stalled.error->localizedDescription.find("timed out"), std::string::npos);
    EXPECT_LT(took, 10.0);
    ASSERT_TRUE(slow.wait());
    EXPECT_FALSE(slow.error);
    EXPECT_EQ(slow.body.value_or("").size(), 1000u);
}

TEST(CurlHttpClient, RequestsInFlightCompleteIndependently) {
    LoopbackServer server([](const LoopbackRequest& req) {
        LoopbackResponse r;
        r.body = req.target;
        if (req.target == "/slow") r.delaySeconds = 1.0;
        return r;
    });
    CurlHttpClient client;
    std::mutex m;
    std::vector<std::string> order;
    std::condition_variable cv;
    auto record = [&](std::optional<std::string> body, std::optional<HttpResponse>, std::optional<tevra::Error>) {
        std::lock_guard<std::mutex> lock(m);
        order.push_back(body.value_or("error"));
        cv.notify_all();
    };
    client.dataTask(HttpRequest{"GET", server.url("/slow"), {}, {}}, record);
    ASSERT_TRUE(server.waitForRequests(1, 5));
    for (int i = 0; i < 4; ++i)
        client.dataTask(HttpRequest{"GET", server.url("/fast" + std::to_string(i)), {}, {}}, record);
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return order.size() == 5; }));
    EXPECT_EQ(order.back(), "/slow");
}

TEST(CurlHttpClient, DownloadLandsInATemporaryFileThatIsRemovedAfterTheCompletion) {
    std::string payload;
    for (int i = 0; i < 300000; ++i) payload.push_back(static_cast<char>((i * 31) ^ (i >> 8)));
    LoopbackServer server([&](const LoopbackRequest&) {
        LoopbackResponse r;
        r.body = payload;
        return r;
    });
    CurlHttpClient client;
    std::mutex m;
    std::condition_variable cv;
    int finished = 0;
    std::string keptPath, leftPath,
        keptTarget = (fs::temp_directory_path() / ("tevra-kept-" + std::to_string(getpid()))).string();
    std::string contents;
    client.downloadTask(server.url("/model.zip"), [&](std::optional<std::string> file, std::optional<HttpResponse> r,
                                                      std::optional<tevra::Error> e) {
        std::lock_guard<std::mutex> lock(m);
        if (file && r && !e) {
            leftPath = *file;
            std::ifstream in(*file, std::ios::binary);
            contents.assign(std::istreambuf_iterator<char>(in), {});
        }
        ++finished;
        cv.notify_all();
    });
    client.downloadTask(server.url("/model.zip"),
                        [&](std::optional<std::string> file, std::optional<HttpResponse>, std::optional<tevra::Error>) {
                            std::lock_guard<std::mutex> lock(m);
                            if (file) {
                                keptPath = *file;
                                fs::rename(*file, keptTarget);  // moved, not copied
                            }
                            ++finished;
                            cv.notify_all();
                        });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return finished == 2; }));
    }
    // The completion has returned once the client's thread ends.
    for (int i = 0; i < 200 && client.inFlight() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(contents, payload);
    EXPECT_EQ(fs::path(leftPath).parent_path(), fs::temp_directory_path());
    EXPECT_NE(leftPath, keptPath);
    EXPECT_FALSE(fs::exists(leftPath));
    EXPECT_EQ(fs::file_size(keptTarget), payload.size());
    fs::remove(keptTarget);
}

TEST(CurlHttpClient, FailedDownloadGivesAnErrorAndNoFile) {
    CurlHttpClient client;
    Outcome out;
    client.downloadTask(
        "http://127.0.0.1:" + std::to_string(LoopbackServer::closedPort()) + "/m.zip",
        [&](std::optional<std::string> file, std::optional<HttpResponse> r, std::optional<tevra::Error> e) {
            out.data()(std::move(file), std::move(r), std::move(e));
        });
    ASSERT_TRUE(out.wait());
    EXPECT_TRUE(out.error);
    EXPECT_FALSE(out.body);
}

TEST(CurlHttpClient, DestructionCancelsRequestsInFlightWithinBoundedTime) {
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackResponse r;
        r.stall = true;
        return r;
    });
    Outcome out;
    auto client = std::make_unique<CurlHttpClient>();
    client->dataTask(HttpRequest{"GET", server.url("/"), {}, {}}, out.data());
    ASSERT_TRUE(server.waitForRequests(1, 5));
    auto start = std::chrono::steady_clock::now();
    client.reset();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, 5.0);
    ASSERT_TRUE(out.wait(0.1));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, tevra::linux_platform::kHttpClientCancelled);
}

namespace {

// Threads of this process whose name starts with `prefix`.
size_t threadsNamed(const std::string& prefix) {
    size_t n = 0;
    for (auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "comm");
        std::string name;
        std::getline(in, name);
        if (name.rfind(prefix, 0) == 0) ++n;
    }
    return n;
}

}  // namespace

TEST(CurlHttpClient, ABurstOfRequestsSharesAFewThreadsAndEveryOneGetsItsOwnAnswer) {
    LoopbackServer server([](const LoopbackRequest& req) {
        LoopbackResponse r;
        r.body = req.target;
        return r;
    });
    CurlHttpClient client;
    constexpr int kRequests = 300;
    std::mutex m;
    std::condition_variable cv;
    int done = 0, right = 0;
    size_t mostThreads = 0;
    for (int i = 0; i < kRequests; ++i) {
        const std::string target = "/r" + std::to_string(i);
        client.dataTask(
            HttpRequest{"GET", server.url(target), {}, {}},
            [&, target](std::optional<std::string> body, std::optional<HttpResponse> r, std::optional<tevra::Error>) {
                std::lock_guard<std::mutex> lock(m);
                if (body == target && r && r->statusCode == 200) ++right;
                ++done;
                cv.notify_all();
            });
    }
    {
        std::unique_lock<std::mutex> lock(m);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (done < kRequests && std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            mostThreads = std::max(mostThreads, threadsNamed("tevra-http"));
            lock.lock();
            cv.wait_for(lock, std::chrono::milliseconds(5));
        }
        ASSERT_EQ(done, kRequests);
    }
    EXPECT_EQ(right, kRequests);
    // The transfer thread and the completion threads, however many requests.
    EXPECT_LE(mostThreads, 1 + std::max(2u, std::thread::hardware_concurrency()));
}

TEST(CurlHttpClient, DestroyedInsideACompletionTheOthersStillComplete) {
    LoopbackServer server([](const LoopbackRequest& req) {
        LoopbackResponse r;
        r.body = req.target;
        if (req.target != "/first") r.stall = true;
        return r;
    });
    auto client = std::make_shared<std::unique_ptr<CurlHttpClient>>(std::make_unique<CurlHttpClient>());
    std::mutex m;
    std::condition_variable cv;
    int cancelled = 0;
    bool destroyed = false;
    for (int i = 0; i < 3; ++i) {
        (*client)->dataTask(
            HttpRequest{"GET", server.url("/stall" + std::to_string(i)), {}, {}},
            [&](std::optional<std::string>, std::optional<HttpResponse>, std::optional<tevra::Error> e) {
                std::lock_guard<std::mutex> lock(m);
                if (e && e->code == tevra::linux_platform::kHttpClientCancelled) ++cancelled;
                cv.notify_all();
            });
    }
    ASSERT_TRUE(server.waitForRequests(3, 10));
    (*client)->dataTask(HttpRequest{"GET", server.url("/first"), {}, {}},
                        [client, &m, &cv, &destroyed](std::optional<std::string>, std::optional<HttpResponse>,
                                                      std::optional<tevra::Error>) {
                            client->reset();  // the client's destructor, on its completion thread
                            std::lock_guard<std::mutex> lock(m);
                            destroyed = true;
                            cv.notify_all();
                        });
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return destroyed && cancelled == 3; }));
}
