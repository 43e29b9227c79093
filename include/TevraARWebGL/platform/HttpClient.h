// The HTTP client (the shared URL session): data tasks and download tasks.
//
// Defaults: redirects are followed, the idle timeout is 60 seconds and
// Content-Length is set for bodies. Status codes are reported, not judged.
// Threads: start from any thread; completions run on a background thread of
// the client, never on the main thread.
// Failure: transport failures (no connection, timeout, TLS, an answer cut
// short or larger than its cap) complete with an error and no body.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"

namespace tevra {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The most answer bytes (after content decoding) the caller takes; a
    // larger answer fails with an error. 0: the client's own cap (for the
    // Linux client, Limits::downloadMaxBytes). A VPS request sets
    // Limits::vpsAnswerMaxBytes (16777216).
    uint64_t maxResponseBytes = 0;
    void setValue(const std::string& value, const std::string& field) { headers.emplace_back(field, value); }
};

struct HttpResponse {
    long statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    using DataCompletion =
        std::function<void(std::optional<std::string> body, std::optional<HttpResponse>, std::optional<Error>)>;
    // Fetches into a temporary file that is valid until the completion returns.
    using DownloadCompletion =
        std::function<void(std::optional<std::string> tempFile, std::optional<HttpResponse>, std::optional<Error>)>;
    virtual void dataTask(HttpRequest request, DataCompletion completion) = 0;
    virtual void downloadTask(const std::string& url, DownloadCompletion completion) = 0;
};

}  // namespace tevra
