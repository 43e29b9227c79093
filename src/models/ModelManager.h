// The process-wide registry of detection models.
//
// In: model names (plain text, e.g. "yolo26n_sign_640"). A name is looked up
// as NAME.mlmodelc first in the resources directory (the application's
// bundle), then in the documents directory (local storage); the first hit is
// opened with the platform's model runtime and kept for the rest of the
// process. Out: the loaded model handle and the (width, height) of its image
// input, e.g. a model declaring a 640 x 480 image input answers (640, 480).
// Fails with: ModelError -1 "Model not found", -2 "Model not loaded", the
// runtime's own error, or ModelInputError::missingImageConstraint (the model
// then stays registered). Lines go to standard output: "Found in bundle",
// "Found in local storage", "Image input: image", "Pixel format: 32",
// "Width: 640", "Height: 480", "Model loaded: NAME size (640, 480)".
//
// Threads: every operation may be called from any thread. The registry maps
// (`models`, `inputSizes`) have their own reader/writer lock, held only for
// map lookups and inserts; the recursive monitor guards the download
// bookkeeping (`downloadingModels`, `pendingCompletions`). No lock is held
// while a model is opened, compiled or downloaded, or while a completion runs.
//
// Download side (ensureModelReady / downloadModel): a model found nowhere is
// fetched as a ZIP archive from an http(s) location into a temporary file,
// which is moved (renamed; copied and deleted only across file systems) into
// a fresh private directory DOCUMENTS/.tevra-unpack-XXXXXX (mode 0700) and
// unpacked there. Once a top-level *.mlpackage is found, the archive and the
// unpacked tree take the places of DOCUMENTS/NAME.zip and DOCUMENTS/NAME/,
// the package is compiled by the runtime and moved to DOCUMENTS/NAME.mlmodelc,
// where the lookup above finds it. The compiled model is first moved in as
// DOCUMENTS/NAME.mlmodelc.incoming and only then exchanged with the earlier
// one, so a failure before that (a full disk) leaves an earlier compiled
// model in place. Any failure after the download removes the archive and the
// unpacked tree again (nothing of a failed attempt stays on disk; private
// directories an hour old, left by a killed process, go too); removal
// never follows links and needs no descriptor per directory level. However
// many callers ask for one name during its download, one download runs and
// every caller gets exactly one answer, in the order they asked. Lines
// (standard output; names and outside text with control characters escaped,
// outside text cut at Limits::logTextMaxBytes): "Model NAME not found →
// downloading...", "Downloading NAME from URL", "Download failed for NAME:
// ...", "No .mlpackage found for NAME", "Model processing failed for NAME:
// ...", "Model ready: NAME", "Still failed after download: ...", "[Thread:...]
// finish: NAME success: true, calling 3 completions", "❌ Invalid URL for
// model NAME: URL", and for a name that is no usable model name (see
// isUsableModelName) "❌ Invalid model name: \"a/b\"" (nothing touches the
// disk then). Completions after a download run on the HTTP client's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"
#include "platform/ModelRuntime.h"
#include "base/ThreadAnnotations.h"

namespace tevra {

// Errors of model-input inspection; comparable and hashable by case.
enum class ModelInputError : long {
    missingInputDescription = 0,
    missingImageConstraint = 1,
};

// Domain of the registry's own errors.
extern const char* const kModelErrorDomain;  // "ModelError"
// Domain under which a ModelInputError travels as an Error (code = its case).
extern const char* const kModelInputErrorDomain;  // "TevraARWebGL.ModelInputError"

Error makeModelError(long code, const std::string& description);
Error makeModelInputError(ModelInputError e);
// The ModelInputError an Error stands for, if it stands for one.
std::optional<ModelInputError> modelInputErrorFrom(const Error& e);

// A model's image-input size: (width, height) in pixels.
using ModelInputSize = std::pair<long, long>;

class ModelManager : public std::enable_shared_from_this<ModelManager> {
public:
    using Completion = std::function<void(bool)>;

    // The shared registry, created on first use (thread-safely) and kept for
    // the life of the process.
    static const std::shared_ptr<ModelManager>& shared();

    // A separate, empty registry. The library only ever uses `shared()`;
    // tests build their own to start from a clean state. Always owned by a
    // shared_ptr: a download in flight holds it weakly and ends quietly once
    // the last owner lets go.
    static std::shared_ptr<ModelManager> create();

    virtual ~ModelManager() = default;
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    // Loads NAME.mlmodelc (bundle first, then local storage) unless already
    // loaded, registers it and caches its input size. Returns no error on
    // success. Runs the (slow) open outside every lock; any thread.
    virtual std::optional<Error> loadModel(const std::string& name);
    // Downloads, unpacks and compiles NAME into local storage (it does not
    // load it). The completion gets true once DOCUMENTS/NAME.mlmodelc is in
    // place, false otherwise; exactly once: on the calling thread for a bad
    // name or location, else on the HTTP client's thread.
    virtual void downloadModel(const std::string& name, const std::string& urlString, Completion completion);
    // True exactly when `name` is registered. Any thread; never loads.
    virtual bool isModelLoaded(const std::string& name);
    // Makes NAME loaded: at once when it is, by the local lookup when that
    // finds it, else by one shared download from `url`. The completion gets
    // true when getModel(NAME) will answer, exactly once.
    virtual void ensureModelReady(const std::string& name, const std::string& url, Completion completion);
    // The registered model, or ModelError -2 "Model not loaded". Never loads.
    virtual Expected<std::shared_ptr<Model>> getModel(const std::string& name);
    // The model's image-input size (cached after the first answer), or
    // ModelError -2, or ModelInputError::missingImageConstraint.
    virtual Expected<ModelInputSize> getInputImageSize(const std::string& name);

    // Message forms: false / null on failure, the error stored through
    // `error` when it is given.
    bool loadModelWithNamed(const std::string& name, Error* error);
    std::shared_ptr<Model> getModelWithNamed(const std::string& name, Error* error);
    void ensureModelReadyWithName(const std::string& name, const std::string& url, Completion completion) {
        ensureModelReady(name, url, std::move(completion));
    }
    // As ensureModelReady; `downloadStarted` runs (on the calling thread,
    // before the completion) when this call starts a download, and not when
    // the model is loaded, found locally or already being downloaded.
    void ensureModelReadyWithName(const std::string& name, const std::string& url, Completion completion,
                                  std::function<void()> downloadStarted);
    void downloadModelWithNamed(const std::string& name, const std::string& urlString, Completion completion) {
        downloadModel(name, urlString, std::move(completion));
    }

    // Whether `name` can be used as a model name: not empty, no leading "."
    // (so not "." or "..", nor a private unpack directory), no '/' and no
    // NUL, no ending the storage's own entries have (".mlmodelc",
    // ".mlpackage", ".zip", ".incoming", in any letter case: "victim.mlmodelc"
    // would name the model victim's compiled files), and at most 237 bytes
    // (NAME.mlmodelc.incoming must fit in one file name). Other names are
    // never looked up (they would reach outside the directories or into
    // another model's entries).
    static bool isUsableModelName(const std::string& name);

protected:
    ModelManager() = default;

private:
    // Ends NAME's download: removes it from the bookkeeping and calls every
    // waiting completion, in order, with `success`, outside the lock.
    virtual void finish(const std::string& name, bool success);
    // Steps after the archive arrived: move, unpack, find, compile, store.
    // Returns true when the compiled model is in place; logs every failure.
    static bool prepareDownloadedArchive(const std::string& name, const std::string& tempFile);
    // Logs the refusal of a name that is no plain file name.
    static void logUnusableName(const std::string& name);

    // Where NAME.mlmodelc would live in local storage, or "" when there is no
    // documents directory.
    static std::string localStoragePath(const std::string& name);

    // Recursive monitor on the manager: guards the download bookkeeping.
    RecursiveMutex monitor_;
    // Guards `models` and `inputSizes`. Held only for lookups and inserts.
    mutable SharedMutex mapsMutex_;

    // State, in declaration order.
    std::map<std::string, std::shared_ptr<Model>> models TEVRA_GUARDED_BY(mapsMutex_);
    std::map<std::string, ModelInputSize> inputSizes TEVRA_GUARDED_BY(mapsMutex_);
    std::shared_ptr<Model> loadedModel;          // unused; kept for the record layout
    std::optional<std::string> loadedModelName;  // unused; kept for the record layout
    std::set<std::string> downloadingModels TEVRA_GUARDED_BY(monitor_);
    std::map<std::string, std::vector<Completion>> pendingCompletions TEVRA_GUARDED_BY(monitor_);
    ModelInputSize imgsz{0, 0};  // unused; kept for the record layout
};

}  // namespace tevra
