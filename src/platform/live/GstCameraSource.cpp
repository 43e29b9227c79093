// Camera sources on GStreamer. One pipeline per started source:
//
//   source [! queue (leaky, one image; live sources)] ! videoconvert [! videoscale]
//       ! appsink (NV12, BT.601)
//
// The appsink's new-sample callback runs on the streaming thread, copies the
// NV12 planes into a "420f" PixelBuffer (expanding video range to full range)
// and calls the sample handler. A bus thread of our own turns errors and the
// end of a stream into one lost call, or seeks a looping file back to its start
// (an image sequence loops by itself).
#include "platform/live/GstCameraSource.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cctype>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

#include "base/ThreadAnnotations.h"

namespace tevra::live {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(5);
constexpr GstClockTime kBusPoll = 50 * GST_MSECOND;
constexpr size_t kMaxLine = 300;

bool initGstreamer(std::string& error) {
    static std::once_flag once;
    static bool ok = false;
    static std::string why;
    std::call_once(once, [] {
        GError* err = nullptr;
        ok = gst_init_check(nullptr, nullptr, &err);
        if (!ok) why = err && err->message ? err->message : "unknown reason";
        g_clear_error(&err);
    });
    if (!ok) error = "GStreamer did not start: " + why;
    return ok;
}

// Text from a device, a file or a plugin as one printable line of bounded length.
std::string oneLine(std::string_view text) {
    std::string line;
    for (char c : text) {
        if (line.size() >= kMaxLine) {
            line += "...";
            break;
        }
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line.empty() ? "unknown error" : line;
}

std::string messageText(GstMessage* msg) {
    GError* err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    std::string text = oneLine(err && err->message ? err->message : "");
    g_clear_error(&err);
    return text;
}

// Video range (luma 16-235, chroma 16-240) to full range, rounded and clamped.
struct RangeTables {
    std::array<uint8_t, 256> luma{}, chroma{};
};

const RangeTables& videoToFullRange() {
    static const RangeTables tables = [] {
        RangeTables t;
        for (int i = 0; i < 256; ++i) {
            t.luma[i] = static_cast<uint8_t>(std::clamp(std::lround((i - 16) * 255.0 / 219.0), 0L, 255L));
            t.chroma[i] = static_cast<uint8_t>(std::clamp(std::lround((i - 128) * 255.0 / 224.0 + 128.0), 0L, 255L));
        }
        return t;
    }();
    return tables;
}

enum class Kind { Webcam, File, Sequence, Test };

class GstCameraSource final : public CameraSource {
public:
    GstCameraSource(std::string text, Kind kind, std::string path, std::string decoder,
                    const CameraSourceOptions& options)
        : text_(std::move(text)),
          kind_(kind),
          path_(std::move(path)),
          decoder_(std::move(decoder)),
          options_(options) {}
    ~GstCameraSource() override { stop(); }

    bool start(SampleHandler onSample, LostHandler onLost, std::string& error) override;
    void stop() override;
    std::string description() const override { return text_; }

private:
    bool live() const { return kind_ == Kind::Webcam || kind_ == Kind::Test; }
    std::string prefix() const { return "camera " + oneLine(text_) + ": "; }
    GstElement* buildPipeline(std::string& error);
    bool waitUntilPlaying(GstElement* pipeline, std::string& why);
    static GstFlowReturn onNewSample(GstAppSink* sink, gpointer self);
    static void onPadAdded(GstElement* decoder, GstPad* pad, gpointer convert);
    void deliver(GstSample* sample);
    void watchBus();
    void reportLost(const std::string& reason);

    const std::string text_;
    const Kind kind_;
    const std::string path_;     // device or file
    const std::string decoder_;  // image sequences: pngdec or jpegdec
    const CameraSourceOptions options_;

    // Set by start() before the bus thread starts and cleared by stop() after it ended.
    GstElement* pipeline_ = nullptr;
    std::thread busThread_;
    std::atomic<bool> busQuit_{false};

    Mutex mutex_;
    SampleHandler onSample_ TEVRA_GUARDED_BY(mutex_);
    LostHandler onLost_ TEVRA_GUARDED_BY(mutex_);
    bool delivering_ TEVRA_GUARDED_BY(mutex_) = false;
    double offset_ TEVRA_GUARDED_BY(mutex_) = 0;  // added to the times of a file after it looped
    double last_ TEVRA_GUARDED_BY(mutex_) = -1;   // the last time delivered
};

GstElement* GstCameraSource::buildPipeline(std::string& error) {
    GstElement* pipeline = gst_pipeline_new("camera");
    std::string missing;
    auto make = [&](const char* factory) {
        GstElement* e = gst_element_factory_make(factory, nullptr);
        if (!e) {
            if (missing.empty()) missing = factory;
            return e;
        }
        gst_bin_add(GST_BIN(pipeline), e);
        return e;
    };
    const int fps = std::max(1, options_.framesPerSecond);
    std::vector<GstElement*> chain;  // linked in order; a file's decoder links by pad-added
    GstElement* uriDecoder = nullptr;
    switch (kind_) {
        case Kind::Test: {
            GstElement* src = make("videotestsrc");
            GstElement* filter = make("capsfilter");
            if (src && filter) {
                g_object_set(src, "is-live", TRUE, nullptr);
                GstCaps* caps = gst_caps_new_simple("video/x-raw", "framerate", GST_TYPE_FRACTION, fps, 1, nullptr);
                g_object_set(filter, "caps", caps, nullptr);
                gst_caps_unref(caps);
            }
            chain = {src, filter};
            break;
        }
        case Kind::Webcam: {
            GstElement* src = make("v4l2src");
            if (src) g_object_set(src, "device", path_.c_str(), nullptr);
            chain = {src};
            break;
        }
        case Kind::Sequence: {
            GstElement* src = make("multifilesrc");
            GstElement* dec = make(decoder_.c_str());
            if (src) {
                GstCaps* caps = gst_caps_new_simple(decoder_ == "pngdec" ? "image/png" : "image/jpeg", "framerate",
                                                    GST_TYPE_FRACTION, fps, 1, nullptr);
                // multifilesrc cannot seek: a looping sequence wraps to its first image by itself.
                g_object_set(src, "location", path_.c_str(), "index", 0, "caps", caps, "loop",
                             options_.loop ? TRUE : FALSE, nullptr);
                gst_caps_unref(caps);
            }
            chain = {src, dec};
            break;
        }
        case Kind::File: {
            uriDecoder = make("uridecodebin");
            if (uriDecoder) {
                GError* err = nullptr;
                gchar* uri = gst_filename_to_uri(path_.c_str(), &err);
                if (!uri) {
                    error = prefix() + oneLine(err && err->message ? err->message : "not a file name");
                    g_clear_error(&err);
                    gst_object_unref(pipeline);
                    return nullptr;
                }
                g_object_set(uriDecoder, "uri", uri, nullptr);
                g_free(uri);
            }
            break;
        }
    }
    if (live()) {
        // The source runs ahead of a slow consumer; only the newest image waits.
        GstElement* queue = make("queue");
        if (queue) {
            g_object_set(queue, "max-size-buffers", 1u, "max-size-bytes", 0u, "max-size-time", guint64{0}, nullptr);
            gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
        }
        chain.push_back(queue);
    }
    GstElement* convert = make("videoconvert");
    chain.push_back(convert);
    const bool scale = options_.width > 0 || options_.height > 0;
    if (scale) chain.push_back(make("videoscale"));
    GstElement* sink = make("appsink");
    chain.push_back(sink);
    if (!missing.empty()) {
        error = prefix() + "the GStreamer element " + missing + " is not installed";
        gst_object_unref(pipeline);
        return nullptr;
    }

    // BT.601 only: left free, videoconvert would pick BT.709 for images of
    // more than 576 rows. Video range first, so that what is already BT.601
    // passes through unconverted and is expanded while it is copied.
    GstCaps* caps =
        gst_caps_from_string("video/x-raw,format=NV12,colorimetry={(string)2:4:0:0,(string)bt601,(string)1:4:0:0}");
    if (options_.width > 0) gst_caps_set_simple(caps, "width", G_TYPE_INT, options_.width, nullptr);
    if (options_.height > 0) gst_caps_set_simple(caps, "height", G_TYPE_INT, options_.height, nullptr);
    // Live sources drop what the consumer did not take; files block until it
    // takes the image (every image is seen) and, in real time, wait for its time.
    g_object_set(sink, "caps", caps, "max-buffers", 1u, "drop", live() ? TRUE : FALSE, "sync",
                 !live() && options_.realTime ? TRUE : FALSE, "emit-signals", FALSE, nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &GstCameraSource::onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);

    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        if (!gst_element_link(chain[i], chain[i + 1])) {
            error = prefix() + "cannot link " + GST_ELEMENT_NAME(chain[i]) + " to " + GST_ELEMENT_NAME(chain[i + 1]);
            gst_object_unref(pipeline);
            return nullptr;
        }
    }
    if (uriDecoder) g_signal_connect(uriDecoder, "pad-added", G_CALLBACK(&GstCameraSource::onPadAdded), chain[0]);
    return pipeline;
}

void GstCameraSource::onPadAdded(GstElement*, GstPad* pad, gpointer convert) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    const bool video = caps && gst_caps_get_size(caps) > 0 &&
                       g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/");
    if (caps) gst_caps_unref(caps);
    if (!video) return;  // audio and other streams stay unlinked
    GstPad* sinkPad = gst_element_get_static_pad(GST_ELEMENT(convert), "sink");
    if (!gst_pad_is_linked(sinkPad)) gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
}

// Waits, bounded, until the pipeline plays or fails; an error posted on the way fails it.
bool GstCameraSource::waitUntilPlaying(GstElement* pipeline, std::string& why) {
    GstBus* bus = gst_element_get_bus(pipeline);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    bool playing = false;
    GstMessage* endOfStream = nullptr;
    for (;;) {
        GstState state = GST_STATE_NULL;
        const GstStateChangeReturn ret = gst_element_get_state(pipeline, &state, nullptr, 0);
        // An error is posted before the state change it spoils completes, so
        // looking for one after reading the state cannot miss it.
        // (A filtered pop discards what it does not match, so the end of a
        // short file is kept aside and posted again for the bus thread.)
        if (GstMessage* msg = gst_bus_timed_pop_filtered(bus, 10 * GST_MSECOND,
                                                         GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))) {
            if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
                if (endOfStream) gst_message_unref(endOfStream);
                endOfStream = msg;
                continue;
            }
            why = messageText(msg);
            gst_message_unref(msg);
            break;
        }
        if (ret == GST_STATE_CHANGE_FAILURE) {
            why = "the pipeline did not start";
            break;
        }
        if (state == GST_STATE_PLAYING && ret != GST_STATE_CHANGE_ASYNC) {
            playing = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            why = "did not start within 5 s";
            break;
        }
    }
    if (endOfStream) {
        if (playing) {
            gst_bus_post(bus, endOfStream);
        } else {
            gst_message_unref(endOfStream);
        }
    }
    gst_object_unref(bus);
    return playing;
}

bool GstCameraSource::start(SampleHandler onSample, LostHandler onLost, std::string& error) {
    if (pipeline_) {
        error = prefix() + "already started";
        return false;
    }
    if (!initGstreamer(error)) return false;
    GstElement* pipeline = buildPipeline(error);
    if (!pipeline) return false;
    {
        MutexLock lock(mutex_);
        onSample_ = std::move(onSample);
        onLost_ = std::move(onLost);
        delivering_ = true;
        offset_ = 0;
        last_ = -1;
    }
    std::string why;
    const bool ok = gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE
                        ? waitUntilPlaying(pipeline, why)
                        : false;
    if (!ok) {
        if (why.empty()) {
            // The failure's reason is on the bus.
            GstBus* bus = gst_element_get_bus(pipeline);
            GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
            why = msg ? messageText(msg) : "the pipeline did not start";
            if (msg) gst_message_unref(msg);
            gst_object_unref(bus);
        }
        {
            MutexLock lock(mutex_);
            delivering_ = false;
            onSample_ = nullptr;
            onLost_ = nullptr;
        }
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        error = prefix() + why;
        return false;
    }
    pipeline_ = pipeline;
    busQuit_ = false;
    busThread_ = std::thread(&GstCameraSource::watchBus, this);
    return true;
}

void GstCameraSource::stop() {
    {
        // Waits for a handler that runs now; none runs after this.
        MutexLock lock(mutex_);
        delivering_ = false;
        onSample_ = nullptr;
        onLost_ = nullptr;
    }
    if (!pipeline_) return;
    busQuit_ = true;
    if (busThread_.joinable()) busThread_.join();
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
}

GstFlowReturn GstCameraSource::onNewSample(GstAppSink* sink, gpointer self) {
    if (GstSample* sample = gst_app_sink_pull_sample(sink)) {
        static_cast<GstCameraSource*>(self)->deliver(sample);
        gst_sample_unref(sample);
    }
    return GST_FLOW_OK;
}

void GstCameraSource::deliver(GstSample* sample) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps) ||
        GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_NV12)
        return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return;
    const int width = GST_VIDEO_FRAME_WIDTH(&frame), height = GST_VIDEO_FRAME_HEIGHT(&frame);
    PixelBufferRef image = PixelBuffer::create(width, height, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    if (image) {
        // YUV of unknown range is video range, as GStreamer itself reads it.
        const bool expand = info.colorimetry.range != GST_VIDEO_COLOR_RANGE_0_255;
        const RangeTables& tables = videoToFullRange();
        PixelBufferLock lock(*image, 0);
        for (int p = 0; p < 2; ++p) {
            const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
            const size_t srcStride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
            uint8_t* dst = image->baseAddressOfPlane(p);
            const size_t dstStride = image->bytesPerRowOfPlane(p);
            const size_t rows = std::min<size_t>(image->heightOfPlane(p), GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p));
            const size_t bytes = std::min<size_t>(image->widthOfPlane(p) * (p == 0 ? 1 : 2),
                                                  size_t(GST_VIDEO_FRAME_COMP_WIDTH(&frame, p)) * (p == 0 ? 1 : 2));
            const std::array<uint8_t, 256>& lut = p == 0 ? tables.luma : tables.chroma;
            for (size_t y = 0; y < rows; ++y) {
                const uint8_t* in = src + y * srcStride;
                uint8_t* out = dst + y * dstStride;
                if (expand) {
                    for (size_t x = 0; x < bytes; ++x) out[x] = lut[in[x]];
                } else {
                    std::memcpy(out, in, bytes);
                }
            }
        }
    }
    gst_video_frame_unmap(&frame);
    if (!image) return;

    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const GstClockTime duration = GST_BUFFER_DURATION(buffer);
    const double step = GST_CLOCK_TIME_IS_VALID(duration) && duration > 0 ? double(duration) / GST_SECOND
                                                                          : 1.0 / std::max(1, options_.framesPerSecond);
    MutexLock lock(mutex_);
    if (!delivering_ || !onSample_) return;
    double t = GST_CLOCK_TIME_IS_VALID(pts) ? double(pts) / GST_SECOND : last_ + step;
    // A file that looped starts again at 0: its times continue after the last one.
    if (last_ >= 0 && t + offset_ <= last_) offset_ = last_ + step - t;
    t += offset_;
    last_ = t;
    onSample_(CameraSample{std::move(image), t});
}

void GstCameraSource::reportLost(const std::string& reason) {
    MutexLock lock(mutex_);
    if (!delivering_) return;
    delivering_ = false;
    LostHandler onLost = std::move(onLost_);
    onLost_ = nullptr;
    onSample_ = nullptr;
    if (onLost) onLost(reason);
}

void GstCameraSource::watchBus() {
    GstBus* bus = gst_element_get_bus(pipeline_);
    while (!busQuit_) {
        GstMessage* msg =
            gst_bus_timed_pop_filtered(bus, kBusPoll, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        if (!msg) continue;
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
            reportLost(prefix() + messageText(msg));
        } else if (options_.loop && !live()) {
            if (!gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                                         GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0))
                reportLost(prefix() + "cannot start again from the beginning");
        } else {
            reportLost(prefix() + "end of stream");
        }
        gst_message_unref(msg);
    }
    gst_object_unref(bus);
}

}  // namespace

std::unique_ptr<CameraSource> makeCameraSource(const std::string& text, const CameraSourceOptions& options,
                                               std::string& error) {
    auto fail = [&](const std::string& why) {
        error = "camera " + oneLine(text) + ": " + why;
        return nullptr;
    };
    if (options.width < 0 || options.height < 0 || options.width > 16384 || options.height > 16384)
        return fail("the image size must be 0 to 16384");
    if (options.framesPerSecond < 1 || options.framesPerSecond > 1000)
        return fail("the frame rate must be 1 to 1000 per second");
    if (text == "test") return std::make_unique<GstCameraSource>(text, Kind::Test, "", "", options);
    if (text.rfind("v4l2:", 0) == 0) {
        const std::string device = text.substr(5);
        if (device.empty()) return fail("needs a device, as in v4l2:/dev/video0");
        return std::make_unique<GstCameraSource>(text, Kind::Webcam, device, "", options);
    }
    if (text.rfind("file:", 0) == 0) {
        const std::string path = text.substr(5);
        if (path.empty()) return fail("needs a path, as in file:clip.mp4 or file:frames/%06d.png");
        if (path.find('%') == std::string::npos)
            return std::make_unique<GstCameraSource>(text, Kind::File, path, "", options);
        // An image sequence: exactly one printf number, nothing else that printf would read.
        static const std::regex number(R"(%0?[0-9]{0,2}d)");
        std::smatch m;
        if (!std::regex_search(path, m, number) || path.find('%', size_t(m.position(0)) + 1) != std::string::npos ||
            path.find('%') != size_t(m.position(0)))
            return fail("an image sequence needs exactly one number such as %06d, and no other %");
        std::string lower = path;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        auto endsWith = [&](std::string_view s) {
            return lower.size() >= s.size() && lower.compare(lower.size() - s.size(), s.size(), s) == 0;
        };
        if (endsWith(".png")) return std::make_unique<GstCameraSource>(text, Kind::Sequence, path, "pngdec", options);
        if (endsWith(".jpg") || endsWith(".jpeg"))
            return std::make_unique<GstCameraSource>(text, Kind::Sequence, path, "jpegdec", options);
        return fail("an image sequence is of .png or .jpg files");
    }
    return fail("a camera is v4l2:DEVICE, file:PATH or test");
}

}  // namespace tevra::live
