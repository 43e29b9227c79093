/*
 * UnityBridge.js: requests to the visual-positioning (VPS) server and their
 * replies, injected at document start.
 * Reference with examples: docs/page-api.md. Types: packages/page-api/index.d.ts.
 *
 *   UnityBridge.requestVPS(serverURL, meta, options) -> Promise
 *       serverURL: an http(s) address. meta: an object (sent as JSON) or a
 *       JSON text. The native side replaces its "intrinsics" object with the
 *       camera's ({width, height, fx, fy, cx, cy} of the image sent); a meta
 *       without one (or with an empty one) gets the placeholder
 *       {"width": 0} here, so it is always filled. options: {token,
 *       timeoutMs (default 30000; 0 waits forever)}. Resolves with the
 *       answer: parsed JSON when the answer is JSON, else the text. The HTTP
 *       status is not looked at: an error page or {"status": "error", ...}
 *       resolves like any answer. Rejects on timeout or bad input (TypeError).
 *       A request that fails natively (no camera frame yet, no connection)
 *       gets no reply, hence the timeout.
 *   UnityBridge.onMessage(fn) -> unsubscribe()   every reply {id, data, raw}, matched or not
 *   UnityBridge.postMessage(text)    an AR command on the "UnityBridge" channel
 *   UnityBridge.receiveMessage(json) called natively with the reply text
 */
(function () {
  'use strict';
  if (window.UnityBridge) return;

  var handlers = (window.webkit && window.webkit.messageHandlers) || {};
  var pending = {};
  var listeners = [];
  var counter = 0;

  function post(channel, body) {
    var h = handlers[channel];
    if (h && typeof h.postMessage === 'function') { h.postMessage(body); return true; }
    return false;
  }

  function settle(id, fn) {
    var entry = pending[id];
    if (!entry) return false;
    delete pending[id];
    if (entry.timer) clearTimeout(entry.timer);
    fn(entry);
    return true;
  }

  var UnityBridge = {
    postMessage: function (text) { return post('UnityBridge', String(text)); },

    onMessage: function (fn) {
      if (typeof fn !== 'function') throw new TypeError('UnityBridge.onMessage: the listener is not a function');
      listeners.push(fn);
      return function unsubscribe() {
        var i = listeners.indexOf(fn);
        if (i >= 0) listeners.splice(i, 1);
      };
    },

    // The meta text sent: with the intrinsics placeholder added to an object
    // that has none. A text that is no JSON object goes as it is.
    metaText: function (meta) {
      var value = meta;
      if (typeof meta === 'string') {
        try { value = JSON.parse(meta); } catch (e) { return meta; }
      }
      if (value === undefined || value === null) value = {};
      if (typeof value !== 'object' || Array.isArray(value)) {
        if (typeof meta === 'string') return meta;
        throw new TypeError('UnityBridge.requestVPS: meta must be an object or a JSON text');
      }
      var k = value.intrinsics;
      if (!k || typeof k !== 'object' || !Object.keys(k).length) {
        var copy = {};
        Object.keys(value).forEach(function (key) { copy[key] = value[key]; });
        copy.intrinsics = { width: 0 };
        value = copy;
      } else if (typeof meta === 'string') {
        return meta;
      }
      return JSON.stringify(value);
    },

    requestVPS: function (serverURL, meta, options) {
      options = options || {};
      var id = 'vps-' + Date.now().toString(36) + '-' + (++counter);
      var self = this;
      return new Promise(function (resolve, reject) {
        if (typeof serverURL !== 'string' || !/^https?:\/\/[^\/?#]+/i.test(serverURL)) {
          reject(new TypeError('UnityBridge.requestVPS: the server address must be an http(s) URL'));
          return;
        }
        var metaText;
        try { metaText = self.metaText(meta); } catch (e) { reject(e); return; }
        var token = options.token === undefined || options.token === null ? '' : String(options.token);
        var fields = [String(serverURL), metaText, id, token];
        for (var i = 0; i < fields.length; i++) {
          if (fields[i].indexOf('|') >= 0) {
            reject(new TypeError('UnityBridge.requestVPS: fields may not contain "|"'));
            return;
          }
        }
        var entry = { resolve: resolve, reject: reject, timer: null };
        var timeout = options.timeoutMs === undefined ? 30000 : Number(options.timeoutMs);
        if (timeout > 0) {
          entry.timer = setTimeout(function () {
            settle(id, function (e) { e.reject(new Error('UnityBridge.requestVPS: no answer within ' + timeout + ' ms')); });
          }, timeout);
        }
        pending[id] = entry;
        var body = fields.slice(0, token ? 4 : 3).join('|');
        if (!post('TevraAR', body)) {
          settle(id, function (e) { e.reject(new Error('UnityBridge.requestVPS: no native bridge')); });
        }
      });
    },

    receiveMessage: function (text) {
      var reply;
      try { reply = JSON.parse(text); } catch (e) { return; }
      if (!reply || typeof reply !== 'object') return;
      var data = reply.data;
      var parsed = data;
      if (typeof data === 'string') {
        try { parsed = JSON.parse(data); } catch (e) { parsed = data; }
      }
      settle(String(reply.id), function (entry) { entry.resolve(parsed); });
      listeners.slice().forEach(function (fn) {
        try { fn({ id: reply.id, data: parsed, raw: data }); } catch (e) {
          if (window.console) console.error('UnityBridge listener failed:', e);
        }
      });
    },

    pendingCount: function () { return Object.keys(pending).length; }
  };

  window.UnityBridge = UnityBridge;
})();
