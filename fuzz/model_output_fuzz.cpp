// Fuzzes what the detection models say about themselves and what they answer:
// input descriptions (names, image sizes, pixel formats) through the model
// registry, and output arrays of any shape and content through the decoders
// (getDetections, filterBySize, digitRead) and the whole detectFloor chain on
// camera frames of any size, format and rotation.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"

namespace fs = std::filesystem;
using namespace tevra;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// A model whose description and answers the fuzzer sets for each input.
class FuzzModel : public Model {
public:
    std::vector<FeatureDescription> inputDescriptions() const override {
        std::lock_guard<std::mutex> lock(mutex);
        return inputs;
    }
    Expected<FeatureMap> predictionFromFeatures(const FeatureMap&) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (error) return Expected<FeatureMap>::fail(*error);
        return Expected<FeatureMap>::ok(outputs);
    }
    mutable std::mutex mutex;
    std::vector<FeatureDescription> inputs;
    FeatureMap outputs;
    std::optional<Error> error;
};

const uint32_t kFormats[] = {kCVPixelFormatType_32ARGB,
                             kCVPixelFormatType_32BGRA,
                             kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
                             kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
                             kCVPixelFormatType_OneComponent8,
                             0};
// Image sizes a model may declare; small ones keep the runs fast.
const long kSizes[] = {-1, 0, 1, 2, 3, 11, 12, 13, 32, 64};

float number(FuzzedDataProvider& in) {
    static const float special[] = {0.0f,
                                    -0.0f,
                                    0.5f,
                                    1.0f,
                                    -1.0f,
                                    2.0f,
                                    1e-7f,
                                    1e30f,
                                    -1e30f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::max(),
                                    std::numeric_limits<float>::denorm_min()};
    if (in.ConsumeBool()) return in.PickValueInArray(special);
    return in.ConsumeFloatingPointInRange<float>(-2.0f, 2.0f);
}

// An output feature: usually a multi-array of rank 0-3 whose data matches its
// shape, sometimes a feature of another type.
FeatureValue output(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return FeatureValue{};
        case 1:
            return FeatureValue::withPixelBuffer(PixelBufferRef());
        default:
            break;
    }
    std::vector<long> shape(in.ConsumeIntegralInRange<size_t>(0, 3));
    size_t count = 1;
    for (long& d : shape) {
        d = in.ConsumeIntegralInRange<long>(0, 12);
        count *= static_cast<size_t>(d);
    }
    std::vector<float> data(count);
    for (float& v : data) v = number(in);
    return FeatureValue::withMultiArray(std::make_shared<MultiArray>(std::move(shape), std::move(data)));
}

FeatureMap outputs(FuzzedDataProvider& in) {
    FeatureMap out;
    static const char* const names[] = {"coordinates", "confidence", "var_1"};
    for (const char* name : names)
        if (in.ConsumeIntegralInRange<int>(0, 5) != 0) out[name] = output(in);
    return out;
}

struct Env {
    std::shared_ptr<fake::FakePlatform> fake = fake::FakePlatform::install();
    std::shared_ptr<fake::FakeModelRuntime> runtime = std::make_shared<fake::FakeModelRuntime>();
    fs::path root = fs::temp_directory_path() / ("tevra-model-fuzz-" + std::to_string(::getpid()));
    std::map<std::string, std::shared_ptr<FuzzModel>> shared;

    Env() {
        fake->platform->models = runtime;
        fs::create_directories(root);
        fake->platform->resourcesDirectory = root.string();
        fake->platform->documentsDirectory = "";
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path() / ("tevra-model-fuzz-" + std::to_string(::getpid())), ec);
        });
    }

    std::shared_ptr<FuzzModel> registerAt(const std::string& name) {
        auto model = std::make_shared<FuzzModel>();
        fs::create_directories(root / (name + ".mlmodelc"));
        runtime->registerModel((root / (name + ".mlmodelc")).string(), model);
        return model;
    }

    // A model in the shared registry (which never forgets a model, so each
    // declared input gets its own name; there are few of them).
    std::shared_ptr<FuzzModel> sharedModel(FuzzedDataProvider& in) {
        FeatureDescription d;
        d.name = in.ConsumeBool() ? "image" : "input";
        if (in.ConsumeIntegralInRange<int>(0, 7) != 0)
            d.imageConstraint = ImageConstraint{in.PickValueInArray(kSizes), in.PickValueInArray(kSizes),
                                                in.PickValueInArray(kFormats)};
        std::string name = "m_" + d.name +
                           (d.imageConstraint ? "_" + std::to_string(d.imageConstraint->pixelsWide) + "x" +
                                                    std::to_string(d.imageConstraint->pixelsHigh) + "_" +
                                                    std::to_string(d.imageConstraint->pixelFormatType)
                                              : std::string("_none"));
        auto it = shared.find(name);
        if (it != shared.end()) return it->second;
        auto model = registerAt(name);
        model->inputs = {d};
        ModelManager::shared()->loadModel(name);
        shared[name] = model;
        names[model.get()] = name;
        return model;
    }
    std::map<const FuzzModel*, std::string> names;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Env* env = new Env();
    FuzzedDataProvider in(data, size);

    // 1. A description of any shape through a fresh registry.
    {
        auto model = env->registerAt("described");
        size_t n = in.ConsumeIntegralInRange<size_t>(0, 3);
        for (size_t i = 0; i < n; ++i) {
            FeatureDescription d;
            d.name = in.ConsumeBool() ? "image" : in.ConsumeRandomLengthString(8);
            if (in.ConsumeBool())
                d.imageConstraint = ImageConstraint{in.ConsumeIntegral<long>(), in.ConsumeIntegral<long>(),
                                                    in.ConsumeIntegral<uint32_t>()};
            model->inputs.push_back(d);
        }
        auto registry = ModelManager::create();
        // A model without an image input loads with an error but stays registered.
        (void)registry->loadModel("described");
        if (!registry->isModelLoaded("described")) fail("an opened model was not registered");
        auto size1 = registry->getInputImageSize("described");
        auto size2 = registry->getInputImageSize("described");
        if (static_cast<bool>(size1) != static_cast<bool>(size2) || (size1 && *size1 != *size2))
            fail("the cached input size differs from the first answer");
    }

    // 2. Both models' answers through the decoders and the whole chain.
    auto sign = env->sharedModel(in);
    auto digit = env->sharedModel(in);
    sign->outputs = outputs(in);
    digit->outputs = outputs(in);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        sign->error = Error{"Fuzz", 1, "no prediction"};
    else
        sign->error.reset();
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        digit->error = Error{"Fuzz", 2, "no prediction"};
    else
        digit->error.reset();
    const float signThreshold = number(in);
    const float digitThreshold = number(in);
    const size_t width = in.ConsumeIntegralInRange<size_t>(1, 96);
    const size_t height = in.ConsumeIntegralInRange<size_t>(1, 96);
    const uint32_t format = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? in.PickValueInArray(kFormats)
                                                                      : kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
    const int32_t rotation = in.ConsumeIntegralInRange<int32_t>(-1, 4);
    const std::string text = in.ConsumeRemainingBytesAsString();

    auto frame = PixelBuffer::create(width, height, format);
    if (!frame) return 0;

    if (auto detections = getDetections(sign->outputs)) {
        auto upright = PixelBuffer::create(width, height, kCVPixelFormatType_32ARGB);
        if (auto boxes = filterBySize(*detections->first, *detections->second, signThreshold, *upright))
            for (const Detection& d : *boxes)
                if (!(d.confidence >= signThreshold)) fail("a sign below the threshold was kept");
    }
    (void)digitRead(digit->outputs, digitThreshold);
    int32_t textFloor = floorFromDigitText(text);
    if (textFloor != -1 && (textFloor < 1 || textFloor > 7)) fail("a floor outside 1-7 was read from text");

    const long refs = frame->retainCount();
    int32_t floor = detectFloor(env->names[sign.get()].c_str(), signThreshold, env->names[digit.get()].c_str(),
                                digitThreshold, frame.get(), rotation);
    if (floor != -1 && (floor < 1 || floor > 7)) fail("detectFloor answered a floor outside 1-7");
    if (frame->retainCount() != refs) fail("detectFloor kept or dropped a reference to the frame");
    env->fake->log->clear();
    return 0;
}
