// The page view in the real engine (WebKitGTK under an X server). The test
// binary normally runs under xvfb-run; without DISPLAY it starts its own
// Xvfb, and skips with a message when it cannot.
#include "platform/linux/WebKitPageView.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/Channels.h"
#include "bridge/FrameCall.h"
#include "platform/fake/FakePlatform.h"
#include "linux/support/LoopbackServer.h"

// Under LeakSanitizer: GTK, fontconfig, D-Bus and the engine keep process-wide
// caches they never free. Those are not ours; our own leaks outside them
// still fail the run. Full stacks are needed for the suppressions to match
// through libraries built without frame pointers.
extern "C" __attribute__((used)) const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace tevra::linux_platform {
namespace {

const std::string kPages = std::string(TEVRA_SOURCE_DIR) + "/tests/linux/pages/";

// ---- The X server and GTK, once per process ----

class DisplayEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) startXvfb();
        const char* now = std::getenv("DISPLAY");
        if (!now || !*now) {
            reason_ = "no DISPLAY and no Xvfb could be started (install xvfb or run under xvfb-run -a)";
            return;
        }
        if (!gtk_init_check(nullptr, nullptr)) {
            reason_ = std::string("gtk_init_check failed on DISPLAY=") + now;
            return;
        }
        ready_ = true;
    }
    void TearDown() override {
        if (xvfb_ > 0) {
            kill(xvfb_, SIGTERM);
            waitpid(xvfb_, nullptr, 0);
        }
    }
    static bool ready() { return ready_; }
    static const std::string& reason() { return reason_; }

private:
    void startXvfb() {
        if (access("/usr/bin/Xvfb", X_OK) != 0) return;
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string fd = std::to_string(fds[1]);
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) {
                dup2(devnull, STDOUT_FILENO);
                dup2(devnull, STDERR_FILENO);
            }
            execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return;
        }
        xvfb_ = pid;
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (poll(&p, 1, 200) <= 0) continue;
            char c;
            if (read(fds[0], &c, 1) != 1) break;
            if (c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) setenv("DISPLAY", (":" + number).c_str(), 1);
    }

    pid_t xvfb_ = -1;
    static inline bool ready_ = false;
    static inline std::string reason_;
};

const auto* const gDisplay = ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

// Iterates the default main context until `done` holds or `seconds` pass.
bool runUntil(const std::function<bool()>& done, double seconds = 20) {
    // A ticking source so the loop wakes up to look at the deadline.
    guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool ok = done();
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        ok = done();
    }
    g_source_remove(tick);
    return ok;
}

// Runs the loop for a while, for checks that nothing more happens.
void runFor(double seconds) {
    runUntil([] { return false; }, seconds);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- Recorders ----

class Messages : public ScriptMessageHandler {
public:
    void userContentControllerDidReceiveScriptMessage(const ScriptMessage& m) override {
        received.push_back(m);
        if (onMessage) onMessage(m);
    }
    std::vector<nlohmann::json> bodies(const std::string& channel) const {
        std::vector<nlohmann::json> out;
        for (auto& m : received)
            if (m.name == channel) out.push_back(m.body);
        return out;
    }
    bool has(const std::string& channel, const nlohmann::json& body) const {
        for (auto& m : received)
            if (m.name == channel && m.body == body) return true;
        return false;
    }
    size_t count(const std::string& channel, const nlohmann::json& body) const {
        size_t n = 0;
        for (auto& m : received)
            if (m.name == channel && m.body == body) ++n;
        return n;
    }
    std::vector<ScriptMessage> received;
    std::function<void(const ScriptMessage&)> onMessage;
};

class Navigation : public WebNavigationDelegate {
public:
    void webViewDidStartProvisionalNavigation(WebView&) override { events.push_back("start"); }
    void webViewDidFinishNavigation(WebView&) override { events.push_back("finish"); }
    void webViewDidFailNavigation(WebView&, const Error& e) override {
        events.push_back("fail");
        errors.push_back(e);
    }
    void webViewDidFailProvisionalNavigation(WebView&, const Error& e) override {
        events.push_back("failProvisional");
        errors.push_back(e);
    }
    size_t finishes() const { return std::count(events.begin(), events.end(), "finish"); }
    bool ended() const { return !events.empty() && events.back() != "start"; }
    std::vector<std::string> events;
    std::vector<Error> errors;
};

class Alerts : public WebUIDelegate {
public:
    void webViewRunJavaScriptAlertPanelWithMessage(WebView&, const std::string& message,
                                                   std::function<void()> completion) override {
        messages.push_back(message);
        if (deferred)
            held = std::move(completion);
        else
            completion();
    }
    std::vector<std::string> messages;
    bool deferred = false;
    std::function<void()> held;
};

class Progress : public KeyValueObserver {
public:
    void observeValueForKeyPath(const std::string& keyPath, const void*, double value) override {
        if (keyPath == "estimatedProgress") values.push_back(value);
    }
    std::vector<double> values;
};

// ---- Fixture: a window with one page view ----

class PageViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DisplayEnvironment::ready()) GTEST_SKIP() << DisplayEnvironment::reason();
        fake_ = fake::FakePlatform::install();
    }

    void TearDown() override {
        view_.reset();
        if (window_) gtk_widget_destroy(window_);
        window_ = nullptr;
    }

    // Builds the page view with every channel of the bridge and the given
    // document-start scripts, shown in a window.
    void makeView(std::vector<std::string> scripts = {}, std::map<std::string, nlohmann::json> preferences = {}) {
        WebViewConfiguration config;
        for (const char* name : {channels::kZephral, channels::kTevraAR, channels::kTevraARConfig,
                                 channels::kTevraARHaptic, channels::kYOLOCommander, channels::kUnityBridge})
            config.userContentController->addScriptMessageHandler(messages_, name);
        // Counts document-start runs in the main frame.
        config.userContentController->addUserScript(
            {"window.userScriptRuns = (window.userScriptRuns || 0) + 1;"
             "window.webkit.messageHandlers.Zephral.postMessage('userScript');"});
        for (auto& s : scripts) config.userContentController->addUserScript({std::move(s)});
        config.preferences = std::move(preferences);
        view_ = makeWebKitPageView({0, 0, 400, 300}, config);
        view_->setNavigationDelegate(navigation_);
        view_->setUIDelegate(alerts_);
        view_->addObserver(progress_, "estimatedProgress");
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window_), 400, 300);
        gtk_container_add(GTK_CONTAINER(window_), view_->widget());
        gtk_widget_show_all(window_);
    }

    // Loads and waits for the navigation to end; true when it finished.
    bool loadAndWait(const std::string& url) {
        const size_t before = navigation_->events.size();
        view_->loadRequest(url);
        const bool ended = runUntil([&] { return navigation_->events.size() > before + 1 && navigation_->ended(); });
        return ended && navigation_->events.back() == "finish";
    }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<Messages> messages_ = std::make_shared<Messages>();
    std::shared_ptr<Navigation> navigation_ = std::make_shared<Navigation>();
    std::shared_ptr<Alerts> alerts_ = std::make_shared<Alerts>();
    std::shared_ptr<Progress> progress_ = std::make_shared<Progress>();
    std::shared_ptr<WebKitPageView> view_;
    GtkWidget* window_ = nullptr;
};

// A loopback HTTP server serving the test pages; /slow never answers
// (until the server stops).
class PageServer {
public:
    PageServer()
        : server_([](const tevra::testing::LoopbackRequest& r) {
              tevra::testing::LoopbackResponse res;
              std::string path = r.target.substr(0, r.target.find('?'));
              if (path == "/slow") {
                  res.stall = true;
              } else if (path.find("..") != std::string::npos || path.size() < 2) {
                  res.status = 404;
              } else {
                  std::ifstream in(kPages + path.substr(1), std::ios::binary);
                  if (!in) {
                      res.status = 404;
                  } else {
                      std::stringstream body;
                      body << in.rdbuf();
                      res.body = body.str();
                      res.headers.push_back({"Content-Type", "text/html; charset=utf-8"});
                  }
              }
              return res;
          }) {}
    std::string url(const std::string& path) const { return server_.url(path); }
    bool ok() const { return server_.listening(); }

private:
    tevra::testing::LoopbackServer server_;
};

// ---- Messages ----

TEST_F(PageViewTest, EveryChannelDeliversItsBodyIntactFromFileAndHttp) {
    makeView();
    PageServer server;
    ASSERT_TRUE(server.ok());
    for (const std::string& url : {"file://" + kPages + "messages.html", server.url("/messages.html")}) {
        SCOPED_TRACE(url);
        messages_->received.clear();
        ASSERT_TRUE(loadAndWait(url));
        ASSERT_TRUE(runUntil([&] { return messages_->has("Zephral", "done"); }));

        EXPECT_TRUE(messages_->has("Zephral", "head:1")) << "user scripts run before the page's head scripts";
        EXPECT_TRUE(messages_->has("Zephral", "advanceFrame:"));
        EXPECT_EQ(messages_->bodies("TevraAR"), std::vector<nlohmann::json>{42.5});
        EXPECT_EQ(messages_->bodies("TevraARConfig"),
                  std::vector<nlohmann::json>{nlohmann::json::parse(R"([1, "two", true, null, [3.25, -7]])")});
        EXPECT_EQ(messages_->bodies("TevraARHaptic"),
                  std::vector<nlohmann::json>{nlohmann::json::parse(
                      R"({"nested": {"list": [1, 2, {"deep": "é \"q\" \\ \n"}]}, "flag": false, "none": null})")});
        EXPECT_EQ(messages_->bodies("YOLOCommander"), std::vector<nlohmann::json>{nullptr});
        EXPECT_EQ(messages_->bodies("UnityBridge"), std::vector<nlohmann::json>{nullptr}) << "undefined -> null";
        EXPECT_TRUE(messages_->has("Zephral", int64_t{9007199254740992}));
        EXPECT_TRUE(messages_->has("Zephral", nlohmann::json::parse(R"({"0": 0.5, "1": 1.5})")))
            << "a Float32Array arrives as a plain object";
        EXPECT_EQ(messages_->count("Zephral", "userScript"), 1u);
    }
    EXPECT_EQ(navigation_->events, (std::vector<std::string>{"start", "finish", "start", "finish"}));
    ASSERT_FALSE(progress_->values.empty());
    EXPECT_EQ(progress_->values.back(), 1.0);
}

// ---- Evaluation ----

TEST_F(PageViewTest, EvaluationReturnsJsonAndThrownErrorsAsErrors) {
    makeView();
    ASSERT_TRUE(loadAndWait("file://" + kPages + "page-b.html"));

    struct Result {
        bool done = false;
        nlohmann::json value;
        std::optional<Error> error;
    };
    auto evaluate = [&](const std::string& script) {
        auto r = std::make_shared<Result>();
        view_->evaluateJavaScript(script, [r](const nlohmann::json& v, const std::optional<Error>& e) {
            r->done = true;
            r->value = v;
            r->error = e;
        });
        EXPECT_TRUE(runUntil([&] { return r->done; })) << script;
        return *r;
    };

    auto object = evaluate("({a: [1, 'x', {b: null}], t: true, f: 0.25, u: undefined})");
    EXPECT_FALSE(object.error) << object.error->description();
    EXPECT_EQ(object.value, nlohmann::json::parse(R"({"a": [1, "x", {"b": null}], "t": true, "f": 0.25})"));
    EXPECT_EQ(evaluate("document.title").value, "b");
    EXPECT_EQ(evaluate("undefined").value, nullptr);
    // Values the engine cannot hand over (functions, DOM nodes) fail.
    EXPECT_TRUE(evaluate("(function () {})").error);

    auto thrown = evaluate("throw new Error('boom at ' + 42)");
    ASSERT_TRUE(thrown.error);
    EXPECT_NE(thrown.error->localizedDescription.find("boom at 42"), std::string::npos) << thrown.error->description();
    EXPECT_EQ(thrown.value, nullptr);
    auto syntax = evaluate("this is not javascript");
    EXPECT_TRUE(syntax.error);

    // Without a completion the script still runs.
    view_->evaluateJavaScript("window.webkit.messageHandlers.TevraAR.postMessage('no completion')");
    EXPECT_TRUE(runUntil([&] { return messages_->has("TevraAR", "no completion"); }));
}

// ---- Failed and cancelled loads ----

TEST_F(PageViewTest, RefusedConnectionFailsOnceWithoutAnErrorPage) {
    makeView();
    PageServer server;
    ASSERT_TRUE(loadAndWait(server.url("/page-a.html")));
    ASSERT_EQ(messages_->count("Zephral", "userScript"), 1u);
    navigation_->events.clear();

    const int port = tevra::testing::LoopbackServer::closedPort();
    ASSERT_GT(port, 0);
    view_->loadRequest("http://127.0.0.1:" + std::to_string(port) + "/");
    ASSERT_TRUE(runUntil([&] { return navigation_->ended(); }));
    runFor(1.5);  // nothing else may follow: no finish, no error page

    EXPECT_EQ(navigation_->events, (std::vector<std::string>{"start", "failProvisional"}));
    ASSERT_EQ(navigation_->errors.size(), 1u);
    EXPECT_EQ(navigation_->errors[0].domain, "g-io-error-quark");
    EXPECT_EQ(navigation_->errors[0].code, 39);
    EXPECT_FALSE(navigation_->errors[0].localizedDescription.empty());
    EXPECT_EQ(messages_->count("Zephral", "userScript"), 1u) << "an error page would run the user scripts again";
}

TEST_F(PageViewTest, ReplacedLoadReportsCancelledThenTheNewPageFinishes) {
    makeView();
    PageServer server;
    view_->loadRequest(server.url("/slow"));
    ASSERT_TRUE(runUntil([&] { return !navigation_->events.empty(); }));
    view_->loadRequest("file://" + kPages + "page-b.html");
    ASSERT_TRUE(runUntil([&] { return navigation_->finishes() == 1; }));
    runFor(0.5);

    EXPECT_EQ(navigation_->events, (std::vector<std::string>{"start", "failProvisional", "start", "finish"}));
    ASSERT_EQ(navigation_->errors.size(), 1u);
    EXPECT_EQ(navigation_->errors[0].code, kNavigationCancelledCode);
    EXPECT_EQ(view_->URL(), "file://" + kPages + "page-b.html");
}

// ---- History, background, scrolling, preferences ----

TEST_F(PageViewTest, HistoryMovesAndScrollingOff) {
    makeView();
    const std::string a = "file://" + kPages + "page-a.html", b = "file://" + kPages + "page-b.html";
    EXPECT_FALSE(view_->URL());
    EXPECT_FALSE(view_->canGoBack());
    ASSERT_TRUE(loadAndWait(a));
    ASSERT_TRUE(loadAndWait(b));
    EXPECT_TRUE(view_->canGoBack());
    EXPECT_EQ(view_->backItemURL(), a);
    EXPECT_EQ(view_->URL(), b);

    const size_t finished = navigation_->finishes();
    view_->goBack();
    ASSERT_TRUE(runUntil([&] { return navigation_->finishes() == finished + 1; }));
    EXPECT_EQ(view_->URL(), a);
    view_->goForward();
    ASSERT_TRUE(runUntil([&] { return navigation_->finishes() == finished + 2; }));
    EXPECT_EQ(view_->URL(), b);
    view_->reload();
    ASSERT_TRUE(runUntil([&] { return navigation_->finishes() == finished + 3; }));
    EXPECT_EQ(view_->estimatedProgress(), 1.0);

    // Scrolling off: the page's root and body no longer scroll.
    view_->setScrollEnabled(false);
    ASSERT_TRUE(loadAndWait(a));
    nlohmann::json overflow;
    bool done = false;
    view_->evaluateJavaScript("getComputedStyle(document.body).overflow", [&](const nlohmann::json& v, const auto&) {
        overflow = v;
        done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(overflow, "hidden");
    EXPECT_FALSE(view_->isScrollEnabled());

    // Transparent and opaque backgrounds map onto the widget's colour.
    view_->setOpaque(false);
    view_->setBackgroundColor(Color::clear());
    GdkRGBA rgba;
    webkit_web_view_get_background_color(view_->webKitWebView(), &rgba);
    EXPECT_EQ(rgba.alpha, 0.0);
    view_->setOpaque(true);
    view_->setBackgroundColor(Color::white());
    webkit_web_view_get_background_color(view_->webKitWebView(), &rgba);
    EXPECT_EQ(rgba.alpha, 1.0);
    EXPECT_EQ(rgba.red, 1.0);

    view_->setInspectable(true);
    EXPECT_TRUE(webkit_settings_get_enable_developer_extras(webkit_web_view_get_settings(view_->webKitWebView())));
    view_->setFrame({0, 0, 320, 200});
    int w = 0, h = 0;
    gtk_widget_get_size_request(view_->widget(), &w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 200);
}

TEST_F(PageViewTest, FileAccessFromFileURLsFollowsThePreference) {
    makeView({}, {{"allowFileAccessFromFileURLs", 1}});
    ASSERT_TRUE(loadAndWait("file://" + kPages + "fileaccess.html"));
    ASSERT_TRUE(runUntil([&] { return !messages_->bodies("Zephral").empty() && messages_->received.size() >= 2; }));
    EXPECT_TRUE(messages_->has("Zephral", "fileaccess:read"));

    view_->setPreferenceValue("allowFileAccessFromFileURLs", 0);
    messages_->received.clear();
    ASSERT_TRUE(loadAndWait("file://" + kPages + "fileaccess.html"));
    ASSERT_TRUE(runUntil([&] { return messages_->received.size() >= 2; }));
    EXPECT_TRUE(messages_->has("Zephral", "fileaccess:refused"));
}

// ---- Alerts ----

TEST_F(PageViewTest, PageAlertGoesToTheUIDelegateAndCompletesAtOnce) {
    makeView();
    ASSERT_TRUE(loadAndWait("file://" + kPages + "alert.html"));
    ASSERT_TRUE(runUntil([&] { return messages_->has("Zephral", "confirm:false"); }));
    EXPECT_EQ(alerts_->messages, std::vector<std::string>{"hello from the page"});
    bool after = false;
    for (auto& body : messages_->bodies("Zephral"))
        if (body.is_string() && body.get<std::string>().rfind("after-alert:", 0) == 0) after = true;
    EXPECT_TRUE(after);

    // A delegate that answers later keeps the page waiting until it does.
    alerts_->deferred = true;
    messages_->received.clear();
    view_->loadRequest("file://" + kPages + "alert.html");
    ASSERT_TRUE(runUntil([&] { return alerts_->messages.size() == 2 && alerts_->held; }));
    runFor(0.3);
    EXPECT_FALSE(messages_->has("Zephral", "confirm:false")) << "the page waits for the alert";
    auto completion = std::move(alerts_->held);
    alerts_->held = nullptr;
    completion();
    EXPECT_TRUE(runUntil([&] { return messages_->has("Zephral", "confirm:false"); }));

    // A delegate that drops the completion uncalled does not block the page.
    alerts_->deferred = true;
    messages_->received.clear();
    view_->loadRequest("file://" + kPages + "alert.html");
    ASSERT_TRUE(runUntil([&] { return alerts_->messages.size() == 3 && alerts_->held; }));
    alerts_->held = nullptr;
    EXPECT_TRUE(runUntil([&] { return messages_->has("Zephral", "confirm:false"); }));
    EXPECT_TRUE(runUntil([&] { return navigation_->ended() && navigation_->events.back() == "finish"; }));
}

// ---- The VPS reply path through the real UnityBridge.js ----

// The reply escaping of the bridge: backslash, then quote, then line feed.
std::string escapeForCall(std::string text) {
    auto replaceAll = [&](const std::string& from, const std::string& to) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
    };
    replaceAll("\\", "\\\\");
    replaceAll("\"", "\\\"");
    replaceAll("\n", "\\n");
    return text;
}

TEST_F(PageViewTest, UnityBridgeReceivesRepliesWithQuotesBackslashesAndLineBreaks) {
    makeView({readFile(std::string(TEVRA_SOURCE_RESOURCES) + "/UnityBridge.js")});
    ASSERT_TRUE(loadAndWait("file://" + kPages + "unity.html"));
    ASSERT_TRUE(runUntil([&] { return messages_->has("Zephral", "ready"); }));

    const std::string data = "floor \"3\" at C:\\maps\\b2\nline two\n\\\"both\\\"";
    const nlohmann::json reply = {{"id", "vps-1"}, {"data", data}};
    view_->evaluateJavaScript("window.UnityBridge.receiveMessage(\"" + escapeForCall(reply.dump()) + "\")");
    ASSERT_TRUE(runUntil([&] { return !messages_->bodies("UnityBridge").empty(); }));
    const nlohmann::json back = messages_->bodies("UnityBridge").front();
    EXPECT_EQ(back["id"], "vps-1");
    EXPECT_EQ(back["raw"], data);
    EXPECT_EQ(back["parsedType"], "string");

    // A JSON answer is parsed by the page.
    const nlohmann::json jsonReply = {{"id", "vps-2"}, {"data", R"({"floor": 3, "note": "a \"b\"\nc"})"}};
    view_->evaluateJavaScript("window.UnityBridge.receiveMessage(\"" + escapeForCall(jsonReply.dump()) + "\")");
    ASSERT_TRUE(runUntil([&] { return messages_->bodies("UnityBridge").size() == 2; }));
    EXPECT_EQ(messages_->bodies("UnityBridge")[1]["parsedType"], "object");
}

// ---- Frame pacing ----

TEST_F(PageViewTest, PacedFrameCallsAreAllDeliveredAndTheRateIsReported) {
    makeView({readFile(std::string(TEVRA_SOURCE_RESOURCES) + "/Zephral.js")});
    long sent = 0;
    size_t callLength = 0;
    bool measuring = false;
    auto sendFrame = [&] {
        float values[39];
        values[0] = static_cast<float>(sent);
        for (int i = 1; i < 39; ++i) values[i] = 0.123456f * static_cast<float>(i) - 1.5f;
        const std::string call = buildFrameCall(values);
        callLength = call.size();
        ++sent;
        view_->evaluateJavaScript(call);
    };
    messages_->onMessage = [&](const ScriptMessage& m) {
        if (measuring && m.name == "Zephral" && m.body == "advanceFrame:") sendFrame();
    };
    ASSERT_TRUE(loadAndWait("file://" + kPages + "frames.html"));
    measuring = true;
    sendFrame();

    const auto start = std::chrono::steady_clock::now();
    runUntil([] { return false; }, 2.0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measuring = false;
    const long sentInWindow = sent;

    nlohmann::json stats;
    bool done = false;
    view_->evaluateJavaScript("frameStats()", [&](const nlohmann::json& v, const auto&) {
        stats = v;
        done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    const double rate = static_cast<double>(sentInWindow) / seconds;
    std::printf("[ rate     ] %ld paced frame calls of %zu characters in %.2f s: %.0f calls/s\n", sentInWindow,
                callLength, seconds, rate);
    RecordProperty("pacedFrameCallsPerSecond", static_cast<int>(rate));
    EXPECT_GT(sentInWindow, 10);
    EXPECT_EQ(stats["bad"], 0) << "frames arrive whole and in order";
    EXPECT_EQ(stats["last"], sentInWindow - 1) << "every frame call ran";
}

// A page's own top-level handleARFrame and onTrackingStateChanged do not cut
// the page API off: both get every call.
TEST_F(PageViewTest, PageWithItsOwnHandlersAndThePageAPIBothGetEveryCall) {
    makeView({readFile(std::string(TEVRA_SOURCE_RESOURCES) + "/Zephral.js")});
    ASSERT_TRUE(loadAndWait("file://" + kPages + "own-handler.html"));
    constexpr int kFrames = 20;
    for (int n = 0; n < kFrames; ++n) {
        float values[39] = {};
        values[0] = static_cast<float>(n);
        view_->evaluateJavaScript(buildFrameCall(values));
    }
    view_->evaluateJavaScript("if(window.onTrackingStateChanged){window.onTrackingStateChanged(\"Normal|null\")}");
    nlohmann::json counts;
    ASSERT_TRUE(runUntil([&] {
        auto answer = std::make_shared<std::optional<nlohmann::json>>();
        view_->evaluateJavaScript("counts()", [answer](const nlohmann::json& v, const auto&) { *answer = v; });
        if (!runUntil([&] { return answer->has_value(); }, 5)) return false;
        counts = **answer;
        return counts.is_object() && counts["api"].size() == kFrames && counts["apiTracking"] == 1;
    })) << counts.dump();
    std::vector<int> expected(kFrames);
    for (int n = 0; n < kFrames; ++n) expected[static_cast<size_t>(n)] = n;
    EXPECT_EQ(counts["own"].get<std::vector<int>>(), expected);
    EXPECT_EQ(counts["api"].get<std::vector<int>>(), expected);
    EXPECT_EQ(counts["ownTracking"], 1);
}

// ---- Lifetime ----

TEST_F(PageViewTest, DestroyingTheViewWithWorkInFlightIsSafe) {
    makeView();
    PageServer server;
    ASSERT_TRUE(loadAndWait("file://" + kPages + "page-b.html"));
    bool completed = false;
    view_->evaluateJavaScript("1 + 1", [&](const nlohmann::json&, const auto&) { completed = true; });
    view_->loadRequest(server.url("/slow"));
    view_.reset();
    const size_t events = navigation_->events.size();
    gtk_widget_destroy(window_);
    window_ = nullptr;
    runFor(0.5);
    // Whether the pending evaluation completes is WebKit's matter; nothing
    // may reach the delegates of a view that is gone.
    EXPECT_EQ(navigation_->events.size(), events);
    (void)completed;
}

// ---- Faults: the web process goes away ----

// A page whose web process ends (here through the API; a crash takes the same
// path) fails its navigation and is reloaded in a new process, a few times;
// a page that keeps losing its process is then left alone.
TEST_F(PageViewTest, WebProcessTerminationFailsTheNavigationAndReloadsThePage) {
    makeView();
    PageServer server;
    ASSERT_TRUE(loadAndWait(server.url("/page-a.html")));
    const size_t scriptRuns = messages_->count("Zephral", "userScript");
    navigation_->events.clear();
    navigation_->errors.clear();

    const size_t reloads = WebKitPageView::kMaxTerminationReloads;
    for (size_t crash = 1; crash <= reloads; ++crash) {
        webkit_web_view_terminate_web_process(view_->webKitWebView());
        ASSERT_TRUE(runUntil([&] { return navigation_->finishes() == crash; })) << "reload " << crash;
    }
    std::vector<std::string> expected;
    for (size_t i = 0; i < reloads; ++i) expected.insert(expected.end(), {"fail", "start", "finish"});
    EXPECT_EQ(navigation_->events, expected);
    for (const Error& e : navigation_->errors) {
        EXPECT_EQ(e.domain, "WebKitWebProcessTerminated");
        EXPECT_EQ(e.code, WEBKIT_WEB_PROCESS_TERMINATED_BY_API);
    }
    EXPECT_EQ(view_->URL(), server.url("/page-a.html"));
    EXPECT_EQ(messages_->count("Zephral", "userScript"), scriptRuns + reloads);
    std::optional<nlohmann::json> result;
    view_->evaluateJavaScript("6 * 7", [&](const nlohmann::json& r, const auto&) { result = r; });
    ASSERT_TRUE(runUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, 42);

    // One more within the window: reported, but not reloaded again.
    webkit_web_view_terminate_web_process(view_->webKitWebView());
    ASSERT_TRUE(runUntil([&] { return navigation_->events.size() == expected.size() + 1; }));
    runFor(1.0);
    EXPECT_EQ(navigation_->events.back(), "fail");
    EXPECT_EQ(navigation_->finishes(), reloads);
    const auto lines = fake_->log->systemLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "WebKitPageView: the web process keeps terminating; the page is not reloaded again"),
              1);
}

// ---- Hostile pages ----

TEST_F(PageViewTest, SubframesOfAnotherOriginAreRefusedUnlessTheHostAllowsThem) {
    PageServer home, other;
    ASSERT_TRUE(home.ok() && other.ok());
    // "http://127.0.0.1:PORT/" -> "http://127.0.0.1:PORT" and "PORT".
    auto origin = [](const std::string& root) { return root.substr(0, root.size() - 1); };
    auto port = [&](const std::string& root) { return origin(root).substr(origin(root).rfind(':') + 1); };
    const std::string otherOrigin = origin(other.url("/"));
    const std::string same = port(home.url("/")), otherPort = port(other.url("/"));
    auto textsOn = [&](const std::string& channel) {
        std::vector<std::string> out;
        for (auto& b : messages_->bodies(channel))
            if (b.is_string()) out.push_back(b.get<std::string>());
        std::sort(out.begin(), out.end());
        return out;
    };
    auto load = [&] {
        messages_->received.clear();
        fake_->log->clear();
        ASSERT_TRUE(loadAndWait(home.url("/framed.html?other=" + otherOrigin)));
        ASSERT_TRUE(runUntil([&] { return messages_->has("Zephral", "children-done"); }));
        runFor(0.3);  // refusals travel from the web process on their own
    };

    makeView();
    load();
    // The main frame and its own-origin child (all three ways) get through;
    // the other origin's child gets through none.
    EXPECT_EQ(textsOn("TevraAR"),
              (std::vector<std::string>{"direct:" + same, "main", "nested:" + same, "prototype:" + same}));
    size_t refusals = 0;
    for (const std::string& line : fake_->log->systemLines())
        if (line ==
            "WebKitPageView: refused a message on 'TevraAR' from a subframe of another origin (" + otherOrigin + ")")
            ++refusals;
    EXPECT_GE(refusals, 2u) << "each refused post is one line";

    // A host that allows it gets the other origin's messages too.
    view_.reset();
    gtk_widget_destroy(window_);
    window_ = nullptr;
    fake_->platform->limits.allowCrossOriginFrameMessages = true;
    makeView();
    load();
    const auto texts = textsOn("TevraAR");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "direct:" + otherPort), texts.end());
}

TEST_F(PageViewTest, OversizedAndSparseBodiesAreRefusedAndNULsArriveWhole) {
    fake_->platform->limits.pageMessageMaxBytes = 1 << 20;
    makeView();
    ASSERT_TRUE(loadAndWait("file://" + kPages + "page-b.html"));
    // The main loop keeps ticking while the bodies arrive: none is walked
    // slot by slot or copied into a long log line.
    gint64 last = g_get_monotonic_time(), longestGap = 0;
    struct Ticks {
        gint64* last;
        gint64* longest;
    } ticks{&last, &longestGap};
    guint tick = g_timeout_add(
        20,
        [](gpointer p) -> gboolean {
            auto* t = static_cast<Ticks*>(p);
            const gint64 now = g_get_monotonic_time();
            *t->longest = std::max(*t->longest, now - *t->last);
            *t->last = now;
            return G_SOURCE_CONTINUE;
        },
        &ticks);
    view_->evaluateJavaScript(
        "var h = window.webkit.messageHandlers;"
        "h.TevraAR.postMessage(new Array(2e5));"                              // holes count too
        "h.TevraAR.postMessage('x'.repeat(2 << 20));"                         // 2 MiB of text
        "h.TevraAR.postMessage([['y'.repeat(600000)], 'z'.repeat(600000)]);"  // over the cap together
        "h.TevraAR.postMessage('a\\u0000b\\u0000\\ud800c');"                  // NULs and a lone surrogate
        "h.Zephral.postMessage('sent');");
    const bool arrived = runUntil([&] { return messages_->has("Zephral", "sent"); });
    g_source_remove(tick);
    ASSERT_TRUE(arrived);
    EXPECT_LT(longestGap, 1000 * 1000) << "microseconds without a main-loop tick";
    EXPECT_EQ(messages_->bodies("TevraAR"), std::vector<nlohmann::json>{std::string("a\0b\0\xEF\xBF\xBD"
                                                                                    "c",
                                                                                    8)});
    EXPECT_EQ(
        fake_->log->systemLines(),
        std::vector<std::string>(3, "WebKitPageView: refused a message on 'TevraAR': it is larger than 1048576 bytes"));
}

}  // namespace
}  // namespace tevra::linux_platform
