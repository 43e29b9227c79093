#include "platform/linux/FileUserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/Log.h"

namespace tevra::linux_platform {

namespace fs = std::filesystem;

std::string FileUserDefaults::defaultPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        std::string home;
        if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
            home = h;
        } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
            home = pw->pw_dir;
        }
        if (home.empty()) return {};
        base = home + "/.config";
    }
    return base + "/TevraARWebGL/defaults.json";
}

FileUserDefaults::FileUserDefaults() : FileUserDefaults(defaultPath()) {}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {
    if (path_.empty()) {
        logSystem("User defaults: no home directory found; settings are kept in memory only");
        return;
    }
    MutexLock lock(mutex_);
    load();
}

FileUserDefaults::~FileUserDefaults() {
    bool pending;
    {
        MutexLock lock(mutex_);
        pending = dirty_ && !path_.empty();
    }
    if (pending) synchronize();
}

void FileUserDefaults::load() {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            logSystem("User defaults: cannot read " + path_ + " (" + std::strerror(errno) +
                      "); starting with no values");
        }
        return;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            logSystem("User defaults: cannot read " + path_ + " (" + std::strerror(err) + "); starting with no values");
            return;
        }
        if (n == 0) break;
        content.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    auto parsed = nlohmann::json::parse(content, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_discarded() && parsed.is_object()) {
        values_ = std::move(parsed);
        return;
    }
    std::string kept = path_ + ".corrupt";
    std::error_code ec;
    fs::rename(path_, kept, ec);
    logSystem("User defaults: " + path_ + " is corrupt or truncated; starting with no values" +
              (ec ? " (could not keep a copy: " + ec.message() + ")" : "; the damaged file is kept as " + kept));
}

std::optional<std::string> FileUserDefaults::stringForKey(const std::string& key) const {
    MutexLock lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void FileUserDefaults::setObject(const std::optional<std::string>& value, const std::string& key) {
    MutexLock lock(mutex_);
    if (value) {
        values_[key] = *value;
    } else {
        values_.erase(key);
    }
    dirty_ = true;
}

bool FileUserDefaults::synchronize() {
    MutexLock lock(mutex_);
    if (!dirty_) return true;
    if (path_.empty()) return false;
    // Invalid UTF-8 in a value is written as U+FFFD rather than failing.
    std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::string failure;
    if (!writeFile(text, failure)) {
        logSystem("User defaults: could not save " + path_ + ": " + failure);
        return false;
    }
    dirty_ = false;
    return true;
}

bool FileUserDefaults::writeFile(const std::string& text, std::string& failure) {
    fs::path target(path_);
    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        failure = "cannot create " + dir.string() + " (" + ec.message() + ")";
        return false;
    }
    std::string tmpl = (dir / (target.filename().string() + ".tmp-XXXXXX")).string();
    int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        failure = std::string("cannot create a temporary file in ") + dir.string() + " (" + std::strerror(errno) + ")";
        return false;
    }
    auto fail = [&](const char* what, int err) {
        failure = std::string(what) + " (" + std::strerror(err) + ")";
        if (fd >= 0) ::close(fd);
        ::unlink(tmpl.c_str());
        return false;
    };
    fchmod(fd, 0600);
    size_t limit = injectFailure_ ? text.size() / 2 : text.size();
    size_t done = 0;
    while (done < limit) {
        ssize_t n = ::write(fd, text.data() + done, limit - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("write failed", errno);
        }
        done += static_cast<size_t>(n);
    }
    if (injectFailure_) return fail("write failed", EIO);
    if (::fsync(fd) != 0) return fail("fsync failed", errno);
    if (::close(fd) != 0) {
        fd = -1;
        return fail("close failed", errno);
    }
    fd = -1;
    if (::rename(tmpl.c_str(), path_.c_str()) != 0) return fail("rename failed", errno);
    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace tevra::linux_platform
