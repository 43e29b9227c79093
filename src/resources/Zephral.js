/*
 * Zephral.js: the page side of the AR bridge, injected at document start.
 *
 * The native side calls these page functions:
 *   window.handleARFrame(Float32Array[39])   pose and matrices of a drawn camera frame
 *   ZephralSetWindowSize({width, height})     the page view's size after a rotation
 *   window.onTrackingStateChanged("State|Reason")
 *   window.ZephralDispatchARDisplayEvent({type, planes|anchors})
 *
 * The page uses window.Zephral:
 *   Zephral.on(type, fn) / Zephral.off(type, fn)
 *       types: "frame", "windowsize", "trackingstate", "planesadded",
 *       "planesupdated", "planesremoved", "anchorsupdated"
 *   Zephral.advanceFrame()                    ask for the next camera frame
 *   Zephral.setDepthNear(m) / setDepthFar(m)  clipping distances in metres
 *   Zephral.resetPose()                       restart tracking (anchors are dropped)
 *   Zephral.showCameraFeed() / hideCameraFeed()
 *   Zephral.addAnchor(id, matrix16)           id: a number; matrix column-major
 *   Zephral.removeAnchor(id)
 *   Zephral.log(text)
 *   Zephral.configure({compressionFactor, targetFrameWidth, targetFrameHeight,
 *                      isIdleTimerDisabled})
 *   Zephral.haptic("light", "success", ...)   effects played back to back
 *   Zephral.detection(commandObjectOrText)    on-device floor detection commands
 *   Zephral.frame                             the newest frame, or null
 *   Zephral.trackingState, Zephral.trackingReason
 *   Zephral.framesReceived, Zephral.messagesPosted   counters
 */
(function () {
  'use strict';
  if (window.Zephral) return;

  var handlers = (window.webkit && window.webkit.messageHandlers) || {};
  function post(channel, body) {
    var h = handlers[channel];
    if (h && typeof h.postMessage === 'function') {
      h.postMessage(body);
      Zephral.messagesPosted++;
      return true;
    }
    return false;
  }
  function num(v) {
    var n = Number(v);
    if (!isFinite(n)) throw new TypeError('Zephral: not a finite number: ' + v);
    return String(n);
  }

  var listeners = {};
  function emit(type, payload) {
    var list = listeners[type];
    if (!list) return;
    list.slice().forEach(function (fn) {
      try { fn(payload); } catch (e) { if (window.console) console.error('Zephral listener for ' + type + ' failed:', e); }
    });
  }

  var Zephral = {
    version: '1.0',
    sendsCameraFrames: !!window.ZephralSendsCameraFrames,
    frame: null,
    framesReceived: 0,
    messagesPosted: 0,
    windowSize: null,
    trackingState: null,
    trackingReason: null,

    on: function (type, fn) { (listeners[type] = listeners[type] || []).push(fn); return fn; },
    off: function (type, fn) {
      var list = listeners[type];
      if (!list) return;
      var i = list.indexOf(fn);
      if (i >= 0) list.splice(i, 1);
    },

    command: function (name, args) {
      return post('Zephral', name + ':' + (args || []).join(','));
    },
    advanceFrame: function () { return this.command('advanceFrame'); },
    setDepthNear: function (m) { return this.command('setDepthNear', [num(m)]); },
    setDepthFar: function (m) { return this.command('setDepthFar', [num(m)]); },
    resetPose: function () { return this.command('resetPose'); },
    showCameraFeed: function () { return this.command('showCameraFeed'); },
    hideCameraFeed: function () { return this.command('hideCameraFeed'); },
    log: function (text) { return post('Zephral', 'log:' + String(text)); },
    addAnchor: function (id, matrix) {
      if (!matrix || matrix.length !== 16) throw new TypeError('Zephral.addAnchor needs 16 numbers');
      var parts = [num(id)];
      for (var i = 0; i < 16; i++) parts.push(num(matrix[i]));
      return this.command('addAnchor', parts);
    },
    removeAnchor: function (id) { return this.command('removeAnchor', [num(id)]); },

    configure: function (options) {
      var entries = [];
      Object.keys(options || {}).forEach(function (key) {
        var v = options[key];
        if (key === 'isIdleTimerDisabled') v = v ? 1 : 0;
        entries.push(key + ':' + num(v));
      });
      return entries.length ? post('TevraARConfig', entries.join('|')) : false;
    },
    haptic: function () {
      var names = Array.prototype.slice.call(arguments);
      if (!names.length) return false;
      return post('TevraARHaptic', names.map(function (n) { return 'vibration:' + n; }).join('|'));
    },
    detection: function (command) { return post('YOLOCommander', command); }
  };

  window.handleARFrame = function (data) {
    if (!data || data.length !== 39) return;
    var f = {
      position: Array.prototype.slice.call(data, 0, 3),
      orientation: Array.prototype.slice.call(data, 3, 7),
      viewMatrix: Array.prototype.slice.call(data, 7, 23),
      projectionMatrix: Array.prototype.slice.call(data, 23, 39),
      raw: data,
      time: (window.performance && performance.now()) || Date.now()
    };
    Zephral.frame = f;
    Zephral.framesReceived++;
    emit('frame', f);
  };

  window.ZephralSetWindowSize = function (size) {
    Zephral.windowSize = size;
    emit('windowsize', size);
  };

  window.onTrackingStateChanged = function (text) {
    var parts = String(text).split('|');
    Zephral.trackingState = parts[0] === 'null' ? null : parts[0];
    Zephral.trackingReason = parts.length > 1 && parts[1] !== 'null' ? parts[1] : null;
    emit('trackingstate', { state: Zephral.trackingState, reason: Zephral.trackingReason });
  };

  window.ZephralDispatchARDisplayEvent = function (event) {
    if (!event || typeof event.type !== 'string') return;
    emit(event.type, event);
  };

  window.Zephral = Zephral;
})();
