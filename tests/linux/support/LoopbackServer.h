// A small HTTP/1.1 server on 127.0.0.1 for tests of HTTP clients. Each
// connection carries one request (answers close the connection); a handler
// chosen by the test builds the answer, which can also be delayed, stalled
// until the server stops, or dropped without a reply.
//
// It can also misbehave on purpose (raw bytes, an endless body, a trickle, a
// gzip bomb) for tests of clients facing a hostile server.
//
// Every wait inside is bounded by the server's stop, so a test that forgets
// a stalled request still ends: the destructor stops and joins everything.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tevra::testing {

struct LoopbackRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The first header of that name (case-insensitive), or "".
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

struct LoopbackResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Waits this long before answering.
    double delaySeconds = 0;
    // Sends the status line and headers, then `body` split in two with this
    // pause between the halves.
    double pauseMidBodySeconds = 0;
    // Reads the request and never answers (until the server stops).
    bool stall = false;
    // Reads the request and closes the connection without answering.
    bool dropConnection = false;

    // Misbehaviour, each ending by itself:
    // These bytes are the whole answer (status line and headers included,
    // or not), sent as they are; then the connection closes. Cut headers,
    // a body short of its Content-Length, NUL bytes.
    std::optional<std::string> raw;
    // The body (64 KiB of 'x' when empty) is sent again and again, with no
    // Content-Length, until the client goes away, the server stops or
    // `endlessSeconds` pass.
    bool endless = false;
    double endlessSeconds = 20;
    // A trickle: the body is sent `trickleBytes` at a time with
    // `trickleIntervalSeconds` between the pieces (with `endless`, forever
    // within endlessSeconds).
    size_t trickleBytes = 0;
    double trickleIntervalSeconds = 0;
};

// A gzip member whose content is `zeros` zero bytes, about 1/150 of that size
// (fixed-Huffman deflate of 258-byte matches): 256 MiB of zeros is 1.7 MB.
// With "Content-Encoding: gzip" it is a decompression bomb.
std::string gzipOfZeros(uint64_t zeros);

class LoopbackServer {
public:
    using Handler = std::function<LoopbackResponse(const LoopbackRequest&)>;
    explicit LoopbackServer(Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool listening() const { return fd_ >= 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string& path = "/") const;
    // Every request received so far, in order of arrival.
    std::vector<LoopbackRequest> requests() const;
    // Waits up to `seconds` until at least `count` requests arrived.
    bool waitForRequests(size_t count, double seconds) const;
    void stop();

    // A port on 127.0.0.1 that nothing listens on (bound, then released).
    static int closedPort();

private:
    void acceptLoop();
    void serve(int client);
    bool waitStop(double seconds);  // true when stopped during the wait
    bool stopping() const;
    // Sends all of `data` unless the client goes away or the server stops;
    // never blocks longer than 100 ms between checks.
    bool sendAll(int fd, std::string_view data);
    void sendAnswer(int client, const LoopbackResponse& response);

    Handler handler_;
    int fd_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool stopping_ = false;
    std::vector<LoopbackRequest> requests_;
    std::thread acceptor_;
    std::vector<std::thread> connections_;
};

}  // namespace tevra::testing
