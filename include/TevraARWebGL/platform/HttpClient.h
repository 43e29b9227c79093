/// @file
/// The HTTP client (the shared URL session): data tasks and download tasks.
///
/// Defaults: redirects are followed, the idle timeout is 60 seconds and
/// Content-Length is set for bodies. Status codes are reported, not judged.
/// Threads: start from any thread; completions run on a background thread of
/// the client, never on the main thread.
/// Failure: transport failures (no connection, timeout, TLS, an answer cut
/// short or larger than its cap) complete with an error and no body.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"

namespace tevra {

/// An HTTP request.
struct HttpRequest {
    /// The method, e.g. "GET" or "POST".
    std::string method = "GET";
    /// The absolute URL.
    std::string url;
    /// Header fields in order, as (field, value).
    std::vector<std::pair<std::string, std::string>> headers;
    /// The body; empty for none.
    std::string body;
    /// The most answer bytes (after content decoding) the caller takes; a
    /// larger answer fails with an error. 0: the client's own cap (for the
    /// Linux client, Limits::downloadMaxBytes). A VPS request sets
    /// Limits::vpsAnswerMaxBytes (16777216).
    uint64_t maxResponseBytes = 0;
    /// Adds the header `field` with `value`.
    void setValue(const std::string& value, const std::string& field) { headers.emplace_back(field, value); }
};

/// What a server answered, besides the body.
struct HttpResponse {
    /// The HTTP status code.
    long statusCode = 0;
    /// The answer's header fields in order, as (field, value).
    std::vector<std::pair<std::string, std::string>> headers;
};

/// The HTTP client.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    /// Told the body and the response, or an error and neither.
    using DataCompletion =
        std::function<void(std::optional<std::string> body, std::optional<HttpResponse>, std::optional<Error>)>;
    /// Fetches into a temporary file that is valid until the completion returns.
    using DownloadCompletion =
        std::function<void(std::optional<std::string> tempFile, std::optional<HttpResponse>, std::optional<Error>)>;
    /// Sends `request`; `completion` gets the whole answer body.
    virtual void dataTask(HttpRequest request, DataCompletion completion) = 0;
    /// Fetches `url` with a GET into a temporary file; `completion` gets its
    /// path, which it moves away to keep the file.
    virtual void downloadTask(const std::string& url, DownloadCompletion completion) = 0;
};

}  // namespace tevra
