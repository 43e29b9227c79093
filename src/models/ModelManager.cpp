#include "models/ModelManager.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base/Files.h"
#include "base/TextUtils.h"
#include "base/URL.h"
#include "platform/Log.h"
#include "platform/Platform.h"

namespace tevra {

namespace fs = std::filesystem;

const char* const kModelErrorDomain = "ModelError";
const char* const kModelInputErrorDomain = "TevraARWebGL.ModelInputError";

namespace {

// CPU and neural accelerator, no graphics processor.
constexpr int kComputeUnitsCPUAndNeuralEngine = 3;

constexpr const char* kCompiledModelExtension = ".mlmodelc";
constexpr const char* kIncomingExtension = ".incoming";
// A private unpack directory unchanged for this long belongs to no download
// in progress (one changes its directory within seconds).
constexpr std::chrono::seconds kStalePrivateDirectoryAge{3600};

// Every ending a name of the storage's own entries can have: NAME.zip,
// NAME.mlmodelc, NAME.mlmodelc.incoming, and the packages inside NAME/. A
// model name ending in one of them (in any letter case, for case-insensitive
// file systems) would name another model's entry.
constexpr const char* kStorageSuffixes[] = {".mlmodelc", ".mlpackage", ".zip", ".incoming"};

// A name as it stands in a log line: control characters escaped.
std::string shown(const std::string& name) { return escapedForLog(name); }

// Outside text (an error that may quote archive entries or a server, a
// location from a page) for a log line: escaped and cut.
std::string clipped(const std::string& text) { return clippedForLog(text, platform().limits.logTextMaxBytes); }

constexpr const char* kFileErrorDomain = kStorageFileErrorDomain;

// Only http and https locations are fetched: anything else (file://, ftp://,
// no scheme, no host) is refused like text that is no URL at all.
bool isDownloadableURL(const std::string& text) { return isWebURL(text); }

// The calling thread's printable form, e.g. "<Thread: 0x7f...>{tid = 4321, name = curl}".
std::string currentThreadDescription() {
    char name[64] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::ostringstream out;
    out << "<Thread: 0x" << std::hex << static_cast<unsigned long>(pthread_self()) << std::dec
        << ">{tid = " << ::gettid() << ", name = " << (name[0] ? name : "(null)") << "}";
    return out.str();
}

// The runtime compiles into a fresh temporary directory of its own
// ("tevra-compiled-XXXXXX"); once the compiled model has been moved out, that
// directory is empty and is removed too.
void removeEmptyCompileParent(const fs::path& compiled) {
    fs::path parent = compiled.parent_path();
    if (parent.filename().string().rfind("tevra-compiled-", 0) != 0) return;
    std::error_code ec;
    fs::remove(parent, ec);  // fails, harmlessly, unless it is empty
}

}  // namespace

Error makeModelError(long code, const std::string& description) { return Error{kModelErrorDomain, code, description}; }

Error makeModelInputError(ModelInputError e) {
    long code = static_cast<long>(e);
    return Error{
        kModelInputErrorDomain, code,
        "The operation couldn't be completed. (TevraARWebGL.ModelInputError error " + std::to_string(code) + ".)"};
}

std::optional<ModelInputError> modelInputErrorFrom(const Error& e) {
    if (e.domain != kModelInputErrorDomain) return std::nullopt;
    if (e.code == static_cast<long>(ModelInputError::missingInputDescription))
        return ModelInputError::missingInputDescription;
    if (e.code == static_cast<long>(ModelInputError::missingImageConstraint))
        return ModelInputError::missingImageConstraint;
    return std::nullopt;
}

std::shared_ptr<ModelManager> ModelManager::create() { return std::shared_ptr<ModelManager>(new ModelManager()); }

const std::shared_ptr<ModelManager>& ModelManager::shared() {
    // Created once, even when first reached from several threads at a time;
    // never destroyed, so threads still running at exit can use it.
    static const auto* instance = new std::shared_ptr<ModelManager>(create());
    return *instance;
}

bool ModelManager::isUsableModelName(const std::string& name) {
    // A leading "." also covers "." and "..", and keeps the name out of the
    // storage's private directories (".tevra-unpack-XXXXXX").
    if (name.empty() || name[0] == '.') return false;
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return false;
    for (const char* suffix : kStorageSuffixes)
        if (endsWithIgnoringCase(name, suffix)) return false;
    // The longest entry the name makes must fit in one file name.
    return name.size() + std::strlen(kCompiledModelExtension) + std::strlen(kIncomingExtension) <= NAME_MAX;
}

void ModelManager::logUnusableName(const std::string& name) {
    std::string shown = nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    logStdout("❌ Invalid model name: " + shown);
}

std::string ModelManager::localStoragePath(const std::string& name) {
    const std::string& documents = platform().documentsDirectory;
    if (documents.empty()) return {};
    return (fs::path(documents) / (name + kCompiledModelExtension)).string();
}

std::optional<Error> ModelManager::loadModel(const std::string& name) {
    {
        ReaderLock lock(mapsMutex_);
        if (models.count(name)) return std::nullopt;
    }

    std::string location;
    if (isUsableModelName(name)) {
        // The bundle always wins; local storage is looked at only without it.
        const std::string& resources = platform().resourcesDirectory;
        if (!resources.empty()) {
            fs::path p = fs::path(resources) / (name + kCompiledModelExtension);
            if (entryExists(p)) {
                location = p.string();
                logStdout("Found in bundle");
            }
        }
        if (location.empty()) {
            std::string stored = localStoragePath(name);
            if (!stored.empty() && entryExists(stored)) {
                location = stored;
                logStdout("Found in local storage");
            }
        }
    }
    if (location.empty()) return makeModelError(-1, "Model not found");

    std::shared_ptr<ModelRuntime> runtime = platform().models;
    if (!runtime) return Error{"TevraARWebGL.ModelRuntime", -1, "No model runtime is installed"};
    // The slow part: no lock is held here.
    auto opened = runtime->modelWithContentsOfURL(location, kComputeUnitsCPUAndNeuralEngine);
    if (!opened) return opened.error;
    if (!*opened) return Error{"TevraARWebGL.ModelRuntime", -1, "The model runtime returned no model"};

    {
        WriterLock lock(mapsMutex_);
        // A model is never replaced: when two threads opened the same name at
        // once, the first to register wins.
        models.try_emplace(name, *opened);
    }

    auto size = getInputImageSize(name);
    if (!size) return size.error;
    {
        WriterLock lock(mapsMutex_);
        inputSizes.insert_or_assign(name, *size);
    }
    logStdout("Model loaded: " + shown(name) + " size (" + std::to_string(size->first) + ", " +
              std::to_string(size->second) + ")");
    return std::nullopt;
}

bool ModelManager::isModelLoaded(const std::string& name) {
    ReaderLock lock(mapsMutex_);
    return models.count(name) != 0;
}

Expected<std::shared_ptr<Model>> ModelManager::getModel(const std::string& name) {
    ReaderLock lock(mapsMutex_);
    auto it = models.find(name);
    if (it == models.end()) return Expected<std::shared_ptr<Model>>::fail(makeModelError(-2, "Model not loaded"));
    return Expected<std::shared_ptr<Model>>::ok(it->second);
}

Expected<ModelInputSize> ModelManager::getInputImageSize(const std::string& name) {
    std::shared_ptr<Model> model;
    {
        ReaderLock lock(mapsMutex_);
        auto cached = inputSizes.find(name);
        if (cached != inputSizes.end()) return Expected<ModelInputSize>::ok(cached->second);
        auto it = models.find(name);
        if (it != models.end()) model = it->second;
    }
    if (!model) return Expected<ModelInputSize>::fail(makeModelError(-2, "Model not loaded"));

    // Asking the model for its inputs may take a while; done outside the lock.
    for (const FeatureDescription& input : model->inputDescriptions()) {
        if (!input.imageConstraint) continue;
        const ImageConstraint& c = *input.imageConstraint;
        logStdout("Image input: " + input.name);
        logStdout("Pixel format: " + std::to_string(c.pixelFormatType));
        logStdout("Width: " + std::to_string(c.pixelsWide));
        logStdout("Height: " + std::to_string(c.pixelsHigh));
        ModelInputSize size{c.pixelsWide, c.pixelsHigh};
        {
            WriterLock lock(mapsMutex_);
            inputSizes.insert_or_assign(name, size);
        }
        return Expected<ModelInputSize>::ok(size);
    }
    return Expected<ModelInputSize>::fail(makeModelInputError(ModelInputError::missingImageConstraint));
}

bool ModelManager::loadModelWithNamed(const std::string& name, Error* error) {
    auto failure = loadModel(name);
    if (failure && error) *error = *failure;
    return !failure;
}

std::shared_ptr<Model> ModelManager::getModelWithNamed(const std::string& name, Error* error) {
    auto model = getModel(name);
    if (!model) {
        if (error) *error = model.error;
        return nullptr;
    }
    return *model;
}

// ---- Download side ----

void ModelManager::ensureModelReady(const std::string& name, const std::string& url, Completion completion) {
    ensureModelReadyWithName(name, url, std::move(completion), nullptr);
}

void ModelManager::ensureModelReadyWithName(const std::string& name, const std::string& url, Completion completion,
                                            std::function<void()> downloadStarted) {
    if (!completion) completion = [](bool) {};
    // A name that is no plain file name would reach outside the storage
    // directory: refused before anything looks at the disk.
    if (!isUsableModelName(name)) {
        logUnusableName(name);
        completion(false);
        return;
    }
    bool loaded = false;
    {
        RecursiveMutexLock lock(monitor_);
        loaded = isModelLoaded(name);
        if (!loaded && downloadingModels.count(name)) {
            pendingCompletions[name].push_back(std::move(completion));
            return;
        }
    }
    if (loaded) {
        completion(true);
        return;
    }

    // The local lookup, outside the lock; it is not recorded, so two callers
    // may both try it. The re-check below lets only one of them download.
    if (!loadModel(name)) {
        finish(name, true);
        completion(true);
        return;
    }
    logStdout("Model " + shown(name) + " not found → downloading...");
    {
        RecursiveMutexLock lock(monitor_);
        if (isModelLoaded(name)) {
            lock.unlock();
            completion(true);
            return;
        }
        if (downloadingModels.count(name)) {
            pendingCompletions[name].push_back(std::move(completion));
            return;
        }
        downloadingModels.insert(name);
        pendingCompletions[name] = std::vector<Completion>{std::move(completion)};
    }

    if (downloadStarted) downloadStarted();
    // The download's completion must not keep the registry alive.
    std::weak_ptr<ModelManager> weakSelf = weak_from_this();
    downloadModel(name, url, [weakSelf, name](bool success) {
        std::shared_ptr<ModelManager> self = weakSelf.lock();
        if (!self) return;
        if (!success) {
            self->finish(name, false);
            return;
        }
        if (auto failure = self->loadModel(name)) {
            logStdout("Still failed after download: " + clipped(failure->localizedDescription));
            self->finish(name, false);
            return;
        }
        self->finish(name, true);
    });
}

void ModelManager::finish(const std::string& name, bool success) {
    std::vector<Completion> waiting;
    {
        RecursiveMutexLock lock(monitor_);
        downloadingModels.erase(name);
        auto it = pendingCompletions.find(name);
        if (it != pendingCompletions.end()) {
            waiting = std::move(it->second);
            pendingCompletions.erase(it);
        }
    }
    if (waiting.empty()) return;
    logStdout("[Thread:" + currentThreadDescription() + "] finish: " + shown(name) + " success: " +
              (success ? "true" : "false") + ", calling " + std::to_string(waiting.size()) + " completions");
    for (Completion& c : waiting)
        if (c) c(success);
}

void ModelManager::downloadModel(const std::string& name, const std::string& urlString, Completion completion) {
    if (!completion) completion = [](bool) {};
    if (!isUsableModelName(name)) {
        logUnusableName(name);
        completion(false);
        return;
    }
    if (!isDownloadableURL(urlString)) {
        logStdout("❌ Invalid URL for model " + shown(name) + ": " + clipped(urlString));
        completion(false);
        return;
    }
    logStdout("Downloading " + shown(name) + " from " + clipped(urlString));

    std::shared_ptr<HttpClient> http = platform().http;
    if (!http) {
        logStdout("Download failed for " + shown(name) + ": No HTTP client is installed");
        completion(false);
        return;
    }
    // The handler keeps only the name and the completion.
    http->downloadTask(
        urlString, [name, completion = std::move(completion)](std::optional<std::string> tempFile,
                                                              std::optional<HttpResponse>, std::optional<Error> error) {
            if (!tempFile || error) {
                logStdout("Download failed for " + shown(name) + ": " +
                          (error ? clipped(error->localizedDescription) : std::string()));
                completion(false);
                return;
            }
            completion(prepareDownloadedArchive(name, *tempFile));
        });
}

bool ModelManager::prepareDownloadedArchive(const std::string& name, const std::string& tempFile) {
    auto failed = [&](const Error& e) {
        logStdout("Model processing failed for " + shown(name) + ": " + clipped(e.localizedDescription));
        return false;
    };
    const std::string& documents = platform().documentsDirectory;
    if (documents.empty()) return failed(Error{kFileErrorDomain, ENOENT, "There is no documents directory"});
    const fs::path storage(documents);
    std::error_code ec;
    fs::create_directories(storage, ec);
    if (ec) return failed(fileError("Could not create " + storage.string(), ec));

    // What a process killed in the middle of an unpack left behind.
    removeStalePrivateDirectories(storage.string(), kStalePrivateDirectoryAge);

    // The archive is moved into a fresh private directory and unpacked there,
    // so nothing it holds can land on an entry of this or another model, and
    // one removal takes everything away again when a step fails.
    auto work = makePrivateDirectory(storage.string());
    if (!work) return failed(work.error);
    const fs::path workDir(*work);
    auto discardWork = [&] { removeTree(workDir.string()); };
    const fs::path workArchive = workDir / "archive.zip";
    const fs::path unpacked = workDir / "unpacked";
    if (auto done = moveItem(tempFile, workArchive); !done) return discardWork(), failed(done.error);

    std::shared_ptr<Archive> archive = platform().archive;
    if (!archive)
        return discardWork(),
               failed(Error{kArchiveErrorDomain, kArchiveErrorUnreadable, "No archive service is installed"});
    if (auto e = archive->unzipItem(workArchive.string(), unpacked.string())) return discardWork(), failed(*e);

    // The first top-level entry named *.mlpackage, in name order (a fixed
    // order, whatever the file system lists first).
    std::vector<std::string> entries;
    for (fs::directory_iterator it(unpacked, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path().filename().string());
    if (ec) return discardWork(), failed(fileError("Could not list the unpacked archive", ec));
    std::sort(entries.begin(), entries.end());
    auto package = std::find_if(entries.begin(), entries.end(),
                                [](const std::string& n) { return fs::path(n).extension() == ".mlpackage"; });
    if (package == entries.end()) {
        discardWork();
        logStdout("No .mlpackage found for " + shown(name));
        return false;
    }

    // The stored layout: NAME.zip and NAME/ take the places of the earlier
    // ones (renames inside the documents directory). From here on a failure
    // removes them; an earlier NAME.mlmodelc stays until the new one is in.
    const fs::path archivePath = storage / (name + ".zip");
    const fs::path extraction = storage / name;
    auto discardStored = [&] {
        removeTree(archivePath.string());
        removeTree(extraction.string());
    };
    for (const fs::path& earlier : {archivePath, extraction})
        if (auto done = removeItem(earlier); !done) return discardWork(), failed(done.error);
    if (auto done = moveItem(unpacked, extraction); !done) return discardWork(), discardStored(), failed(done.error);
    if (auto done = moveItem(workArchive, archivePath); !done)
        return discardWork(), discardStored(), failed(done.error);
    discardWork();

    std::shared_ptr<ModelRuntime> runtime = platform().models;
    if (!runtime)
        return discardStored(), failed(Error{"TevraARWebGL.ModelRuntime", -1, "No model runtime is installed"});
    auto compiled = runtime->compileModelAtURL((extraction / *package).string());
    if (!compiled) return discardStored(), failed(compiled.error);

    // The compiled model first moves in beside its destination: when the
    // runtime compiled on another file system that is a copy, which fails on
    // a full disk. Only once it is in place is the earlier compiled model
    // replaced, by a rename that needs no space, so a failure up to here
    // leaves the earlier model usable.
    const fs::path destination = storage / (name + kCompiledModelExtension);
    const fs::path incoming = storage / (name + kCompiledModelExtension + kIncomingExtension);
    auto discardCompiled = [&] {
        removeTree(*compiled);
        removeEmptyCompileParent(*compiled);
        removeTree(incoming.string());
        discardStored();
    };
    if (auto done = removeItem(incoming); !done) return discardCompiled(), failed(done.error);
    if (auto done = moveItem(*compiled, incoming); !done) return discardCompiled(), failed(done.error);
    removeEmptyCompileParent(*compiled);
    if (auto done = replaceItem(incoming, destination); !done) return discardCompiled(), failed(done.error);

    logStdout("Model ready: " + shown(name));
    return true;
}

}  // namespace tevra
