// The frame guard: a WebKitGTK web-process extension that keeps subframes of
// another origin away from the page view's message channels.
//
// WebKit hands every frame of a page the same `window.webkit.messageHandlers`,
// and a script message does not say which frame posted it. So the guard acts
// where each frame's window object is made, before any script of that frame
// runs (WebKitScriptWorld "window-object-cleared", which also fires for the
// empty documents of frames created by script): a frame that is not the main
// frame and whose origin differs from the main frame's gets, in place of
// `window.webkit.messageHandlers`, a stand-in whose `NAME.postMessage(...)`
// posts nothing and only tells the page view (a WebKitUserMessage
// kRefusedMessageName with the channel and the frame's origin), which logs
// one line. Same-origin subframes (srcdoc and about:blank frames of the page
// itself included) keep the real channels. Opaque origins ("null": data: and
// sandboxed frames) never count as the main frame's.
//
// Loaded by the web processes of the page views' default context (see
// WebKitPageView.cpp); a host that allows cross-origin frames gets a context
// without it. Threads: the web process's main thread.
#include <webkit2/webkit-web-extension.h>

#include <cstdint>

namespace {

// Must match WebKitPageView.cpp.
constexpr const char* kRefusedMessageName = "tevra.refused-frame-message";

// Runs in the frame, first: a function of the refusal callback. It leaves
// frames of the main frame's origin alone.
constexpr const char* kGuardSource = R"JS(
(function (refuse) {
  'use strict';
  var own = 'null';
  try { own = String(self.origin); } catch (e) {}
  try {
    if (own !== 'null' && String(window.top.origin) === own) return;
  } catch (e) {}
  var handlers = new Proxy(Object.create(null), {
    get: function (target, name) {
      if (typeof name !== 'string') return undefined;
      return Object.freeze({ postMessage: function () { refuse(name, own); } });
    },
    set: function () { return false; },
    defineProperty: function () { return false; },
    deleteProperty: function () { return false; }
  });
  // window.webkit itself can't be replaced (the engine makes it
  // unforgeable), but its messageHandlers accessor lives on the namespace's
  // prototype: removed there, and shadowed on the object by the stand-in,
  // no script of this frame can reach the real channels any more.
  var ns = window.webkit;
  if (!ns) return;
  for (var o = Object.getPrototypeOf(ns); o && o !== Object.prototype; o = Object.getPrototypeOf(o)) {
    if (Object.prototype.hasOwnProperty.call(o, 'messageHandlers')) delete o.messageHandlers;
  }
  Object.defineProperty(ns, 'messageHandlers', { value: handlers, writable: false, enumerable: true, configurable: false });
  if (ns.messageHandlers !== handlers) throw new Error('the stand-in did not take');
})
)JS";

struct Refusal {
    guint64 pageId;
};

WebKitWebExtension* gExtension = nullptr;

void onRefused(const char* channel, const char* origin, gpointer data) {
    auto* refusal = static_cast<Refusal*>(data);
    WebKitWebPage* page = webkit_web_extension_get_page(gExtension, refusal->pageId);
    if (!page) return;
    GVariant* parameters = g_variant_new("(ss)", channel ? channel : "", origin ? origin : "");
    webkit_web_page_send_message_to_view(page, webkit_user_message_new(kRefusedMessageName, parameters), nullptr,
                                         nullptr, nullptr);
}

void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    if (webkit_frame_is_main_frame(frame)) return;
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (!context) return;
    JSCValue* guard = jsc_context_evaluate(context, kGuardSource, -1);
    auto* refusal = new Refusal{webkit_web_page_get_id(page)};
    JSCValue* refuse = jsc_value_new_function(
        context, nullptr, G_CALLBACK(onRefused), refusal, [](gpointer p) { delete static_cast<Refusal*>(p); },
        G_TYPE_NONE, 2, G_TYPE_STRING, G_TYPE_STRING);
    JSCValue* result = jsc_value_function_call(guard, JSC_TYPE_VALUE, refuse, G_TYPE_NONE);
    if (JSCException* e = jsc_context_get_exception(context)) {
        g_warning("TevraARWebGL frame guard failed in %s: %s", webkit_frame_get_uri(frame),
                  jsc_exception_get_message(e));
        jsc_context_clear_exception(context);
    }
    g_clear_object(&result);
    g_clear_object(&refuse);
    g_clear_object(&guard);
    g_object_unref(context);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize(WebKitWebExtension* extension) {
    gExtension = extension;
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(onWindowObjectCleared),
                     nullptr);
}
