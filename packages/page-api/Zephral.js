/*
 * Zephral.js: the page side of the AR bridge, injected at document start.
 * Reference with examples: docs/page-api.md. Types: packages/page-api/index.d.ts.
 *
 * The native side calls these page functions:
 *   window.handleARFrame(Float32Array[39])   pose and matrices of a drawn camera frame
 *   ZephralSetWindowSize({width, height})     the page view's size after a rotation
 *   window.onTrackingStateChanged("State|Reason")
 *   window.ZephralDispatchARDisplayEvent({type, planes|anchors})
 *   window.ZephralModelEvent({name, state})   a detection model's download state
 * A page may define its own top-level handleARFrame, onTrackingStateChanged or
 * ZephralDispatchARDisplayEvent: Zephral wraps it so that both run (the
 * page's first), and says so once on the console.
 *
 * The page uses window.Zephral (an EventTarget):
 *   Zephral.on(type, fn) -> fn / Zephral.off(type, fn)   fn gets the payload
 *   Zephral.addEventListener(type, fn) / removeEventListener   fn gets an event; payload in event.detail
 *   Zephral.once(type[, fn]) -> Promise of the payload
 *   Zephral.nextFrame() -> Promise of the next frame
 *       types: "frame", "windowsize", "trackingstate", "planesadded",
 *       "planesupdated", "planesremoved", "anchorsupdated", "modelprogress",
 *       "modelready", "modelfailed"; any other name throws a TypeError
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
 *   Zephral.prepareModels([{name, url, model_function, conf_threshold}])
 *   Zephral.startDetection() / stopDetection()
 *   Zephral.detection(commandObjectOrText)    a raw floor detection command
 *   Zephral.frame                             the newest frame, or null
 *   Zephral.planes                            the planes known now, by identifier
 *   Zephral.trackingState, Zephral.trackingReason
 *   Zephral.framesReceived, Zephral.messagesPosted   counters
 * Bad arguments throw TypeError or RangeError instead of posting a command
 * the native side would ignore.
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
  function finite(v, what) {
    var n = typeof v === 'number' ? v : typeof v === 'string' && v.trim() !== '' ? Number(v) : NaN;
    if (!isFinite(n)) throw new TypeError('Zephral.' + what + ': not a finite number: ' + String(v));
    return n;
  }
  function num(v, what) { return String(finite(v, what)); }

  var EVENT_TYPES = ['frame', 'windowsize', 'trackingstate', 'planesadded', 'planesupdated', 'planesremoved',
    'anchorsupdated', 'modelprogress', 'modelready', 'modelfailed'];
  function checkType(type, what) {
    if (EVENT_TYPES.indexOf(type) < 0)
      throw new TypeError('Zephral.' + what + ': unknown event "' + String(type) + '"; known: ' + EVENT_TYPES.join(', '));
  }
  function checkListener(fn, what) {
    if (typeof fn !== 'function' && !(fn && typeof fn.handleEvent === 'function'))
      throw new TypeError('Zephral.' + what + ': the listener is not a function');
  }
  function report(where, e) {
    if (window.console) console.error('Zephral listener for ' + where + ' failed:', e);
  }

  var listeners = {};
  var Zephral = new EventTarget();
  function emit(type, payload) {
    var list = listeners[type];
    if (list) {
      list.slice().forEach(function (fn) {
        try { fn(payload); } catch (e) { report(type, e); }
      });
    }
    var event = new CustomEvent(type, { detail: payload });
    Zephral.dispatchEvent(event);
  }

  var addListener = Zephral.addEventListener;
  var removeListener = Zephral.removeEventListener;

  var HAPTICS = ['light', 'medium', 'heavy', 'soft', 'rigid', 'success', 'warning', 'error'];
  var MODEL_FUNCTIONS = ['sign_detection', 'digit_detection'];
  var MODEL_NAME_ENDINGS = ['.mlmodelc', '.mlpackage', '.zip', '.incoming'];
  var INT32_MAX = 2147483647;

  function checkModelName(name, where) {
    if (typeof name !== 'string') throw new TypeError(where + '.name is not text');
    var lower = name.toLowerCase();
    var bytes = unescape(encodeURIComponent(name)).length;
    if (!name || name.charAt(0) === '.' || name.indexOf('/') >= 0 || name.indexOf('\0') >= 0 || bytes > 237 ||
        MODEL_NAME_ENDINGS.some(function (end) { return lower.slice(-end.length) === end; }))
      throw new RangeError(where + '.name "' + name + '" is no usable model name (a plain file name of at most ' +
        '237 bytes, no leading ".", no "/", not ending in ' + MODEL_NAME_ENDINGS.join(', ') + ')');
  }

  function methods(target, defs) {
    Object.keys(defs).forEach(function (k) {
      Object.defineProperty(target, k, { value: defs[k], writable: true, configurable: true, enumerable: false });
    });
  }

  Zephral.version = '1.0';
  Zephral.sendsCameraFrames = !!window.ZephralSendsCameraFrames;
  Zephral.frame = null;
  Zephral.framesReceived = 0;
  Zephral.messagesPosted = 0;
  Zephral.windowSize = null;
  Zephral.trackingState = null;
  Zephral.trackingReason = null;
  Zephral.models = {};
  Zephral.planes = {};

  methods(Zephral, {
    eventTypes: EVENT_TYPES.slice(),

    on: function (type, fn) {
      checkType(type, 'on');
      if (typeof fn !== 'function') throw new TypeError('Zephral.on: the listener is not a function');
      (listeners[type] = listeners[type] || []).push(fn);
      return fn;
    },
    off: function (type, fn) {
      checkType(type, 'off');
      var list = listeners[type];
      if (!list) return;
      var i = list.indexOf(fn);
      if (i >= 0) list.splice(i, 1);
    },
    addEventListener: function (type, fn, options) {
      checkType(type, 'addEventListener');
      if (fn === null || fn === undefined) return;
      checkListener(fn, 'addEventListener');
      addListener.call(Zephral, type, fn, options);
    },
    removeEventListener: function (type, fn, options) {
      checkType(type, 'removeEventListener');
      removeListener.call(Zephral, type, fn, options);
    },
    once: function (type, fn) {
      checkType(type, 'once');
      if (fn !== undefined && typeof fn !== 'function') throw new TypeError('Zephral.once: the listener is not a function');
      return new Promise(function (resolve) {
        var wrapper = function (payload) {
          Zephral.off(type, wrapper);
          if (fn) {
            try { fn(payload); } catch (e) { report(type, e); }
          }
          resolve(payload);
        };
        Zephral.on(type, wrapper);
      });
    },
    nextFrame: function () { return this.once('frame'); },

    command: function (name, args) {
      checkHandlers();
      return post('Zephral', name + ':' + (args || []).join(','));
    },
    advanceFrame: function () { return this.command('advanceFrame'); },
    setDepthNear: function (m) { return this.command('setDepthNear', [num(m, 'setDepthNear')]); },
    setDepthFar: function (m) { return this.command('setDepthFar', [num(m, 'setDepthFar')]); },
    resetPose: function () {
      Zephral.planes = {};
      return this.command('resetPose');
    },
    showCameraFeed: function () { return this.command('showCameraFeed'); },
    hideCameraFeed: function () { return this.command('hideCameraFeed'); },
    log: function (text) { return post('Zephral', 'log:' + String(text)); },
    addAnchor: function (id, matrix) {
      if (!matrix || typeof matrix.length !== 'number' || matrix.length !== 16)
        throw new TypeError('Zephral.addAnchor needs 16 numbers (a column-major 4x4 matrix)');
      var parts = [num(id, 'addAnchor id')];
      for (var i = 0; i < 16; i++) parts.push(num(matrix[i], 'addAnchor matrix[' + i + ']'));
      return this.command('addAnchor', parts);
    },
    removeAnchor: function (id) { return this.command('removeAnchor', [num(id, 'removeAnchor id')]); },

    configure: function (options) {
      if (options === null || typeof options !== 'object' || Array.isArray(options))
        throw new TypeError('Zephral.configure needs an object');
      var entries = [];
      Object.keys(options).forEach(function (key) {
        var v = options[key];
        if (key === 'compressionFactor') {
          v = finite(v, 'configure compressionFactor');
          if (v < 0 || v > 1) throw new RangeError('Zephral.configure: compressionFactor must be 0.0-1.0, got ' + v);
        } else if (key === 'targetFrameWidth' || key === 'targetFrameHeight') {
          v = finite(v, 'configure ' + key);
          if (v !== Math.floor(v) || v < 1 || v > INT32_MAX)
            throw new RangeError('Zephral.configure: ' + key + ' must be a whole number of pixels > 0, got ' + v);
        } else if (key === 'isIdleTimerDisabled') {
          if (v !== true && v !== false && v !== 0 && v !== 1)
            throw new TypeError('Zephral.configure: isIdleTimerDisabled must be true or false');
          v = v ? 1 : 0;
        } else {
          throw new TypeError('Zephral.configure: unknown option "' + key +
            '"; known: compressionFactor, targetFrameWidth, targetFrameHeight, isIdleTimerDisabled');
        }
        entries.push(key + ':' + String(v));
      });
      return entries.length ? post('TevraARConfig', entries.join('|')) : false;
    },
    haptic: function () {
      var names = Array.prototype.slice.call(arguments);
      if (!names.length) return false;
      names.forEach(function (n) {
        if (typeof n !== 'string') throw new TypeError('Zephral.haptic: effect names are text, got ' + typeof n);
        if (HAPTICS.indexOf(n) < 0)
          throw new RangeError('Zephral.haptic: unknown effect "' + n + '"; known: ' + HAPTICS.join(', '));
      });
      return post('TevraARHaptic', names.map(function (n) { return 'vibration:' + n; }).join('|'));
    },

    prepareModels: function (models) {
      if (!Array.isArray(models) || !models.length)
        throw new TypeError('Zephral.prepareModels needs a non-empty array of models');
      var list = models.map(function (m, i) {
        var where = 'Zephral.prepareModels: models[' + i + ']';
        if (!m || typeof m !== 'object') throw new TypeError(where + ' is not an object');
        checkModelName(m.name, where);
        if (typeof m.url !== 'string' || !/^https?:\/\/[^\/?#]+/i.test(m.url))
          throw new TypeError(where + '.url must be an http(s) address');
        if (MODEL_FUNCTIONS.indexOf(m.model_function) < 0)
          throw new RangeError(where + '.model_function must be one of ' + MODEL_FUNCTIONS.join(', '));
        var entry = { name: m.name, url: m.url, model_function: m.model_function };
        if (m.conf_threshold !== undefined) {
          if (typeof m.conf_threshold !== 'number' || !isFinite(m.conf_threshold))
            throw new TypeError(where + '.conf_threshold must be a finite number');
          if (m.conf_threshold < 0 || m.conf_threshold > 1)
            throw new RangeError(where + '.conf_threshold must be 0.0-1.0');
          entry.conf_threshold = m.conf_threshold;
        }
        return entry;
      });
      list.forEach(function (m) { Zephral.models[m.name] = { name: m.name, state: 'requested' }; });
      return post('YOLOCommander', { command: 'prepare_models', models: list });
    },
    startDetection: function () { return post('YOLOCommander', { command: 'turn_on' }); },
    stopDetection: function () { return post('YOLOCommander', { command: 'turn_off' }); },
    detection: function (command) { return post('YOLOCommander', command); }
  });

  // ---- Calls from the native side ----

  // Each frame's four arrays are views over the frame call's own array: no
  // copies, and never reused for a later frame (a new array arrives with each
  // call), so a page may keep them as long as it likes.
  function handleARFrame(data) {
    if (!data || data.length !== 39) return;
    if (!(data instanceof Float32Array)) data = new Float32Array(data);
    var f = {
      position: data.subarray(0, 3),
      orientation: data.subarray(3, 7),
      viewMatrix: data.subarray(7, 23),
      projectionMatrix: data.subarray(23, 39),
      raw: data,
      time: (window.performance && performance.now()) || Date.now()
    };
    Zephral.frame = f;
    Zephral.framesReceived++;
    emit('frame', f);
  }

  function onTrackingStateChanged(text) {
    var parts = String(text).split('|');
    Zephral.trackingState = parts[0] === 'null' ? null : parts[0];
    Zephral.trackingReason = parts.length > 1 && parts[1] !== 'null' ? parts[1] : null;
    emit('trackingstate', { state: Zephral.trackingState, reason: Zephral.trackingReason });
  }

  var DISPLAY_EVENTS = ['planesadded', 'planesupdated', 'planesremoved', 'anchorsupdated'];
  function dispatchARDisplayEvent(event) {
    if (!event || typeof event.type !== 'string' || DISPLAY_EVENTS.indexOf(event.type) < 0) return;
    // The planes known now, for listeners that start late (a module page
    // loading its libraries misses the first events).
    if (Array.isArray(event.planes)) {
      event.planes.forEach(function (p) {
        if (!p || typeof p.identifier !== 'number') return;
        if (event.type === 'planesremoved') delete Zephral.planes[p.identifier];
        else Zephral.planes[p.identifier] = p;
      });
    }
    emit(event.type, event);
  }

  var MODEL_EVENTS = { downloading: 'modelprogress', ready: 'modelready', failed: 'modelfailed' };
  window.ZephralModelEvent = function (report) {
    if (!report || typeof report.name !== 'string' || !MODEL_EVENTS.hasOwnProperty(report.state)) return;
    var payload = { name: report.name, state: report.state };
    Zephral.models[report.name] = payload;
    emit(MODEL_EVENTS[report.state], payload);
  };

  window.ZephralSetWindowSize = function (size) {
    Zephral.windowSize = size;
    emit('windowsize', size);
  };

  // The handlers the native side calls by name. A page's own top-level
  // function of the same name replaces ours on the window; checkHandlers puts
  // a wrapper in its place that runs the page's function, then ours.
  var OWN = {
    handleARFrame: handleARFrame,
    onTrackingStateChanged: onTrackingStateChanged,
    ZephralDispatchARDisplayEvent: dispatchARDisplayEvent
  };
  var installed = {};
  var told = {};
  function wrap(name, pageFn) {
    var own = OWN[name];
    return function () {
      try { pageFn.apply(this, arguments); } catch (e) { report('the page\'s own ' + name, e); }
      return own.apply(this, arguments);
    };
  }
  function checkHandlers() {
    Object.keys(OWN).forEach(function (name) {
      var current = window[name];
      if (current === installed[name]) return;
      if (typeof current !== 'function') {
        installed[name] = OWN[name];
      } else {
        installed[name] = wrap(name, current);
        if (!told[name] && window.console) {
          told[name] = true;
          console.warn('Zephral: the page defines its own ' + name + '; Zephral calls it and keeps its own ' +
            'handler running too (see docs/page-api.md)');
        }
      }
      try { window[name] = installed[name]; } catch (e) { /* a read-only property: the page keeps its own */ }
    });
  }
  Object.keys(OWN).forEach(function (name) { installed[name] = window[name] = OWN[name]; });
  // A page's scripts have run by DOMContentLoaded; later replacements are
  // caught on the next call into Zephral or the next check.
  if (window.addEventListener) {
    window.addEventListener('DOMContentLoaded', checkHandlers);
    window.addEventListener('load', checkHandlers);
  }
  if (typeof setInterval === 'function') setInterval(checkHandlers, 250);
  methods(Zephral, { checkHandlers: checkHandlers });

  window.Zephral = Zephral;
})();
