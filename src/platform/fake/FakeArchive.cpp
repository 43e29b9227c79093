#include "platform/fake/FakeArchive.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fake/FakePlatform.h"

namespace tevra::fake {

namespace fs = std::filesystem;

std::string FakeArchive::makeArchiveText(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string text = "FAKEZIP\n";
    for (auto& [name, content] : entries) {
        text += name;
        if (!content.empty()) text += "\t" + content;
        text += "\n";
    }
    return text;
}

void FakeArchive::failNextWith(Error error) {
    MutexLock lock(mutex_);
    nextFailure_ = std::move(error);
}

std::vector<std::pair<std::string, std::string>> FakeArchive::calls() const {
    MutexLock lock(mutex_);
    return calls_;
}

std::optional<Error> FakeArchive::unzipItem(const std::string& archivePath, const std::string& destinationDirectory) {
    std::optional<Error> failure;
    {
        MutexLock lock(mutex_);
        calls_.emplace_back(archivePath, destinationDirectory);
        failure = std::move(nextFailure_);
        nextFailure_.reset();
    }
    if (transcript_) transcript_->add("ARCHIVE", "unzip " + archivePath + " -> " + destinationDirectory);
    if (failure) return failure;

    std::ifstream in(archivePath, std::ios::binary);
    if (!in) return Error{kArchiveErrorDomain, kArchiveErrorUnreadable, "Could not open the archive " + archivePath};
    std::string line;
    if (!std::getline(in, line) || line != "FAKEZIP")
        return Error{kArchiveErrorDomain, kArchiveErrorNotZip, "The file " + archivePath + " is not a ZIP archive"};
    std::vector<std::pair<std::string, std::string>> entries;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        auto tab = line.find('\t');
        std::string name = line.substr(0, tab);
        std::string content = tab == std::string::npos ? "" : line.substr(tab + 1);
        if (name[0] == '/' || name == ".." || name.rfind("../", 0) == 0 || name.find("/../") != std::string::npos ||
            (name.size() >= 3 && name.compare(name.size() - 3, 3, "/..") == 0))
            return Error{kArchiveErrorDomain, kArchiveErrorInvalidEntryPath,
                         "Refused to extract: the entry \"" + name + "\" leaves the destination"};
        entries.emplace_back(std::move(name), std::move(content));
    }
    std::error_code ec;
    fs::create_directories(destinationDirectory, ec);
    for (auto& [name, content] : entries) {
        fs::path target = fs::path(destinationDirectory) / name;
        if (name.back() == '/') {
            fs::create_directories(target, ec);
        } else {
            fs::create_directories(target.parent_path(), ec);
            std::ofstream(target, std::ios::binary | std::ios::trunc) << content;
        }
        if (ec) return Error{kArchiveErrorDomain, kArchiveErrorWriteFailed, "Could not write " + target.string()};
    }
    return std::nullopt;
}

}  // namespace tevra::fake
