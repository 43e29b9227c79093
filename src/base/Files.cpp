#include "base/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstring>
#include <ctime>
#include <vector>

namespace tevra {

namespace fs = std::filesystem;

namespace {

Error fileError(const std::string& what, int err) {
    return Error{kStorageFileErrorDomain, err, what + ": " + std::strerror(err)};
}

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int openDirectoryAt(int dirfd, const char* name) {
    return ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Removes every non-directory entry of the directory `fd` and answers the
// name of one subdirectory left in it ("" when none is left). -errno on
// failure.
int clearFilesAndFindSubdirectory(int fd, std::string& subdirectory) {
    subdirectory.clear();
    int listing = ::dup(fd);
    if (listing < 0) return -errno;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        int err = errno;
        ::close(listing);
        return -err;
    }
    int result = 0;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                result = -errno;
                break;
            }
            isDirectory = S_ISDIR(st.st_mode);
        }
        if (isDirectory) {
            subdirectory = name;
            break;
        }
        if (::unlinkat(fd, name, 0) != 0 && errno != ENOENT) {
            result = -errno;
            break;
        }
        errno = 0;
    }
    if (result == 0 && subdirectory.empty() && errno != 0) result = -errno;
    ::closedir(dir);
    return result;
}

// Empties the directory `name` inside `parent`, depth first, holding one
// descriptor for the directory being worked on (plus one while listing).
Expected<void> emptyDirectory(int parent, const std::string& name, const std::string& shown) {
    Fd current(openDirectoryAt(parent, name.c_str()));
    if (current.get() < 0) return Expected<void>::fail(fileError("Could not remove " + shown, errno));
    std::vector<std::string> below;  // the way down from `name`, by name
    auto where = [&] { return below.empty() ? shown : shown + " (" + std::to_string(below.size()) + " levels down)"; };
    for (;;) {
        std::string subdirectory;
        if (int err = clearFilesAndFindSubdirectory(current.get(), subdirectory); err < 0)
            return Expected<void>::fail(fileError("Could not remove " + where(), -err));
        if (!subdirectory.empty()) {
            int next = openDirectoryAt(current.get(), subdirectory.c_str());
            if (next < 0) return Expected<void>::fail(fileError("Could not remove " + where(), errno));
            current.reset(next);
            below.push_back(std::move(subdirectory));
            continue;
        }
        if (below.empty()) return Expected<void>::ok();
        // Back up one level; the directory reached must still hold the one
        // just emptied, or the tree was moved meanwhile.
        struct stat emptied {};
        if (::fstat(current.get(), &emptied) != 0)
            return Expected<void>::fail(fileError("Could not remove " + where(), errno));
        Fd up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (up.get() < 0) return Expected<void>::fail(fileError("Could not remove " + where(), errno));
        struct stat seen {};
        if (::fstatat(up.get(), below.back().c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
            seen.st_dev != emptied.st_dev || seen.st_ino != emptied.st_ino)
            return Expected<void>::fail(
                Error{kStorageFileErrorDomain, ESTALE,
                      "Could not remove " + where() + ": the tree was moved during the removal"});
        if (::unlinkat(up.get(), below.back().c_str(), AT_REMOVEDIR) != 0)
            return Expected<void>::fail(fileError("Could not remove " + where(), errno));
        below.pop_back();
        current.reset(up.release());
    }
}

}  // namespace

Expected<void> removeTree(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    std::string parentPath = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return Expected<void>::fail(
            Error{kStorageFileErrorDomain, EINVAL, "Could not remove " + path + ": not a removable name"});

    Fd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) {
        if (errno == ENOENT) return Expected<void>::ok();
        return Expected<void>::fail(fileError("Could not remove " + path, errno));
    }
    struct stat st {};
    if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Expected<void>::ok();
        return Expected<void>::fail(fileError("Could not remove " + path, errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            return Expected<void>::fail(fileError("Could not remove " + path, errno));
        return Expected<void>::ok();
    }
    if (auto emptied = emptyDirectory(parent.get(), name, path); !emptied) return emptied;
    if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        return Expected<void>::fail(fileError("Could not remove " + path, errno));
    return Expected<void>::ok();
}

Expected<std::string> makePrivateDirectory(const std::string& parent) {
    std::string path = parent;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    path += std::string("/") + kPrivateDirectoryPrefix + "XXXXXX";
    if (!::mkdtemp(path.data()))
        return Expected<std::string>::fail(fileError("Could not create a directory in " + parent, errno));
    return Expected<std::string>::ok(path);
}

void removeStalePrivateDirectories(const std::string& parent, std::chrono::seconds age) {
    const size_t prefixLength = std::strlen(kPrivateDirectoryPrefix);
    std::vector<std::string> stale;
    {
        Fd fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) return;
        DIR* dir = ::fdopendir(fd.release());
        if (!dir) return;
        const time_t now = ::time(nullptr);
        while (dirent* entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, kPrivateDirectoryPrefix, prefixLength) != 0) continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
            if (now - st.st_mtime > static_cast<time_t>(age.count())) stale.push_back(entry->d_name);
        }
        ::closedir(dir);
    }
    std::string base = parent;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    for (const std::string& name : stale) removeTree(base + "/" + name);
}

bool entryExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec)) && !ec;
}

Error fileError(const std::string& what, const std::error_code& ec) {
    return Error{kStorageFileErrorDomain, ec.value(), what + ": " + ec.message()};
}

Expected<void> removeItem(const fs::path& p) { return removeTree(p.string()); }

Expected<void> moveItem(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return Expected<void>::ok();
    if (ec != std::errc::cross_device_link)
        return Expected<void>::fail(fileError("Could not move " + from.string() + " to " + to.string(), ec));
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        removeTree(to.string());
        return Expected<void>::fail(fileError("Could not copy " + from.string() + " to " + to.string(), ec));
    }
    if (auto removed = removeTree(from.string()); !removed)
        return Expected<void>::fail(Error{kStorageFileErrorDomain, removed.error.code,
                                          "Could not remove " + from.string() + " after copying it"});
    return Expected<void>::ok();
}

Expected<void> replaceItem(const fs::path& incoming, const fs::path& destination) {
    if (entryExists(destination)) {
        if (::renameat2(AT_FDCWD, incoming.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE) == 0) {
            removeItem(incoming);
            return Expected<void>::ok();
        }
        if (auto removed = removeItem(destination); !removed) return removed;
    }
    return moveItem(incoming, destination);
}

}  // namespace tevra
