#include "platform/linux/CurlHttpClient.h"
#include "base/ThreadAnnotations.h"
#include "base/WorkerPool.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
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

// One request, from submission to its completion.
struct Job {
    HttpRequest request;
    bool download = false;
    HttpClient::DataCompletion dataCompletion;
    HttpClient::DownloadCompletion downloadCompletion;
    std::string method;
    std::string path;  // the download's temporary file
    Transfer t;
    CURL* curl = nullptr;
    curl_slist* headers = nullptr;
};

// Sets up the transfer of `job`; an error when it can't be made.
std::optional<Error> prepare(Job& job, const CurlHttpClient::Options& options) {
    const HttpRequest& request = job.request;
    for (auto& [name, value] : request.headers) {
        if (!validHeader(name, value)) {
            return makeError(kHttpClientInvalidRequest,
                             "Invalid header field \"" + trim(name.substr(0, 64)) + "\" in the request");
        }
    }
    Transfer& t = job.t;
    if (job.download) {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
        if (ec || dir.empty()) dir = "/tmp";
        std::string path = (dir / "TevraARWebGL-download-XXXXXX").string();
        int fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            return makeError(CURLE_WRITE_ERROR,
                             "Could not create a temporary file in " + dir.string() + ": " + std::strerror(err));
        }
        t.fd = fd;
        job.path = std::move(path);
    }
    CURL* curl = curl_easy_init();
    if (!curl) return makeError(CURLE_FAILED_INIT, "Could not create an HTTP transfer");
    job.curl = curl;

    bool hasUserAgent = false;
    for (auto& [name, value] : request.headers) {
        if (equalsIgnoreCase(name, "User-Agent")) hasUserAgent = true;
        // "Name;" sends an empty value ("Name:" would remove the header).
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        job.headers = curl_slist_append(job.headers, line.c_str());
    }
    job.headers = curl_slist_append(job.headers, "Expect:");

    job.method = request.method.empty() ? "GET" : request.method;
    curl_easy_setopt(curl, CURLOPT_PRIVATE, &job);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const long idle = std::max(1L, options.idleTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, idle);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    if (!hasUserAgent) curl_easy_setopt(curl, CURLOPT_USERAGENT, options.userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, job.headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeToTransfer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &headerToTransfer);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &progressOfTransfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

    if (job.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (job.method == "POST" || !request.body.empty()) {
        // POSTFIELDS with an explicit size: binary-safe, sent with Content-Length.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        if (job.method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, job.method.c_str());
    } else if (job.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, job.method.c_str());
    }
    return std::nullopt;
}

// The outcome of a finished transfer: nothing for an answer, else the error.
std::optional<Error> outcome(Job& job, CURLcode rc) {
    Transfer& t = job.t;
    long status = 0;
    curl_easy_getinfo(job.curl, CURLINFO_RESPONSE_CODE, &status);
    t.response.statusCode = status;
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

// Completions run on a few threads of their own, never on the transfer
// thread: a slow completion (unpacking a downloaded model) holds up no
// transfer. As many as there are cores, and at least two.
size_t completionThreads() { return std::max(2u, std::thread::hardware_concurrency()); }

// The most connections open at once; further requests wait for one.
constexpr long kMaxConnections = 128;

}  // namespace

struct CurlHttpClient::Shared : std::enable_shared_from_this<Shared> {
    Options options;
    std::atomic<bool> stopping{false};
    mutable Mutex mutex;
    std::vector<std::shared_ptr<Job>> incoming TEVRA_GUARDED_BY(mutex);
    size_t inFlight TEVRA_GUARDED_BY(mutex) = 0;
    // The transfer thread, started with the first request.
    std::thread transfers TEVRA_GUARDED_BY(mutex);
    CURLM* multi = nullptr;
    WorkerPool completions{completionThreads(), "tevra-http-done"};

    ~Shared() {
        completions.shutdown();
        if (multi) curl_multi_cleanup(multi);
    }

    // Queues `job` for the transfer thread; false when shutting down.
    bool submit(std::shared_ptr<Job> job) {
        {
            MutexLock lock(mutex);
            if (stopping || !multi) return false;
            ++inFlight;
            incoming.push_back(std::move(job));
            if (!transfers.joinable()) transfers = std::thread([this] { run(); });
        }
        curl_multi_wakeup(multi);
        return true;
    }

    // Hands the finished `job` to a completion thread.
    void finish(const std::shared_ptr<Job>& job, std::optional<Error> error) {
        if (job->curl) {
            curl_multi_remove_handle(multi, job->curl);
            curl_easy_cleanup(job->curl);
            job->curl = nullptr;
        }
        curl_slist_free_all(job->headers);
        job->headers = nullptr;
        if (job->t.fd >= 0) {
            if (::close(job->t.fd) != 0 && !error) {
                error = makeError(CURLE_WRITE_ERROR,
                                  std::string("Could not write the downloaded data: ") + std::strerror(errno));
            }
            job->t.fd = -1;
        }
        if (error && !job->path.empty()) {
            ::unlink(job->path.c_str());
            job->path.clear();
        }
        // The completion keeps the client's state alive: the client may be
        // destroyed inside an earlier completion.
        completions.post(
            [self = shared_from_this(), job = std::shared_ptr<Job>(job), error = std::move(error)]() mutable {
                if (job->download) {
                    if (job->downloadCompletion) {
                        if (error) {
                            job->downloadCompletion(std::nullopt, std::nullopt, std::move(error));
                        } else {
                            job->downloadCompletion(job->path, std::move(job->t.response), std::nullopt);
                        }
                    }
                    // The caller moved the file away if it wanted to keep it.
                    if (!job->path.empty()) ::unlink(job->path.c_str());
                } else if (job->dataCompletion) {
                    if (error) {
                        job->dataCompletion(std::nullopt, std::nullopt, std::move(error));
                    } else {
                        job->dataCompletion(std::move(job->t.body), std::move(job->t.response), std::nullopt);
                    }
                }
                job.reset();
                MutexLock lock(self->mutex);
                --self->inFlight;
            });
    }

    // The transfer thread: every transfer runs on one libcurl multi handle.
    void run() {
        pthread_setname_np(pthread_self(), "tevra-http");
        std::unordered_map<CURL*, std::shared_ptr<Job>> active;
        for (;;) {
            std::vector<std::shared_ptr<Job>> fresh;
            bool stop = false;
            {
                MutexLock lock(mutex);
                fresh.swap(incoming);
                stop = stopping;
            }
            for (auto& job : fresh) {
                if (stop) {
                    finish(job, cancelledError());
                } else if (auto error = prepare(*job, options)) {
                    finish(job, std::move(error));
                } else if (CURLMcode mc = curl_multi_add_handle(multi, job->curl); mc != CURLM_OK) {
                    finish(job, makeError(CURLE_FAILED_INIT,
                                          std::string("Could not start an HTTP transfer: ") + curl_multi_strerror(mc)));
                } else {
                    active.emplace(job->curl, job);
                }
            }
            if (stop) {
                for (auto& [curl, job] : active) finish(job, cancelledError());
                return;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                auto it = active.find(msg->easy_handle);
                if (it == active.end()) continue;
                std::shared_ptr<Job> job = std::move(it->second);
                active.erase(it);
                CURLcode rc = msg->data.result;
                finish(job, outcome(*job, rc));
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
};

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
    shared_->multi = curl_multi_init();
    if (shared_->multi) curl_multi_setopt(shared_->multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
}

CurlHttpClient::~CurlHttpClient() {
    std::thread transfers;
    {
        MutexLock lock(shared_->mutex);
        shared_->stopping = true;
        transfers = std::move(shared_->transfers);
    }
    if (shared_->multi) curl_multi_wakeup(shared_->multi);
    // The transfer thread cancels what is in flight and hands every
    // completion over; the completion threads then run them all. Destroyed
    // inside a completion, that thread finishes the rest once it returns.
    if (transfers.joinable()) transfers.join();
    shared_->completions.shutdown();
}

size_t CurlHttpClient::inFlight() const {
    MutexLock lock(shared_->mutex);
    return shared_->inFlight;
}

void CurlHttpClient::dataTask(HttpRequest request, DataCompletion completion) {
    auto job = std::make_shared<Job>();
    job->request = std::move(request);
    job->dataCompletion = completion;
    job->t.options = &shared_->options;
    job->t.stopping = &shared_->stopping;
    job->t.maxBytes =
        job->request.maxResponseBytes > 0 ? job->request.maxResponseBytes : shared_->options.downloadMaxBytes;
    if (!shared_->submit(std::move(job))) {
        // Shutting down: answer at once.
        if (completion) completion(std::nullopt, std::nullopt, cancelledError());
    }
}

void CurlHttpClient::downloadTask(const std::string& url, DownloadCompletion completion) {
    auto job = std::make_shared<Job>();
    job->request.url = url;
    job->download = true;
    job->downloadCompletion = completion;
    job->t.options = &shared_->options;
    job->t.stopping = &shared_->stopping;
    job->t.maxBytes = shared_->options.downloadMaxBytes;
    if (!shared_->submit(std::move(job))) {
        if (completion) completion(std::nullopt, std::nullopt, cancelledError());
    }
}

}  // namespace tevra::linux_platform
