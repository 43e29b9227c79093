#include "platform/linux/ZipExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace tevra::linux_platform {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxLinkTarget = 4096;
constexpr int kMaxLinkHops = 40;

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

Error archiveError(long code, std::string text) { return Error{kArchiveErrorDomain, code, std::move(text)}; }

std::string errnoText(int err) { return std::strerror(err); }

enum class Kind { Directory, File, Link };

struct Entry {
    zip_uint64_t index = 0;
    std::string name;
    std::vector<std::string> parts;  // path components below the destination
    Kind kind = Kind::File;
    mode_t mode = 0644;
    zip_uint64_t size = 0;
    bool hasCrc = false;
    uint32_t crc = 0;
};

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

std::string joinPath(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string p = root;
    for (size_t i = 0; i < count && i < parts.size(); ++i) p += "/" + parts[i];
    return p;
}

// Splits an entry name into components; refuses absolute names and "..".
bool splitEntryName(const std::string& name, std::vector<std::string>& parts, std::string& why) {
    if (name.empty()) {
        why = "an entry has an empty name";
        return false;
    }
    if (name[0] == '/') {
        why = "the entry \"" + name + "\" has an absolute path";
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        std::string part = name.substr(start, slash - start);
        if (part == "..") {
            why = "the entry \"" + name + "\" climbs out of the destination (\"..\")";
            return false;
        }
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = slash + 1;
    }
    if (parts.empty()) {
        why = "the entry \"" + name + "\" names no file";
        return false;
    }
    return true;
}

// Makes sure root/parts[0..count) are real directories (never links),
// creating the missing ones.
std::optional<Error> makeDirectories(const std::string& root, const Entry& e, size_t count) {
    for (size_t i = 1; i <= count; ++i) {
        std::string p = joinPath(root, e.parts, i);
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode))
                return archiveError(kArchiveErrorInvalidEntryPath,
                                    "The entry \"" + e.name + "\" would be written through a symbolic link");
            if (!S_ISDIR(st.st_mode))
                return archiveError(kArchiveErrorWriteFailed,
                                    "Could not create the directory for \"" + e.name + "\": a file is in the way");
            continue;
        }
        if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST)
            return archiveError(kArchiveErrorWriteFailed, "Could not create " + p + ": " + errnoText(errno));
    }
    return std::nullopt;
}

// Resolves `target` as the kernel would for a link in root/parent, following
// links that already exist; true when every step stays inside root.
// `loop` reports a chain of links too long to follow.
bool staysInside(const std::string& root, std::vector<std::string> stack, const std::string& target, bool& loop) {
    loop = false;
    if (target.empty() || target[0] == '/') return false;
    std::deque<std::string> pending;
    auto pushFront = [&pending](const std::string& path) {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= path.size()) {
            size_t slash = path.find('/', start);
            if (slash == std::string::npos) slash = path.size();
            parts.push_back(path.substr(start, slash - start));
            start = slash + 1;
        }
        pending.insert(pending.begin(), parts.begin(), parts.end());
    };
    pushFront(target);
    int hops = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (stack.empty()) return false;
            stack.pop_back();
            continue;
        }
        stack.push_back(part);
        std::string p = joinPath(root, stack, stack.size());
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            if (++hops > kMaxLinkHops) {
                loop = true;
                return false;
            }
            char buf[kMaxLinkTarget + 1];
            ssize_t n = ::readlink(p.c_str(), buf, kMaxLinkTarget);
            if (n <= 0) return false;
            std::string next(buf, static_cast<size_t>(n));
            if (next[0] == '/') return false;
            stack.pop_back();
            pushFront(next);
        }
    }
    return true;
}

Error tooManyEntries(uint64_t count, uint64_t max) {
    return archiveError(kArchiveErrorTooManyEntries, "The archive has " + std::to_string(count) + " entries; at most " +
                                                         std::to_string(max) + " are allowed");
}

uint64_t readLittleEndian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

bool readAt(int fd, uint64_t offset, unsigned char* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The largest entry count any end record of the archive declares (also in
// its ZIP64 form), read before libzip loads the central directory: libzip
// allocates per declared entry, so a hostile count must be refused first.
// 0 when no end record is found (libzip then reports what is wrong).
uint64_t declaredEntryCount(const std::string& archivePath) {
    int fd = ::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    uint64_t result = 0;
    if (::fstat(fd, &st) == 0 && st.st_size >= 22) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        const uint64_t tailSize = std::min<uint64_t>(size, 22 + 0xFFFF);
        std::vector<unsigned char> tail(static_cast<size_t>(tailSize));
        if (readAt(fd, size - tailSize, tail.data(), tail.size())) {
            for (size_t at = tail.size() - 22 + 1; at-- > 0;) {
                const unsigned char* e = tail.data() + at;
                if (readLittleEndian(e, 4) != 0x06054b50) continue;
                if (at + 22 + readLittleEndian(e + 20, 2) > tail.size()) continue;
                uint64_t count = readLittleEndian(e + 10, 2);
                uint64_t directorySize = readLittleEndian(e + 12, 4);
                uint64_t directoryOffset = readLittleEndian(e + 16, 4);
                // ZIP64: the locator just before the end record names the
                // ZIP64 end record, whose fields are 8 bytes wide.
                uint64_t recordAt = size - tailSize + at;
                unsigned char locator[20], record[56];
                if (recordAt >= 20 && readAt(fd, recordAt - 20, locator, sizeof locator) &&
                    readLittleEndian(locator, 4) == 0x07064b50) {
                    uint64_t offset = readLittleEndian(locator + 8, 8);
                    if (offset < size && size - offset >= sizeof record && readAt(fd, offset, record, sizeof record) &&
                        readLittleEndian(record, 4) == 0x06064b50) {
                        count = std::max(count, readLittleEndian(record + 32, 8));
                        directorySize = readLittleEndian(record + 40, 8);
                        directoryOffset = readLittleEndian(record + 48, 8);
                    }
                }
                // Only a record whose directory lies before it is one libzip
                // would read (the signature may also occur inside data).
                if (directoryOffset > recordAt || directorySize > recordAt - directoryOffset) continue;
                result = std::max(result, count);
            }
        }
    }
    ::close(fd);
    return result;
}

class Extraction {
public:
    Extraction(zip_t* zip, std::string root, const ZipExtractor::Limits& limits)
        : zip_(zip), root_(std::move(root)), limits_(limits) {}

    std::optional<Error> run() {
        if (auto e = scan()) return e;
        std::error_code ec;
        fs::create_directories(root_, ec);
        if (ec)
            return archiveError(kArchiveErrorWriteFailed,
                                "Could not create the directory " + root_ + ": " + ec.message());
        for (auto& entry : entries_) {
            if (entry.kind == Kind::Directory) {
                if (auto e = makeDirectories(root_, entry, entry.parts.size())) return e;
            } else if (entry.kind == Kind::File) {
                if (auto e = extractFile(entry)) return e;
            }
        }
        // Links last: no file or directory is ever written through one.
        std::vector<const Entry*> links;
        for (auto& entry : entries_) {
            if (entry.kind != Kind::Link) continue;
            if (auto e = extractLink(entry)) return e;
            links.push_back(&entry);
        }
        // With every link in place, check each again: a later link could
        // have changed where an earlier one leads.
        for (const Entry* entry : links) {
            if (auto e = checkLink(*entry)) {
                for (const Entry* l : links) ::unlink(joinPath(root_, l->parts, l->parts.size()).c_str());
                return e;
            }
        }
        return std::nullopt;
    }

private:
    std::optional<Error> scan() {
        zip_int64_t count = zip_get_num_entries(zip_, 0);
        if (count < 0) return archiveError(kArchiveErrorCorrupt, "The archive's directory can't be read");
        if (static_cast<uint64_t>(count) > limits_.maxEntries)
            return tooManyEntries(static_cast<uint64_t>(count), limits_.maxEntries);
        uint64_t total = 0;
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
            zip_stat_t st;
            zip_stat_init(&st);
            if (zip_stat_index(zip_, i, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || !st.name)
                return archiveError(kArchiveErrorCorrupt,
                                    "Entry " + std::to_string(i) + " of the archive is unreadable");
            Entry e;
            e.index = i;
            e.name = st.name;
            std::string why;
            if (!splitEntryName(e.name, e.parts, why))
                return archiveError(kArchiveErrorInvalidEntryPath, "Refused to extract: " + why);
            if (e.parts.size() > limits_.maxDepth)
                return archiveError(kArchiveErrorTooDeep,
                                    "An entry of the archive is " + std::to_string(e.parts.size()) +
                                        " levels deep; at most " + std::to_string(limits_.maxDepth) + " are allowed");
            e.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
            e.hasCrc = (st.valid & ZIP_STAT_CRC) != 0;
            e.crc = st.crc;
            zip_uint8_t opsys = 0;
            zip_uint32_t attributes = 0;
            mode_t unixMode = 0;
            if (zip_file_get_external_attributes(zip_, i, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX)
                unixMode = static_cast<mode_t>(attributes >> 16);
            if (e.name.back() == '/' || S_ISDIR(unixMode)) {
                e.kind = Kind::Directory;
            } else if (S_ISLNK(unixMode)) {
                e.kind = Kind::Link;
                if (e.size > kMaxLinkTarget)
                    return archiveError(kArchiveErrorCorrupt, "The link \"" + e.name + "\" has an overlong target");
            } else {
                e.kind = Kind::File;
                e.mode = (unixMode & 0111) ? 0755 : 0644;
            }
            if (auto err = countDirectories(e)) return err;
            total += e.size;
            if (total > limits_.maxTotalBytes) return tooLarge();
            entries_.push_back(std::move(e));
        }
        return std::nullopt;
    }

    // Counts the directories `e` makes exist: its own path for a directory
    // entry, the path leading to it for a file or link. Each directory is
    // counted once (a tree of names, by parent and name).
    std::optional<Error> countDirectories(const Entry& e) {
        size_t levels = e.kind == Kind::Directory ? e.parts.size() : e.parts.size() - 1;
        uint64_t parent = 0;  // the destination itself
        for (size_t i = 0; i < levels; ++i) {
            auto [it, added] = directories_.try_emplace({parent, e.parts[i]}, directories_.size() + 1);
            if (added && directories_.size() > limits_.maxDirectories)
                return archiveError(
                    kArchiveErrorTooManyDirectories,
                    "The archive creates more than " + std::to_string(limits_.maxDirectories) + " directories");
            parent = it->second;
        }
        return std::nullopt;
    }

    Error tooLarge() const {
        return archiveError(kArchiveErrorTooLarge,
                            "The archive unpacks to more than " + std::to_string(limits_.maxTotalBytes) + " bytes");
    }

    // Reads an entry's bytes, checking size, running total and CRC-32.
    // `sink` takes each chunk and returns false on a write failure.
    template <typename Sink>
    std::optional<Error> readEntry(const Entry& e, Sink&& sink) {
        std::unique_ptr<zip_file_t, ZipFileCloser> file(zip_fopen_index(zip_, e.index, 0));
        if (!file) {
            return archiveError(kArchiveErrorCorrupt,
                                "The entry \"" + e.name + "\" can't be read: " + zip_strerror(zip_));
        }
        uint32_t crc = 0;
        uint64_t got = 0;
        std::vector<char> buf(1 << 16);
        for (;;) {
            zip_int64_t n = zip_fread(file.get(), buf.data(), buf.size());
            if (n < 0) {
                zip_error_t* err = zip_file_get_error(file.get());
                if (zip_error_code_zip(err) == ZIP_ER_CRC)
                    return archiveError(kArchiveErrorChecksum,
                                        "The entry \"" + e.name + "\" is corrupted (CRC-32 mismatch)");
                return archiveError(kArchiveErrorCorrupt,
                                    "The entry \"" + e.name + "\" can't be unpacked: " + zip_error_strerror(err));
            }
            if (n == 0) break;
            got += static_cast<uint64_t>(n);
            written_ += static_cast<uint64_t>(n);
            if (written_ > limits_.maxTotalBytes || got > e.size) {
                if (written_ > limits_.maxTotalBytes) return tooLarge();
                return archiveError(kArchiveErrorCorrupt, "The entry \"" + e.name + "\" is longer than recorded");
            }
            crc = crc32Update(crc, buf.data(), static_cast<size_t>(n));
            if (auto e2 = sink(buf.data(), static_cast<size_t>(n))) return e2;
        }
        if (got != e.size)
            return archiveError(kArchiveErrorCorrupt, "The entry \"" + e.name + "\" is shorter than recorded");
        if (e.hasCrc && crc != e.crc)
            return archiveError(kArchiveErrorChecksum, "The entry \"" + e.name + "\" is corrupted (CRC-32 mismatch)");
        return std::nullopt;
    }

    std::optional<Error> extractFile(const Entry& e) {
        if (auto err = makeDirectories(root_, e, e.parts.size() - 1)) return err;
        std::string path = joinPath(root_, e.parts, e.parts.size());
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, e.mode);
        if (fd < 0) {
            if (errno == ELOOP)
                return archiveError(kArchiveErrorInvalidEntryPath,
                                    "The entry \"" + e.name + "\" would be written through a symbolic link");
            return archiveError(kArchiveErrorWriteFailed, "Could not create " + path + ": " + errnoText(errno));
        }
        ::fchmod(fd, e.mode);
        auto result = readEntry(e, [&](const char* data, size_t n) -> std::optional<Error> {
            size_t done = 0;
            while (done < n) {
                ssize_t w = ::write(fd, data + done, n - done);
                if (w < 0) {
                    if (errno == EINTR) continue;
                    return archiveError(kArchiveErrorWriteFailed, "Could not write " + path + ": " + errnoText(errno));
                }
                done += static_cast<size_t>(w);
            }
            return std::nullopt;
        });
        if (::close(fd) != 0 && !result)
            result = archiveError(kArchiveErrorWriteFailed, "Could not write " + path + ": " + errnoText(errno));
        if (result) ::unlink(path.c_str());
        return result;
    }

    std::optional<Error> extractLink(const Entry& e) {
        std::string target;
        auto err = readEntry(e, [&](const char* data, size_t n) -> std::optional<Error> {
            target.append(data, n);
            return std::nullopt;
        });
        if (err) return err;
        if (target.find('\0') != std::string::npos)
            return archiveError(kArchiveErrorCorrupt, "The link \"" + e.name + "\" has an invalid target");
        if (auto err2 = makeDirectories(root_, e, e.parts.size() - 1)) return err2;
        std::vector<std::string> parent(e.parts.begin(), e.parts.end() - 1);
        bool loop = false;
        if (!staysInside(root_, parent, target, loop)) return uncontained(e, target, loop);
        std::string path = joinPath(root_, e.parts, e.parts.size());
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                return archiveError(kArchiveErrorWriteFailed,
                                    "Could not create the link " + path + ": a directory is in the way");
            ::unlink(path.c_str());
        }
        if (::symlink(target.c_str(), path.c_str()) != 0)
            return archiveError(kArchiveErrorWriteFailed,
                                "Could not create the link " + path + ": " + errnoText(errno));
        return std::nullopt;
    }

    std::optional<Error> checkLink(const Entry& e) {
        std::string path = joinPath(root_, e.parts, e.parts.size());
        char buf[kMaxLinkTarget + 1];
        ssize_t n = ::readlink(path.c_str(), buf, kMaxLinkTarget);
        if (n <= 0)
            return archiveError(kArchiveErrorWriteFailed, "The link " + path + " disappeared during extraction");
        std::string target(buf, static_cast<size_t>(n));
        std::vector<std::string> parent(e.parts.begin(), e.parts.end() - 1);
        bool loop = false;
        if (!staysInside(root_, parent, target, loop)) return uncontained(e, target, loop);
        return std::nullopt;
    }

    static Error uncontained(const Entry& e, const std::string& target, bool loop) {
        if (loop)
            return archiveError(kArchiveErrorUncontainedSymlink,
                                "Refused the symbolic link \"" + e.name + "\": its chain of links does not end");
        return archiveError(kArchiveErrorUncontainedSymlink, "Refused the symbolic link \"" + e.name + "\" -> \"" +
                                                                 target + "\": it points outside the destination");
    }

    zip_t* zip_;
    std::string root_;
    ZipExtractor::Limits limits_;
    std::vector<Entry> entries_;
    std::map<std::pair<uint64_t, std::string>, uint64_t> directories_;
    uint64_t written_ = 0;
};

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t size) {
    const auto& table = crcTable();
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::optional<Error> ZipExtractor::unzipItem(const std::string& archivePath, const std::string& destinationDirectory) {
    if (uint64_t declared = declaredEntryCount(archivePath); declared > limits_.maxEntries)
        return tooManyEntries(declared, limits_.maxEntries);
    int code = 0;
    std::unique_ptr<zip_t, ZipCloser> zip(zip_open(archivePath.c_str(), ZIP_RDONLY, &code));
    if (!zip) {
        zip_error_t err;
        zip_error_init_with_code(&err, code);
        std::string detail = zip_error_strerror(&err);
        zip_error_fini(&err);
        if (code == ZIP_ER_NOZIP || code == ZIP_ER_INCONS)
            return archiveError(kArchiveErrorNotZip,
                                "The file " + archivePath + " is not a ZIP archive (" + detail + ")");
        return archiveError(kArchiveErrorUnreadable, "Could not open the archive " + archivePath + ": " + detail);
    }
    std::string root = destinationDirectory;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root.empty()) root = ".";
    return Extraction(zip.get(), root, limits_).run();
}

}  // namespace tevra::linux_platform
