// The HTTP client on Linux, built on libcurl.
//
// Every request runs on a thread of its own (one easy handle each), so
// requests in flight proceed independently; the completion is called on that
// same thread, never on the main thread.
//
// Defaults, as the library expects of its HTTP client:
// - redirects are followed (at most 20);
// - only http and https are allowed, for the first request and for every
//   redirect: any other scheme (file://, ftp://, ...) completes with an error,
//   so a page can't make the library read local files;
// - an idle timeout of 60 seconds: a request fails when no byte has moved for
//   that long (also while connecting); there is no total time limit;
// - bodies go out with Content-Length; no "Expect: 100-continue" round trip;
// - gzip/deflate answers are decoded transparently.
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
#pragma once

#include <memory>

#include "platform/HttpClient.h"

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
    };
    CurlHttpClient();
    explicit CurlHttpClient(Options options);
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
