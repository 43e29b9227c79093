#include "linux/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
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
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

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
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonFor(response.status) + "\r\n";
    bool hasLength = false;
    for (auto& [k, v] : response.headers) {
        head += k + ": " + v + "\r\n";
        if (iequals(k, "Content-Length")) hasLength = true;
    }
    if (!hasLength) head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
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
