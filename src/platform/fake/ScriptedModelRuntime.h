// A model runtime whose models answer what a script says, so the detection
// decoding (best sign box, digits left to right, the floor rule) can be driven
// without building a model file per case.
//
// In: per model name, the answer every prediction gives: boxes as the
// detection decoder reads them (centre x, centre y, width, height as fractions
// of the model's input), each with a confidence and a class, or a prediction
// error; and the size of the model's one image input "image".
// Out: opening a compiled directory whose last component is NAME.mlmodelc
// (wherever it lies) for a scripted NAME gives a model that answers
// "coordinates" (n x 4) and "confidence" (n x (highest class + 1), the box's
// confidence in its class's column, 0 elsewhere). The answer is read at each
// prediction, so scripting a name again changes what an already loaded model
// says; the input size is read when the registry first asks (it caches it).
// Every other open, and every compile, goes to the fallback runtime (an
// error when there is none).
// Example: "replay_digit" scripted with boxes (0.8, 0.5, 0.1, 0.6) class 8
// conf 0.9 and (0.2, 0.5, 0.1, 0.6) class 3 conf 0.9 answers coordinates
// [[0.8,0.5,0.1,0.6],[0.2,0.5,0.1,0.6]] and a 2 x 9 confidence array with
// 0.9 at (0, 8) and (1, 3); the decoder reads "38".
// Fails: a scripted failure answers Error{"com.tevra.scriptedmodel", 1, text}.
//
// Threads: every method is safe from any thread; the observer runs on the
// predicting thread, outside the runtime's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ModelRuntime.h"
#include "base/ThreadAnnotations.h"

namespace tevra::fake {

struct ScriptedBox {
    float x = 0, y = 0, w = 0, h = 0;
    float confidence = 0;
    int32_t classId = 0;
};

struct ScriptedAnswer {
    long inputWidth = 128;
    long inputHeight = 128;
    std::vector<ScriptedBox> boxes;
    // When set, every prediction fails with this text instead.
    std::optional<std::string> failure;
};

class ScriptedModelRuntime : public ModelRuntime {
public:
    // Called for every prediction of a scripted model: its name, the size of
    // the image it was fed (0 x 0 when none) and the answer it gives.
    using Observer = std::function<void(const std::string& name, size_t width, size_t height, const ScriptedAnswer&)>;

    explicit ScriptedModelRuntime(std::shared_ptr<ModelRuntime> fallback = nullptr);

    // NAME's models answer `answer` from now on (replacing an earlier one).
    void script(const std::string& name, ScriptedAnswer answer);
    // The scripted names, in order.
    std::vector<std::string> scriptedNames() const;
    void setFallback(std::shared_ptr<ModelRuntime> fallback);
    void setObserver(Observer observer);

    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir, int computeUnits) override;
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override;

    // The outputs a prediction answers with.
    static FeatureMap outputsFor(const ScriptedAnswer& answer);

    // Shared with the models handed out, which may outlive the runtime.
    struct State {
        mutable Mutex mutex;
        std::map<std::string, ScriptedAnswer> answers TEVRA_GUARDED_BY(mutex);
        Observer observer TEVRA_GUARDED_BY(mutex);
    };

private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
    mutable Mutex fallbackMutex_;
    std::shared_ptr<ModelRuntime> fallback_;
};

}  // namespace tevra::fake
