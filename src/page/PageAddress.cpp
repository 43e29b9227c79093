#include "page/PageAddress.h"

#include <filesystem>

#include "base/TextUtils.h"
#include "base/URL.h"

namespace fs = std::filesystem;

namespace tevra {

namespace {

// Removes the last case-insensitive occurrence of ".html" from name.
std::string removeLastHTML(const std::string& name) {
    size_t pos = lowercase(name).rfind(".html");
    if (pos == std::string::npos) return name;
    return name.substr(0, pos) + name.substr(pos + 5);
}

// A resource name stays inside the resources directory: no absolute names
// and no ".." components.
bool containedName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    for (const auto& part : splitString(name, "/"))
        if (part == "..") return false;
    return true;
}

// The application's resources, looked up like a bundle: NAME.TYPE, or NAME
// alone when no type is given.
std::optional<std::string> pathForResource(const std::string& dir, const std::string& name, const std::string& type) {
    if (dir.empty() || !containedName(name)) return std::nullopt;
    fs::path p = fs::path(dir) / (type.empty() ? name : name + "." + type);
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    return p.string();
}
// "%20" back to " "; false on a "%" without two hex digits.
bool percentDecoded(const std::string& text, std::string& out) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return false;
        out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
        i += 2;
    }
    return true;
}

// A file URL naming a page inside the resources directory (the address the
// page view reports for a resource page, which the controller remembers):
// that page, by its real path. Links out of the directory don't count.
std::optional<std::string> resourceFileURL(const ParsedURL& url, const std::string& dir) {
    std::string path;
    if (dir.empty() || url.path.empty() || url.path[0] != '/' || !percentDecoded(url.path, path)) return std::nullopt;
    std::error_code ec;
    const fs::path file = fs::weakly_canonical(path, ec);
    if (ec) return std::nullopt;
    const fs::path root = fs::weakly_canonical(dir, ec);
    if (ec) return std::nullopt;
    const fs::path relative = file.lexically_relative(root);
    if (relative.empty() || *relative.begin() == ".." || *relative.begin() == ".") return std::nullopt;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    return fileURLForPath(file.string());
}
}  // namespace

std::optional<std::string> resolvePageAddress(const std::string& text, const std::string& resourcesDirectory) {
    // An empty host ("http://", or "" once prefixed) names no server: such a
    // text goes to the resources like any other text without a host.
    auto hasHost = [](const std::optional<ParsedURL>& u) { return u && u->scheme && u->host && !u->host->empty(); };
    std::optional<ParsedURL> url = parseURL(text);
    bool isFileAddress = url && url->scheme && lowercase(*url->scheme) == "file";
    if (isFileAddress && url->host && url->host->empty())
        if (std::optional<std::string> page = resourceFileURL(*url, resourcesDirectory)) return page;
    // "http://" itself is not prefixed again: "http://http://" would name a
    // server called "http".
    const bool emptyHost = url && url->scheme && url->host && url->host->empty();
    if (!hasHost(url) && !emptyHost) url = parseURL(format("http://%s", text.c_str()));
    if (!hasHost(url) || isFileAddress) {
        std::string name = text;
        if (isFileAddress && url) {
            name = url->host.value_or("") + url->path;
            if (lowercase(url->pathExtension()) == "html") name = removeLastHTML(name);
        } else {
            std::string low = lowercase(name);
            size_t pos = low.rfind(".html");
            if (pos != std::string::npos && pos + 5 == low.size()) name = name.substr(0, pos);
        }
        std::optional<std::string> path = pathForResource(resourcesDirectory, name, "html");
        if (!path) path = pathForResource(resourcesDirectory, name, "");
        std::error_code ec;
        if (!path || !fs::exists(*path, ec)) return std::nullopt;
        if (fs::is_directory(*path, ec)) name = format("%s/index", name.c_str());
        std::optional<std::string> page = pathForResource(resourcesDirectory, name, "html");
        if (!page) return std::nullopt;
        return fileURLForPath(fs::absolute(*page).string());
    }
    return url->absoluteString;
}

}  // namespace tevra
