// Round trip of one VPS request over real HTTP: a multipart body of the size
// the client sends (a 540 x 720 JPEG of about 40-90 KB and the metadata)
// POSTed through the libcurl client to a loopback server that answers with a
// small JSON text, until the completion has the answer.
// Run: ./build/vps_client_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <condition_variable>
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

}  // namespace

BENCHMARK_MAIN();
