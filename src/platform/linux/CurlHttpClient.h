// The HTTP client on Linux, built on libcurl.
//
// Every transfer runs on one thread of the client, on a libcurl multi handle
// (one easy handle per request), so requests in flight proceed independently
// and a burst of a thousand requests costs no more threads than one. At most
// 128 connections are open at once; a request beyond that waits for one, and
// its idle timeout starts when it has one. Completions run on a few threads
// of the client (as many as there are cores, at least two), never on the
// transfer thread or the main thread: a slow completion holds up no transfer,
// and completions may run at the same time as each other.
//
// Defaults, as the library expects of its HTTP client:
// - redirects are followed (at most 20);
// - only http and https are allowed, for the first request and for every
//   redirect: any other scheme (file://, ftp://, ...) completes with an error,
//   so a page can't make the library read local files;
// - an idle timeout of 60 seconds: a request fails when no byte has moved for
//   that long (also while connecting); there is no total time limit;
// - a trickle ends too: once the answer has started, fewer than 1024 bytes/s
//   over a 30 s window fails the request ("The transfer was too slow: fewer
//   than 1024 bytes/s over 30 s");
// - bodies go out with Content-Length; no "Expect: 100-continue" round trip;
// - gzip/deflate/br/zstd answers are decoded transparently, and the size cap
//   counts the decoded bytes: an answer larger than the request's
//   maxResponseBytes (or, when it sets none, than downloadMaxBytes) stops as
//   soon as the cap is passed with "The answer is larger than N bytes"
//   ("The download is larger than N bytes" for a download, whose partial
//   file is removed). A 1 KB gzip body that decodes to 1 GiB is stopped
//   after N decoded bytes, N + 16 KiB at most in memory;
// - an answer cut inside its headers, or shorter than its Content-Length,
//   is a failure, never an empty success.
// Status codes are reported, never judged: a 500 answer is an answer.
//
// dataTask gives the body bytes, the final response's status and headers.
// downloadTask writes the body into a new file in the system temporary
// directory ($TMPDIR or /tmp) and gives its path; the file is removed when the
// completion returns, so a caller that keeps it moves it away first.
//
// Errors have the domain "HTTPClientError"; the code is the libcurl result
// code (or kHttpClientInvalidRequest / kHttpClientCancelled) and the
// description says what went wrong, e.g. "Failed to connect to 127.0.0.1
// port 9: Connection refused".
//
// Shutdown: the destructor aborts the transfers in flight (their completions
// get a "cancelled" error), waits for every completion to return and joins
// the threads. Requests started afterwards complete at once with that error.
// Destroyed inside a completion, it waits for the other completions; that
// completion's thread runs the ones still queued after it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/HttpClient.h"
#include "platform/Limits.h"

namespace tevra::linux_platform {

inline constexpr const char* kHttpClientErrorDomain = "HTTPClientError";
inline constexpr long kHttpClientInvalidRequest = -1000;
inline constexpr long kHttpClientCancelled = -999;

class CurlHttpClient : public HttpClient {
public:
    struct Options {
        // Seconds without any progress before a request fails (whole seconds,
        // at least 1).
        long idleTimeoutSeconds = 60;
        // Sent when the request sets no User-Agent of its own.
        std::string userAgent = "TevraARWebGL/1.0";
        // Decoded bytes of one download; also the cap of a data task whose
        // request sets no maxResponseBytes.
        uint64_t downloadMaxBytes = Limits{}.downloadMaxBytes;
        // Once the answer has started: fewer than lowSpeedBytesPerSecond on
        // average over lowSpeedWindowSeconds fails the request (whole
        // seconds, at least 1; 0 bytes/s turns the check off).
        uint64_t lowSpeedBytesPerSecond = Limits{}.lowSpeedBytesPerSecond;
        long lowSpeedWindowSeconds = Limits{}.lowSpeedWindowSeconds;

        // The HTTP bounds of `limits` (idle timeout, download cap, low speed).
        static Options fromLimits(const Limits& limits);
    };
    CurlHttpClient();
    explicit CurlHttpClient(Options options);
    explicit CurlHttpClient(const Limits& limits);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    void dataTask(HttpRequest request, DataCompletion completion) override;
    void downloadTask(const std::string& url, DownloadCompletion completion) override;

    // Requests whose completion has not yet returned.
    size_t inFlight() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace tevra::linux_platform
