#include "platform/linux/LinuxPlatform.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/EvdevHaptics.h"
#include "platform/linux/FileUserDefaults.h"
#include "platform/linux/GLibAnimator.h"
#include "platform/linux/GLibDispatch.h"
#include "platform/linux/GtkAccessibility.h"
#include "platform/linux/LinuxDevice.h"
#include "platform/linux/LinuxViewFactory.h"
#include "platform/linux/LazyModelRuntime.h"
#include "platform/linux/RandomUUID.h"
#include "platform/linux/StdLog.h"
#include "platform/linux/ZipExtractor.h"

namespace fs = std::filesystem;

namespace tevra::linux_platform {

std::string executableDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path(ec).string();
    return exe.parent_path().string();
}

namespace {
std::string defaultDocumentsDirectory() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && fs::path(xdg).is_absolute()) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = fs::path(home) / ".local" / "share";
    } else {
        return "";  // no per-user directory: stored models are not looked up
    }
    fs::path dir = base / "TevraARWebGL";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return ec ? "" : dir.string();
}
}  // namespace

std::shared_ptr<Platform> installLinuxPlatform(const LinuxPlatformOptions& options) {
    auto p = std::make_shared<Platform>();
    auto dispatch = std::make_shared<GLibDispatch>();
    p->dispatch = dispatch;
    p->log = std::make_shared<StdLog>();
    p->clock = std::make_shared<MonotonicClock>();
    p->device = std::make_shared<LinuxDevice>(dispatch, options.initialOrientation);
    p->defaults = std::make_shared<FileUserDefaults>();
    p->views = std::make_shared<LinuxViewFactory>();
    p->ar = options.ar;
    p->http = std::make_shared<CurlHttpClient>(options.limits);
    p->haptics = EvdevHaptics::fromEnvironment();
    // OpenCV and the runtime load when a page first prepares a model.
    p->models = std::make_shared<LazyModelRuntime>(options.limits);
    p->uuids = std::make_shared<RandomUUID>();
    p->archive = std::make_shared<ZipExtractor>(options.limits);
    p->animator = std::make_shared<GLibAnimator>();
    // Notices go to the active window's accessible object.
    p->accessibility = std::make_shared<GtkAccessibility>();
    p->resourcesDirectory = options.resourcesDirectory.empty()
                                ? (fs::path(executableDirectory()) / "resources").string()
                                : options.resourcesDirectory;
    p->documentsDirectory =
        options.documentsDirectory.empty() ? defaultDocumentsDirectory() : options.documentsDirectory;
    p->limits = options.limits;
    installPlatform(p);
    return p;
}

}  // namespace tevra::linux_platform
