/*
 * UnityBridge.js: requests to the visual-positioning (VPS) server and their
 * replies, injected at document start.
 *
 *   UnityBridge.requestVPS(serverURL, meta, options) -> Promise
 *       meta: an object (sent as JSON) or a JSON text; its "intrinsics"
 *       object is filled in natively. options: {token, timeoutMs (default
 *       30000; 0 waits forever)}. Resolves with the answer: parsed JSON when
 *       the answer is JSON, else the text. Rejects on timeout or bad input.
 *       A request that fails natively gets no reply, hence the timeout.
 *   UnityBridge.onMessage(fn)        every reply {id, data}, matched or not
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

    onMessage: function (fn) { listeners.push(fn); return fn; },

    requestVPS: function (serverURL, meta, options) {
      options = options || {};
      var metaText = typeof meta === 'string' ? meta : JSON.stringify(meta || {});
      var token = options.token === undefined || options.token === null ? '' : String(options.token);
      var id = 'vps-' + Date.now().toString(36) + '-' + (++counter);
      return new Promise(function (resolve, reject) {
        var fields = [String(serverURL), metaText, id, token];
        for (var i = 0; i < fields.length; i++) {
          if (fields[i].indexOf('|') >= 0) {
            reject(new Error('UnityBridge.requestVPS: fields may not contain "|"'));
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
