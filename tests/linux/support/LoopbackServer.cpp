#include "linux/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tevra::testing {

namespace {

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

const char* reasonFor(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

// Deflate bits, least significant first; Huffman codes go most significant
// bit first.
struct BitWriter {
    std::string out;
    uint32_t acc = 0;
    int n = 0;
    void bits(uint32_t value, int count) {
        acc |= value << n;
        n += count;
        while (n >= 8) {
            out.push_back(static_cast<char>(acc & 0xff));
            acc >>= 8;
            n -= 8;
        }
    }
    void code(uint32_t value, int count) {
        uint32_t reversed = 0;
        for (int i = 0; i < count; ++i) reversed |= ((value >> i) & 1u) << (count - 1 - i);
        bits(reversed, count);
    }
    void flush() {
        if (n > 0) out.push_back(static_cast<char>(acc & 0xff));
        acc = 0;
        n = 0;
    }
};

// CRC-32 of `count` zero bytes: the register runs through the linear map of
// one zero bit, raised to 8 * count by squaring.
uint32_t crc32OfZeros(uint64_t count) {
    auto times = [](const uint32_t* mat, uint32_t vec) {
        uint32_t sum = 0;
        for (int i = 0; vec; ++i, vec >>= 1)
            if (vec & 1) sum ^= mat[i];
        return sum;
    };
    auto square = [&](uint32_t* sq, const uint32_t* mat) {
        for (int i = 0; i < 32; ++i) sq[i] = times(mat, mat[i]);
    };
    uint32_t bit[32], a[32], b[32];
    bit[0] = 0xedb88320u;
    for (int i = 1; i < 32; ++i) bit[i] = 1u << (i - 1);
    square(a, bit);  // two zero bits
    square(b, a);    // four
    square(a, b);    // one zero byte
    uint32_t crc = 0xffffffffu;
    uint32_t* cur = a;
    uint32_t* next = b;
    while (count) {
        if (count & 1) crc = times(cur, crc);
        count >>= 1;
        if (!count) break;
        square(next, cur);
        std::swap(cur, next);
    }
    return ~crc;
}

}  // namespace

std::string gzipOfZeros(uint64_t zeros) {
    BitWriter w;
    w.out = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    w.bits(1, 1);  // last block
    w.bits(1, 2);  // fixed Huffman codes
    uint64_t left = zeros;
    if (left > 0) {
        w.code(0x30, 8);  // literal 0
        --left;
    }
    for (; left >= 258; left -= 258) {
        w.code(0xc5, 8);  // length 258 (code 285)
        w.code(0, 5);     // distance 1
    }
    for (; left > 0; --left) w.code(0x30, 8);
    w.code(0, 7);  // end of block
    w.flush();
    uint32_t crc = crc32OfZeros(zeros);
    uint32_t size = static_cast<uint32_t>(zeros);
    for (int i = 0; i < 4; ++i) w.out.push_back(static_cast<char>((crc >> (8 * i)) & 0xff));
    for (int i = 0; i < 4; ++i) w.out.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
    return w.out;
}

std::string LoopbackRequest::header(const std::string& name) const {
    for (auto& [k, v] : headers)
        if (iequals(k, name)) return v;
    return {};
}

bool LoopbackRequest::hasHeader(const std::string& name) const {
    for (auto& [k, v] : headers)
        if (iequals(k, name)) return true;
    return false;
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    stop();
    for (int f : wake_)
        if (f >= 0) ::close(f);
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<LoopbackRequest> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool LoopbackServer::waitForRequests(size_t count, double seconds) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return requests_.size() >= count; });
}

void LoopbackServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (wake_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& t : connections) t.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int LoopbackServer::closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool LoopbackServer::waitStop(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_; });
}

void LoopbackServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = ::poll(fds, 2, 1000);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
        int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, client] {
            serve(client);
            ::close(client);
        });
    }
}

void LoopbackServer::serve(int client) {
    // Read the head, then Content-Length bytes of body; give up after 10 s
    // or when the server stops.
    std::string data;
    size_t headEnd = std::string::npos;
    size_t need = std::string::npos;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    LoopbackRequest request;
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                std::string head = data.substr(0, headEnd);
                size_t lineEnd = head.find("\r\n");
                std::string first = head.substr(0, lineEnd);
                size_t sp1 = first.find(' ');
                size_t sp2 = first.find(' ', sp1 + 1);
                request.method = first.substr(0, sp1);
                request.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
                size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
                while (pos < head.size()) {
                    size_t e = head.find("\r\n", pos);
                    if (e == std::string::npos) e = head.size();
                    std::string line = head.substr(pos, e - pos);
                    size_t colon = line.find(':');
                    if (colon != std::string::npos)
                        request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
                    pos = e + 2;
                }
                std::string cl = request.header("Content-Length");
                need = headEnd + 4 + (cl.empty() ? 0 : std::strtoull(cl.c_str(), nullptr, 10));
            }
        }
        if (need != std::string::npos && data.size() >= need) break;
        if (std::chrono::steady_clock::now() > deadline) return;
        pollfd p{client, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        if (r <= 0) continue;
        char buf[65536];
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
    }
    request.body = data.substr(headEnd + 4, need - headEnd - 4);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    cv_.notify_all();
    LoopbackResponse response = handler_ ? handler_(request) : LoopbackResponse{};
    if (response.dropConnection) return;
    if (response.stall) {
        waitStop(3600);
        return;
    }
    if (response.delaySeconds > 0 && waitStop(response.delaySeconds)) return;
    sendAnswer(client, response);
}

bool LoopbackServer::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool LoopbackServer::sendAll(int fd, std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
        if (stopping()) return false;
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP)) return false;
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void LoopbackServer::sendAnswer(int client, const LoopbackResponse& response) {
    if (response.raw) {
        sendAll(client, *response.raw);
        return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonFor(response.status) + "\r\n";
    bool hasLength = false;
    for (auto& [k, v] : response.headers) {
        head += k + ": " + v + "\r\n";
        if (iequals(k, "Content-Length")) hasLength = true;
    }
    if (!hasLength && !response.endless) head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (response.endless || response.trickleBytes > 0) {
        if (!sendAll(client, head)) return;
        const std::string pattern = response.body.empty() && response.endless ? std::string(65536, 'x') : response.body;
        const size_t piece = response.trickleBytes > 0 ? response.trickleBytes : pattern.size();
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(response.endlessSeconds);
        size_t offset = 0;
        while (std::chrono::steady_clock::now() < end && !pattern.empty()) {
            if (offset == pattern.size()) {
                if (!response.endless) return;
                offset = 0;
            }
            size_t n = std::min(piece, pattern.size() - offset);
            if (!sendAll(client, std::string_view(pattern).substr(offset, n))) return;
            offset += n;
            if (response.trickleIntervalSeconds > 0 && waitStop(response.trickleIntervalSeconds)) return;
        }
        return;
    }
    if (response.pauseMidBodySeconds > 0) {
        size_t half = response.body.size() / 2;
        if (!sendAll(client, head + response.body.substr(0, half))) return;
        if (waitStop(response.pauseMidBodySeconds)) return;
        sendAll(client, response.body.substr(half));
        return;
    }
    sendAll(client, head + response.body);
}

}  // namespace tevra::testing
