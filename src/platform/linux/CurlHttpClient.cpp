#include "platform/linux/CurlHttpClient.h"
#include "base/ThreadAnnotations.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tevra::linux_platform {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Error makeError(long code, std::string description) {
    return Error{kHttpClientErrorDomain, code, std::move(description)};
}

Error cancelledError() { return makeError(kHttpClientCancelled, "The request was cancelled"); }

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

// A header field is sent as given; one that could smuggle a line break or a
// second header into the request is refused.
bool validHeader(const std::string& name, const std::string& value) {
    if (name.empty()) return false;
    for (char c : name) {
        if (c == ':' || c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t') return false;
    }
    for (char c : value) {
        if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

struct CurlHttpClient::Shared {
    Options options;
    std::atomic<bool> stopping{false};
    mutable Mutex mutex;
    uint64_t nextId TEVRA_GUARDED_BY(mutex) = 1;
    std::map<uint64_t, std::thread> threads TEVRA_GUARDED_BY(mutex);
    std::vector<uint64_t> finished TEVRA_GUARDED_BY(mutex);
    size_t inFlight TEVRA_GUARDED_BY(mutex) = 0;

    CURLSH* share = nullptr;
    // libcurl's own share locks, taken and released in its callbacks (never
    // in one scope): plain mutexes the analysis does not follow.
    std::mutex shareLocks[CURL_LOCK_DATA_LAST];

    // Runs when the client and every request thread have let go.
    ~Shared() {
        if (share) curl_share_cleanup(share);
    }

    // Runs `work` on a new thread; false when shutting down.
    bool start(std::function<void()> work, const std::shared_ptr<Shared>& self) {
        MutexLock lock(mutex);
        if (stopping) return false;
        // Threads that already finished only need joining.
        for (uint64_t id : finished) {
            auto it = threads.find(id);
            if (it != threads.end()) {
                if (it->second.joinable()) it->second.join();
                threads.erase(it);
            }
        }
        finished.clear();
        uint64_t id = nextId++;
        ++inFlight;
        threads.emplace(id, std::thread([self, id, work = std::move(work)] {
                            work();
                            MutexLock l(self->mutex);
                            --self->inFlight;
                            self->finished.push_back(id);
                        }));
        return true;
    }
};

namespace {

struct Transfer {
    CurlHttpClient::Options const* options = nullptr;
    std::atomic<bool> const* stopping = nullptr;
    // Body sink: either the string or the file descriptor.
    std::string body;
    int fd = -1;
    int writeErrno = 0;
    HttpResponse response;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // Decoded body bytes taken so far, and the most that are taken.
    uint64_t received = 0;
    uint64_t maxBytes = 0;
    bool tooLarge = false;
    // The current response's header block ended with its blank line.
    bool headersComplete = false;
    bool sawStatusLine = false;
    // Low-speed window: it starts at the first byte of the answer; each
    // window of lowSpeedWindowSeconds must bring its share of bytes.
    uint64_t headerBytes = 0;
    bool answerStarted = false;
    std::chrono::steady_clock::time_point windowStart;
    uint64_t windowStartBytes = 0;
    bool tooSlow = false;
};

size_t writeToTransfer(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    // Counted as handed over, i.e. after content decoding: a small gzip
    // body can't grow past the cap. Returning less than n ends the transfer.
    if (n > t->maxBytes - std::min(t->received, t->maxBytes)) {
        t->tooLarge = true;
        return 0;
    }
    t->received += n;
    if (t->fd < 0) {
        t->body.append(data, n);
        return n;
    }
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(t->fd, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            t->writeErrno = errno;
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    return n;
}

size_t headerToTransfer(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    t->headerBytes += n;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        // A new response (after a redirect or an interim 1xx): only the
        // final response's headers are reported.
        t->response.headers.clear();
        t->sawStatusLine = true;
        t->headersComplete = false;
        return n;
    }
    if (line == "\r\n" || line == "\n") {
        t->headersComplete = true;
        return n;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        t->response.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return n;
}

int progressOfTransfer(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->stopping->load()) return 1;
    const uint64_t perSecond = t->options->lowSpeedBytesPerSecond;
    if (perSecond == 0) return 0;
    // Bytes on the wire: headers and the (still encoded) body.
    const uint64_t bytes = t->headerBytes + static_cast<uint64_t>(std::max<curl_off_t>(dlnow, 0));
    const auto now = std::chrono::steady_clock::now();
    if (!t->answerStarted) {
        // Before the first byte of the answer only the idle timeout applies:
        // a server may think for a while before it answers.
        if (bytes == 0) return 0;
        t->answerStarted = true;
        t->windowStart = now;
        t->windowStartBytes = bytes;
        return 0;
    }
    const long window = std::max(1L, t->options->lowSpeedWindowSeconds);
    if (now - t->windowStart < std::chrono::seconds(window)) return 0;
    if (bytes - t->windowStartBytes < perSecond * static_cast<uint64_t>(window)) {
        t->tooSlow = true;
        return 1;
    }
    t->windowStart = now;
    t->windowStartBytes = bytes;
    return 0;
}

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<std::mutex*>(user)[data].lock();
}

void unlockShare(CURL*, curl_lock_data data, void* user) { static_cast<std::mutex*>(user)[data].unlock(); }

// Performs the request into `t`; returns an error for a transport failure.
std::optional<Error> perform(const HttpRequest& request, Transfer& t, CURLSH* share) {
    for (auto& [name, value] : request.headers) {
        if (!validHeader(name, value)) {
            return makeError(kHttpClientInvalidRequest,
                             "Invalid header field \"" + trim(name.substr(0, 64)) + "\" in the request");
        }
    }
    CURL* curl = curl_easy_init();
    if (!curl) return makeError(CURLE_FAILED_INIT, "Could not create an HTTP transfer");

    curl_slist* headers = nullptr;
    bool hasUserAgent = false;
    for (auto& [name, value] : request.headers) {
        if (equalsIgnoreCase(name, "User-Agent")) hasUserAgent = true;
        // "Name;" sends an empty value ("Name:" would remove the header).
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headers = curl_slist_append(headers, line.c_str());
    }
    headers = curl_slist_append(headers, "Expect:");

    const std::string method = request.method.empty() ? "GET" : request.method;
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const long idle = std::max(1L, t.options->idleTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, idle);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    if (!hasUserAgent) curl_easy_setopt(curl, CURLOPT_USERAGENT, t.options->userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeToTransfer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &headerToTransfer);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &progressOfTransfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    if (share) curl_easy_setopt(curl, CURLOPT_SHARE, share);

    if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method == "POST" || !request.body.empty()) {
        // POSTFIELDS with an explicit size: binary-safe, sent with Content-Length.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    t.response.statusCode = status;
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    if (rc == CURLE_OK) {
        // libcurl takes a connection closed inside the headers as the end of
        // an empty answer; that is no answer.
        if (!t.sawStatusLine || !t.headersComplete || status == 0) {
            return makeError(CURLE_PARTIAL_FILE, "The response ended inside its headers");
        }
        return std::nullopt;
    }
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.stopping->load()) return cancelledError();
    if (rc == CURLE_WRITE_ERROR && t.tooLarge) {
        return makeError(CURLE_FILESIZE_EXCEEDED,
                         (t.fd < 0 ? "The answer is larger than " : "The download is larger than ") +
                             std::to_string(t.maxBytes) + " bytes");
    }
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.tooSlow) {
        return makeError(CURLE_OPERATION_TIMEDOUT,
                         "The transfer was too slow: fewer than " + std::to_string(t.options->lowSpeedBytesPerSecond) +
                             " bytes/s over " + std::to_string(std::max(1L, t.options->lowSpeedWindowSeconds)) + " s");
    }
    std::string detail = t.errorBuffer[0] ? std::string(t.errorBuffer) : std::string(curl_easy_strerror(rc));
    if (rc == CURLE_WRITE_ERROR && t.writeErrno != 0) {
        detail = std::string("Could not write the downloaded data: ") + std::strerror(t.writeErrno);
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
        detail = "The request timed out (" + detail + ")";
    } else if (rc == CURLE_UNSUPPORTED_PROTOCOL) {
        detail = "Unsupported URL scheme (only http and https are allowed): " + detail;
    } else if (rc == CURLE_PARTIAL_FILE) {
        detail = "The response was cut short: " + detail;
    }
    return makeError(rc, detail);
}

}  // namespace

CurlHttpClient::Options CurlHttpClient::Options::fromLimits(const Limits& limits) {
    Options o;
    o.idleTimeoutSeconds = limits.idleTimeoutSeconds;
    o.downloadMaxBytes = limits.downloadMaxBytes;
    o.lowSpeedBytesPerSecond = limits.lowSpeedBytesPerSecond;
    o.lowSpeedWindowSeconds = limits.lowSpeedWindowSeconds;
    return o;
}

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(const Limits& limits) : CurlHttpClient(Options::fromLimits(limits)) {}

CurlHttpClient::CurlHttpClient(Options options) : shared_(std::make_shared<Shared>()) {
    globalInit();
    shared_->options = std::move(options);
    // DNS answers and TLS sessions are shared between the transfers.
    shared_->share = curl_share_init();
    if (shared_->share) {
        curl_share_setopt(shared_->share, CURLSHOPT_LOCKFUNC, &lockShare);
        curl_share_setopt(shared_->share, CURLSHOPT_UNLOCKFUNC, &unlockShare);
        curl_share_setopt(shared_->share, CURLSHOPT_USERDATA, shared_->shareLocks);
        curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(shared_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
}

CurlHttpClient::~CurlHttpClient() {
    shared_->stopping = true;
    std::map<uint64_t, std::thread> threads;
    {
        MutexLock lock(shared_->mutex);
        threads.swap(shared_->threads);
    }
    for (auto& [id, t] : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            // Destroyed inside a completion: that thread ends on its own.
            t.detach();
        } else if (t.joinable()) {
            t.join();
        }
    }
}

size_t CurlHttpClient::inFlight() const {
    MutexLock lock(shared_->mutex);
    return shared_->inFlight;
}

void CurlHttpClient::dataTask(HttpRequest request, DataCompletion completion) {
    auto shared = shared_;
    auto work = [shared, request = std::move(request), completion]() {
        Transfer t;
        t.options = &shared->options;
        t.stopping = &shared->stopping;
        t.maxBytes = request.maxResponseBytes > 0 ? request.maxResponseBytes : shared->options.downloadMaxBytes;
        auto error = perform(request, t, shared->share);
        if (!completion) return;
        if (error) {
            completion(std::nullopt, std::nullopt, std::move(error));
        } else {
            completion(std::move(t.body), std::move(t.response), std::nullopt);
        }
    };
    if (!shared->start(std::move(work), shared)) {
        // Shutting down: no thread is started; answer at once.
        if (completion) completion(std::nullopt, std::nullopt, cancelledError());
    }
}

void CurlHttpClient::downloadTask(const std::string& url, DownloadCompletion completion) {
    auto shared = shared_;
    auto work = [shared, url, completion]() {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
        if (ec || dir.empty()) dir = "/tmp";
        std::string path = (dir / "TevraARWebGL-download-XXXXXX").string();
        int fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (completion)
                completion(std::nullopt, std::nullopt,
                           makeError(CURLE_WRITE_ERROR, "Could not create a temporary file in " + dir.string() + ": " +
                                                            std::strerror(err)));
            return;
        }
        Transfer t;
        t.options = &shared->options;
        t.stopping = &shared->stopping;
        t.fd = fd;
        t.maxBytes = shared->options.downloadMaxBytes;
        HttpRequest request;
        request.url = url;
        auto error = perform(request, t, shared->share);
        if (!error && ::close(fd) != 0) {
            error = makeError(CURLE_WRITE_ERROR,
                              std::string("Could not write the downloaded data: ") + std::strerror(errno));
        } else if (error) {
            ::close(fd);
        }
        if (error) {
            ::unlink(path.c_str());
            if (completion) completion(std::nullopt, std::nullopt, std::move(error));
            return;
        }
        if (completion) completion(path, std::move(t.response), std::nullopt);
        // The caller moved the file away if it wanted to keep it.
        ::unlink(path.c_str());
    };
    if (!shared->start(std::move(work), shared)) {
        if (completion) completion(std::nullopt, std::nullopt, cancelledError());
    }
}

}  // namespace tevra::linux_platform
