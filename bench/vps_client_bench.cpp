// Round trip of one VPS request over real HTTP: a multipart body of the size
// the client sends (a 540 x 720 JPEG of about 40-90 KB and the metadata)
// POSTed through the libcurl client to a loopback server that answers with a
// small JSON text, until the completion has the answer.
//
// BM_VPSRequestBurst/N: N requests at once; see below.
// Run: ./build/vps_client_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "capture/VPSRequest.h"
#include "linux/support/LoopbackServer.h"
#include "platform/linux/CurlHttpClient.h"

using namespace tevra;

namespace {

void BM_VPSRequestRoundTrip(benchmark::State& state) {
    testing::LoopbackServer server([](const testing::LoopbackRequest&) {
        testing::LoopbackResponse r;
        r.body = R"({"position":[1.0,2.0,3.0],"floor":2})";
        return r;
    });
    linux_platform::CurlHttpClient client;
    const std::string jpeg(static_cast<size_t>(state.range(0)), '\x5a');
    const std::string body = multipartBody(jpeg, R"({"intrinsics":{"width":1440,"height":1920}})");
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false, ok = false;
        client.dataTask(makeVPSRequest(server.url("/vps"), "token", body),
                        [&](std::optional<std::string> b, std::optional<HttpResponse>, std::optional<Error> e) {
                            std::lock_guard<std::mutex> lock(m);
                            ok = !e && b && !b->empty();
                            done = true;
                            cv.notify_all();
                        });
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }) || !ok) {
            state.SkipWithError("request failed or timed out");
            break;
        }
    }
}
BENCHMARK(BM_VPSRequestRoundTrip)->Arg(60000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A burst of `n` VPS requests at once against a loopback server running in a
// child process, so the figures are the client's alone: the time until every
// completion has its answer, the most threads the process held meanwhile and
// the resident memory it gained (the request bodies included). Every request
// must get its answer; one lost or failed fails the benchmark.
struct ServerProcess {
    pid_t pid = -1;
    int port = 0;
    int keepAlive = -1;  // the child runs until this pipe closes

    explicit ServerProcess(std::string answer) {
        int portPipe[2], lifePipe[2];
        if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(portPipe[0]);
            ::close(lifePipe[1]);
            {
                testing::LoopbackServer server([&](const testing::LoopbackRequest&) {
                    testing::LoopbackResponse r;
                    r.body = answer;
                    return r;
                });
                const std::string url = server.url("/");
                int p = std::atoi(url.c_str() + url.rfind(':') + 1);
                [[maybe_unused]] ssize_t w = ::write(portPipe[1], &p, sizeof p);
                char c;
                while (::read(lifePipe[0], &c, 1) > 0) {
                }
            }
            ::_exit(0);
        }
        ::close(portPipe[1]);
        ::close(lifePipe[0]);
        keepAlive = lifePipe[1];
        if (::read(portPipe[0], &port, sizeof port) != sizeof port) port = 0;
        ::close(portPipe[0]);
    }
    ~ServerProcess() {
        if (keepAlive >= 0) ::close(keepAlive);
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

// A field of /proc/self/status ("Threads", "VmRSS" in kB).
long statusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    }
    return 0;
}

void BM_VPSRequestBurst(benchmark::State& state) {
    const std::string answer = R"({"position":[1.0,2.0,3.0],"floor":2})";
    ServerProcess server(answer);
    if (server.port == 0) {
        state.SkipWithError("could not start the loopback server");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    const std::string jpeg(60000, '\x5a');
    const std::string body = multipartBody(jpeg, R"({"intrinsics":{"width":1440,"height":1920}})");
    long peakThreads = 0, peakRssKB = 0;
    double totalSeconds = 0;
    for (auto _ : state) {
        auto client = std::make_unique<linux_platform::CurlHttpClient>();
        const long threadsBefore = statusField("Threads"), rssBefore = statusField("VmRSS");
        std::mutex m;
        std::condition_variable cv;
        int done = 0, good = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            client->dataTask(makeVPSRequest(server.url("/vps"), "token", body),
                             [&](std::optional<std::string> b, std::optional<HttpResponse>, std::optional<Error> e) {
                                 std::lock_guard<std::mutex> lock(m);
                                 if (!e && b && *b == answer) ++good;
                                 ++done;
                                 cv.notify_all();
                             });
        }
        const auto deadline = t0 + std::chrono::seconds(60);
        std::unique_lock<std::mutex> lock(m);
        while (done < n && std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            peakThreads = std::max(peakThreads, statusField("Threads") - threadsBefore);
            peakRssKB = std::max(peakRssKB, statusField("VmRSS") - rssBefore);
            lock.lock();
            cv.wait_for(lock, std::chrono::milliseconds(2));
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const bool complete = done == n && good == n;
        lock.unlock();
        client.reset();
        if (!complete) {
            state.SkipWithError("requests were lost or failed");
            break;
        }
        state.SetIterationTime(seconds);
        totalSeconds += seconds;
    }
    state.counters["client_threads"] = static_cast<double>(peakThreads);
    state.counters["rss_MiB"] = static_cast<double>(peakRssKB) / 1024;
    if (state.iterations() > 0)
        state.counters["per_request_ms"] = totalSeconds * 1000 / (static_cast<double>(n) * state.iterations());
}
BENCHMARK(BM_VPSRequestBurst)->Arg(10)->Arg(100)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
