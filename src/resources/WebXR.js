/*
 * WebXR.js: the WebXR Device API (navigator.xr) over the page API of
 * Zephral.js, injected at document start after it. Installed only where the
 * page engine has no navigator.xr of its own.
 *
 *   navigator.xr.isSessionSupported('immersive-ar' | 'inline')  -> true
 *   navigator.xr.requestSession('immersive-ar', {requiredFeatures,
 *       optionalFeatures, domOverlay: {root}})
 *       features: local, local-floor, viewer, unbounded, hit-test, anchors,
 *       plane-detection, dom-overlay
 *
 * How the session maps onto the page API:
 *   frames        each "frame" (window.handleARFrame) runs the session's
 *                 animation-frame callbacks, then asks for the next camera
 *                 frame with Zephral.advanceFrame()
 *   viewer pose   the inverse of the frame call's view matrix; one view
 *                 (eye "none") with the frame call's projection matrix
 *   depth range   renderState depthNear/depthFar go to setDepthNear/Far
 *   camera        Zephral.showCameraFeed() while the session runs, with the
 *                 layer's canvas filling the window over a transparent page;
 *                 end() hides the feed and puts the page's styles back
 *   planes        the "planesadded/updated/removed" events (kept from page
 *                 load on, so planes found before the session count)
 *   anchors       Zephral.addAnchor / removeAnchor, confirmed by the
 *                 "anchorsupdated" event that names the anchor's id
 *   taps          pointer presses on the page are transient "screen" input
 *                 sources whose ray runs from the camera through the point
 *
 * Spaces: "local" and "unbounded" are the session's world (the tracking
 * origin); "local-floor" is the world moved down to the lowest horizontal
 * plane reported so far, or 1.5 m below the first viewer pose before any.
 *
 * The pure geometry (matrices, rays against planes and polygons, poses) is
 * at the top; under node (no window) the file exports it and installs nothing.
 */
(function (root) {
  'use strict';

  // ---- Geometry: column-major 4x4 matrices as arrays of 16 numbers ----

  var G = {};

  G.identity = function () { return [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]; };

  G.multiply = function (a, b) {
    var out = new Array(16);
    for (var c = 0; c < 4; c++) {
      for (var r = 0; r < 4; r++) {
        out[c * 4 + r] = a[r] * b[c * 4] + a[4 + r] * b[c * 4 + 1] + a[8 + r] * b[c * 4 + 2] + a[12 + r] * b[c * 4 + 3];
      }
    }
    return out;
  };

  // General inverse; null when singular.
  G.invert = function (m) {
    var a00 = m[0], a01 = m[1], a02 = m[2], a03 = m[3], a10 = m[4], a11 = m[5], a12 = m[6], a13 = m[7];
    var a20 = m[8], a21 = m[9], a22 = m[10], a23 = m[11], a30 = m[12], a31 = m[13], a32 = m[14], a33 = m[15];
    var b00 = a00 * a11 - a01 * a10, b01 = a00 * a12 - a02 * a10, b02 = a00 * a13 - a03 * a10;
    var b03 = a01 * a12 - a02 * a11, b04 = a01 * a13 - a03 * a11, b05 = a02 * a13 - a03 * a12;
    var b06 = a20 * a31 - a21 * a30, b07 = a20 * a32 - a22 * a30, b08 = a20 * a33 - a23 * a30;
    var b09 = a21 * a32 - a22 * a31, b10 = a21 * a33 - a23 * a31, b11 = a22 * a33 - a23 * a32;
    var det = b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
    if (!det || !isFinite(det)) return null;
    det = 1 / det;
    return [
      (a11 * b11 - a12 * b10 + a13 * b09) * det, (a02 * b10 - a01 * b11 - a03 * b09) * det,
      (a31 * b05 - a32 * b04 + a33 * b03) * det, (a22 * b04 - a21 * b05 - a23 * b03) * det,
      (a12 * b08 - a10 * b11 - a13 * b07) * det, (a00 * b11 - a02 * b08 + a03 * b07) * det,
      (a32 * b02 - a30 * b05 - a33 * b01) * det, (a20 * b05 - a22 * b02 + a23 * b01) * det,
      (a10 * b10 - a11 * b08 + a13 * b06) * det, (a01 * b08 - a00 * b10 - a03 * b06) * det,
      (a30 * b04 - a31 * b02 + a33 * b00) * det, (a21 * b02 - a20 * b04 - a23 * b00) * det,
      (a11 * b07 - a10 * b09 - a12 * b06) * det, (a00 * b09 - a01 * b07 + a02 * b06) * det,
      (a31 * b01 - a30 * b03 - a32 * b00) * det, (a20 * b03 - a21 * b01 + a22 * b00) * det
    ];
  };

  // Inverse of a rotation plus translation (exact transpose, no division).
  G.invertRigid = function (m) {
    var x = m[12], y = m[13], z = m[14];
    return [
      m[0], m[4], m[8], 0, m[1], m[5], m[9], 0, m[2], m[6], m[10], 0,
      -(m[0] * x + m[1] * y + m[2] * z), -(m[4] * x + m[5] * y + m[6] * z), -(m[8] * x + m[9] * y + m[10] * z), 1
    ];
  };

  G.transformPoint = function (m, p) {
    return [m[0] * p[0] + m[4] * p[1] + m[8] * p[2] + m[12], m[1] * p[0] + m[5] * p[1] + m[9] * p[2] + m[13],
      m[2] * p[0] + m[6] * p[1] + m[10] * p[2] + m[14]];
  };

  G.transformDirection = function (m, d) {
    return [m[0] * d[0] + m[4] * d[1] + m[8] * d[2], m[1] * d[0] + m[5] * d[1] + m[9] * d[2],
      m[2] * d[0] + m[6] * d[1] + m[10] * d[2]];
  };

  G.dot = function (a, b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
  G.cross = function (a, b) {
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
  };
  G.normalize = function (v) {
    var n = Math.sqrt(G.dot(v, v));
    return n > 0 ? [v[0] / n, v[1] / n, v[2] / n] : null;
  };

  // Rotation (unit quaternion x, y, z, w) and translation to a matrix.
  G.fromPose = function (p, q) {
    var x = q[0], y = q[1], z = q[2], w = q[3];
    return [
      1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w), 0,
      2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w), 0,
      2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y), 0,
      p[0], p[1], p[2], 1
    ];
  };

  // The unit quaternion [x, y, z, w] of a matrix's rotation part.
  G.quaternion = function (m) {
    var t = m[0] + m[5] + m[10], s, q;
    if (t > 0) {
      s = Math.sqrt(t + 1) * 2;
      q = [(m[6] - m[9]) / s, (m[8] - m[2]) / s, (m[1] - m[4]) / s, s / 4];
    } else if (m[0] > m[5] && m[0] > m[10]) {
      s = Math.sqrt(1 + m[0] - m[5] - m[10]) * 2;
      q = [s / 4, (m[4] + m[1]) / s, (m[8] + m[2]) / s, (m[6] - m[9]) / s];
    } else if (m[5] > m[10]) {
      s = Math.sqrt(1 + m[5] - m[0] - m[10]) * 2;
      q = [(m[4] + m[1]) / s, s / 4, (m[9] + m[6]) / s, (m[8] - m[2]) / s];
    } else {
      s = Math.sqrt(1 + m[10] - m[0] - m[5]) * 2;
      q = [(m[8] + m[2]) / s, (m[9] + m[6]) / s, s / 4, (m[1] - m[4]) / s];
    }
    var n = Math.sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    return [q[0] / n, q[1] / n, q[2] / n, q[3] / n];
  };

  // A rotation taking -z onto the unit direction d (the shortest turn).
  G.rotationTowards = function (d) {
    // q = (cross(f, d), 1 + dot(f, d)) normalised, with f = (0, 0, -1);
    // straight back is half a turn about y.
    var w = 1 - d[2];
    var q = w < 1e-9 ? [0, 1, 0, 0] : [d[1], -d[0], 0, w];
    var n = Math.sqrt(q[0] * q[0] + q[1] * q[1] + q[3] * q[3]);
    return G.fromPose([0, 0, 0], [q[0] / n, q[1] / n, q[2] / n, q[3] / n]);
  };

  // Ray (origin o, direction d) against the plane through the origin of
  // `planeMatrix` with its y axis as normal. {distance, point, local} or
  // null (parallel, or behind the origin). distance is along d in units of
  // |d|; local is the point in the plane's own axes.
  G.rayPlane = function (o, d, planeMatrix) {
    var n = [planeMatrix[4], planeMatrix[5], planeMatrix[6]];
    var p0 = [planeMatrix[12], planeMatrix[13], planeMatrix[14]];
    var denom = G.dot(n, d);
    if (Math.abs(denom) < 1e-12) return null;
    var t = G.dot(n, [p0[0] - o[0], p0[1] - o[1], p0[2] - o[2]]) / denom;
    if (!(t >= 0)) return null;
    var point = [o[0] + d[0] * t, o[1] + d[1] * t, o[2] + d[2] * t];
    var inv = G.invert(planeMatrix);
    return { distance: t, point: point, local: inv ? G.transformPoint(inv, point) : null };
  };

  // Point (x, z) inside a polygon of [x, z] corners (either winding; on
  // the border counts as inside).
  G.pointInPolygon = function (x, z, polygon) {
    var inside = false;
    for (var i = 0, j = polygon.length - 1; i < polygon.length; j = i++) {
      var xi = polygon[i][0], zi = polygon[i][1], xj = polygon[j][0], zj = polygon[j][1];
      // On the edge from j to i.
      var cross = (xj - xi) * (z - zi) - (zj - zi) * (x - xi);
      if (Math.abs(cross) < 1e-9 && x >= Math.min(xi, xj) - 1e-9 && x <= Math.max(xi, xj) + 1e-9 &&
          z >= Math.min(zi, zj) - 1e-9 && z <= Math.max(zi, zj) + 1e-9) return true;
      if ((zi > z) !== (zj > z) && x < (xj - xi) * (z - zi) / (zj - zi) + xi) inside = !inside;
    }
    return inside;
  };

  // Ray against a plane limited to its polygon ([x, z] corners in the
  // plane's axes). As rayPlane, or null outside the polygon.
  G.rayPolygon = function (o, d, planeMatrix, polygon) {
    var hit = G.rayPlane(o, d, planeMatrix);
    if (!hit || !hit.local || !G.pointInPolygon(hit.local[0], hit.local[2], polygon)) return null;
    return hit;
  };

  // The pose of a hit: at `point`, y along the surface normal n (turned to
  // face the ray), z along the ray's backward direction flattened onto the
  // surface (so x runs across the ray).
  G.hitPose = function (point, n, d) {
    var y = G.normalize(n);
    if (G.dot(y, d) > 0) y = [-y[0], -y[1], -y[2]];
    var back = [-d[0], -d[1], -d[2]];
    var k = G.dot(back, y);
    var z = G.normalize([back[0] - y[0] * k, back[1] - y[1] * k, back[2] - y[2] * k]);
    if (!z) z = G.normalize(G.cross([1, 0, 0], y)) || [0, 0, 1];
    var x = G.cross(y, z);
    return [x[0], x[1], x[2], 0, y[0], y[1], y[2], 0, z[0], z[1], z[2], 0, point[0], point[1], point[2], 1];
  };

  // The camera-space direction through a point of the view, given in
  // normalised device coordinates (x right, y up, -1..1), from the inverse
  // projection. Unit length; null for a singular projection.
  G.screenRay = function (projection, ndcX, ndcY) {
    var inv = G.invert(projection);
    if (!inv) return null;
    var v = [inv[0] * ndcX + inv[4] * ndcY + inv[8] + inv[12], inv[1] * ndcX + inv[5] * ndcY + inv[9] + inv[13],
      inv[2] * ndcX + inv[6] * ndcY + inv[10] + inv[14]];
    var w = inv[3] * ndcX + inv[7] * ndcY + inv[11] + inv[15];
    if (w === 0) return null;
    return G.normalize([v[0] / w, v[1] / w, v[2] / w]);
  };

  // The y of local-floor's origin: the lowest horizontal, upward-facing
  // plane, else `estimate`. planes: iterable of {matrix}.
  G.floorHeight = function (planes, estimate) {
    var lowest = null;
    planes.forEach(function (p) {
      if (p.matrix[5] > 0.9 && (lowest === null || p.matrix[13] < lowest)) lowest = p.matrix[13];
    });
    return lowest === null ? estimate : lowest;
  };

  // The near and far distances a perspective projection was made with.
  G.depthRange = function (p) {
    return { near: p[14] / (p[10] - 1), far: p[14] / (p[10] + 1) };
  };

  if (typeof window === 'undefined') {
    if (typeof module === 'object' && module.exports) module.exports = G;
    return;
  }
  if ('xr' in navigator) return;

  // ---- Small helpers ----

  var FEATURES = ['viewer', 'local', 'local-floor', 'unbounded', 'hit-test', 'anchors', 'plane-detection',
    'dom-overlay'];
  var SPACE_TYPES = ['viewer', 'local', 'local-floor', 'bounded-floor', 'unbounded'];
  var MODES = ['inline', 'immersive-vr', 'immersive-ar'];
  var FLOOR_ESTIMATE = 1.5;  // metres below the first viewer pose
  var ANCHOR_ID_BASE = 700000000;  // page ids of anchors made here

  function domError(name, text) { return new DOMException(text, name); }
  function zephral() { return root.Zephral || null; }
  function warn(e) { if (root.console) console.error(e); }
  function now() { return root.performance ? performance.now() : Date.now(); }
  function f32(m) { return new Float32Array(m); }
  function dropFrom(list, item) { var i = list.indexOf(item); if (i >= 0) list.splice(i, 1); }

  // Event handler attributes (onend, onselect, ...) on an EventTarget class.
  function handlerAttributes(cls, names) {
    names.forEach(function (name) {
      var key = '_on' + name;
      Object.defineProperty(cls.prototype, 'on' + name, {
        configurable: true,
        enumerable: true,
        get: function () { return this[key] || null; },
        set: function (fn) {
          if (this[key]) this.removeEventListener(name, this[key]);
          this[key] = typeof fn === 'function' ? fn : null;
          if (this[key]) this.addEventListener(name, this[key]);
        }
      });
    });
  }

  // ---- Rigid transforms and rays ----

  class XRRigidTransform {
    constructor(position, orientation) {
      var p = position || {}, o = orientation || {};
      if (position && position.w !== undefined && position.w !== 1)
        throw new TypeError("XRRigidTransform: the position's w must be 1");
      var q = [num(o.x, 0), num(o.y, 0), num(o.z, 0), num(o.w, 1)];
      var n = Math.sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
      if (n === 0) throw domError('InvalidStateError', 'XRRigidTransform: the orientation has zero length');
      q = [q[0] / n, q[1] / n, q[2] / n, q[3] / n];
      this._m = G.fromPose([num(p.x, 0), num(p.y, 0), num(p.z, 0)], q);
      this._q = q;
    }
    static _of(m) {
      var t = Object.create(XRRigidTransform.prototype);
      t._m = m;
      return t;
    }
    get position() {
      if (!this._position) this._position = new DOMPointReadOnly(this._m[12], this._m[13], this._m[14], 1);
      return this._position;
    }
    get orientation() {
      if (!this._orientation) {
        var q = this._q || (this._q = G.quaternion(this._m));
        this._orientation = new DOMPointReadOnly(q[0], q[1], q[2], q[3]);
      }
      return this._orientation;
    }
    get matrix() {
      if (!this._matrix) this._matrix = f32(this._m);
      return this._matrix;
    }
    get inverse() {
      if (!this._inverse) {
        this._inverse = XRRigidTransform._of(G.invertRigid(this._m));
        this._inverse._inverse = this;
      }
      return this._inverse;
    }
  }

  function num(v, fallback) {
    if (v === undefined) return fallback;
    var n = Number(v);
    if (!isFinite(n)) throw new TypeError('WebXR: not a finite number: ' + v);
    return n;
  }

  class XRRay {
    constructor(a, b) {
      var o = [0, 0, 0], d = [0, 0, -1];
      if (a instanceof XRRigidTransform) {
        o = G.transformPoint(a._m, o);
        d = G.transformDirection(a._m, d);
      } else {
        if (a) {
          if (a.w !== undefined && a.w !== 1) throw new TypeError("XRRay: the origin's w must be 1");
          o = [num(a.x, 0), num(a.y, 0), num(a.z, 0)];
        }
        if (b) {
          if (b.w !== undefined && b.w !== 0) throw new TypeError("XRRay: the direction's w must be 0");
          d = [num(b.x, 0), num(b.y, 0), num(b.z, -1)];
        }
      }
      var n = G.normalize(d);
      if (!n) throw new TypeError('XRRay: the direction has zero length');
      this._o = o;
      this._d = n;
    }
    get origin() { return new DOMPointReadOnly(this._o[0], this._o[1], this._o[2], 1); }
    get direction() { return new DOMPointReadOnly(this._d[0], this._d[1], this._d[2], 0); }
    get matrix() {
      // Takes the ray (origin 0, direction -z) onto this one.
      var m = G.rotationTowards(this._d);
      m[12] = this._o[0]; m[13] = this._o[1]; m[14] = this._o[2];
      return f32(m);
    }
  }

  // ---- Spaces ----
  // Each space knows its space-to-world matrix for the session's current
  // frame state; null when it cannot be located.

  class XRSpace extends EventTarget {
    constructor(session, locate) {
      super();
      this._session = session;
      this._locate = locate;
    }
    _world() { return this._locate(this._session._state); }
  }

  class XRReferenceSpace extends XRSpace {
    getOffsetReferenceSpace(originOffset) {
      if (!(originOffset instanceof XRRigidTransform))
        throw new TypeError('getOffsetReferenceSpace needs an XRRigidTransform');
      var base = this, offset = originOffset._m;
      var space = new (Object.getPrototypeOf(this).constructor)(this._session, function () {
        var w = base._world();
        return w && G.multiply(w, offset);
      });
      space._type = this._type;
      return space;
    }
  }
  handlerAttributes(XRReferenceSpace, ['reset']);

  class XRBoundedReferenceSpace extends XRReferenceSpace {}

  class XRReferenceSpaceEvent extends Event {
    constructor(type, init) {
      super(type, init);
      this.referenceSpace = init.referenceSpace;
      this.transform = init.transform || null;
    }
  }

  // ---- Poses and views ----

  class XRPose {
    constructor(m, emulated) {
      this.transform = XRRigidTransform._of(m);
      this.emulatedPosition = !!emulated;
      this.linearVelocity = null;
      this.angularVelocity = null;
    }
  }

  class XRView {
    constructor(session, m, projection) {
      this._session = session;
      this.eye = 'none';
      this.transform = XRRigidTransform._of(m);
      this.projectionMatrix = f32(projection);
      this.recommendedViewportScale = null;
    }
    requestViewportScale() {}
  }

  class XRViewerPose extends XRPose {
    constructor(m, views) {
      super(m, false);
      this.views = Object.freeze(views);
    }
  }

  class XRViewport {
    constructor(x, y, width, height) {
      this.x = x; this.y = y; this.width = width; this.height = height;
    }
  }

  // ---- Layers ----

  var xrCompatible = new WeakSet();
  function makeXRCompatible() {
    var gl = this;
    if (gl.isContextLost()) return Promise.reject(domError('InvalidStateError', 'The WebGL context is lost'));
    xrCompatible.add(gl);
    return Promise.resolve();
  }
  [root.WebGLRenderingContext, root.WebGL2RenderingContext].forEach(function (cls) {
    if (cls && !('makeXRCompatible' in cls.prototype)) {
      Object.defineProperty(cls.prototype, 'makeXRCompatible',
        { value: makeXRCompatible, configurable: true, writable: true });
    }
  });

  function isWebGL(gl) {
    return (root.WebGLRenderingContext && gl instanceof root.WebGLRenderingContext) ||
      (root.WebGL2RenderingContext && gl instanceof root.WebGL2RenderingContext);
  }

  class XRWebGLLayer {
    constructor(session, context, init) {
      if (!(session instanceof XRSession)) throw new TypeError('XRWebGLLayer needs an XRSession');
      if (!isWebGL(context)) throw new TypeError('XRWebGLLayer needs a WebGL or WebGL 2 context');
      if (session._ended) throw domError('InvalidStateError', 'The session has ended');
      if (context.isContextLost()) throw domError('InvalidStateError', 'The WebGL context is lost');
      init = init || {};
      this._session = session;
      this.context = context;
      this.antialias = init.antialias !== false;
      this.ignoreDepthValues = true;
      this.fixedFoveation = null;
      this._scale = Math.min(Math.max(num(init.framebufferScaleFactor, 1), 0.2), 1);
      this.framebuffer = null;  // the page draws into its canvas
      this._resize(false);
    }
    static getNativeFramebufferScaleFactor(session) {
      if (!(session instanceof XRSession)) throw new TypeError('needs an XRSession');
      return session._ended ? 0 : 1;
    }
    get framebufferWidth() { return this._width; }
    get framebufferHeight() { return this._height; }
    // The window's size in device pixels, times the scale factor; the canvas
    // of an immersive session's layer in use gets it as its drawing buffer.
    _resize(applyToCanvas) {
      var ratio = root.devicePixelRatio || 1;
      this._width = Math.max(1, Math.round(root.innerWidth * ratio * this._scale));
      this._height = Math.max(1, Math.round(root.innerHeight * ratio * this._scale));
      var canvas = this.context.canvas;
      if (applyToCanvas && this._session._immersive && canvas &&
          (canvas.width !== this._width || canvas.height !== this._height)) {
        canvas.width = this._width;
        canvas.height = this._height;
      }
    }
    getViewport(view) {
      if (!(view instanceof XRView)) throw new TypeError('getViewport needs an XRView');
      if (view._session !== this._session) throw domError('InvalidStateError', 'The view is of another session');
      return new XRViewport(0, 0, this._width, this._height);
    }
  }

  // ---- Planes and anchors, shared by every session of the page ----

  var world = {
    planes: new Map(),   // native number -> XRPlane data {matrix, polygon, time}
    anchors: new Map(),  // page id -> world matrix, as last reported
    listening: false
  };

  function planeOf(p) {
    var m = p && p.modelMatrix;
    if (!m || m.length !== 16 || !m.every(isFinite)) return null;
    var v = Array.isArray(p.vertices) ? p.vertices : [];
    var polygon = [];
    for (var i = 0; i + 2 < v.length; i += 3) polygon.push([Number(v[i]), Number(v[i + 2])]);
    if (polygon.length < 3 || !polygon.every(function (c) { return isFinite(c[0]) && isFinite(c[1]); })) {
      var e = Array.isArray(p.extent) ? p.extent : [0, 0];
      var hx = Number(e[0]) / 2 || 0, hz = Number(e[1]) / 2 || 0;
      polygon = [[hx, hz], [-hx, hz], [-hx, -hz], [hx, -hz]];
    }
    return { id: p.identifier, matrix: m.map(Number), polygon: polygon };
  }

  // From page load on, so planes found before a session starts count.
  function listenToWorld() {
    var Z = zephral();
    if (!Z || world.listening) return;
    world.listening = true;
    function planes(e) { return e && Array.isArray(e.planes) ? e.planes : []; }
    function put(e) {
      var t = now();
      planes(e).forEach(function (raw) {
        var p = planeOf(raw);
        if (!p) return;
        var known = world.planes.get(p.id);
        if (known) {
          known.matrix = p.matrix; known.polygon = p.polygon; known.time = t; known.version++;
        } else {
          p.time = t; p.version = 0;
          world.planes.set(p.id, p);
        }
      });
    }
    Z.on('planesadded', put);
    Z.on('planesupdated', put);
    Z.on('planesremoved', function (e) {
      planes(e).forEach(function (raw) { if (raw) world.planes.delete(raw.identifier); });
    });
    Z.on('anchorsupdated', function (e) {
      (e && Array.isArray(e.anchors) ? e.anchors : []).forEach(function (a) {
        if (!a || typeof a.identifier !== 'number' || !Array.isArray(a.modelMatrix) || a.modelMatrix.length !== 16)
          return;
        var m = a.modelMatrix.map(Number);
        if (m.every(isFinite)) world.anchors.set(a.identifier, m);
      });
      if (activeSession) activeSession._anchorsReported();
    });
  }

  class XRPlane {
    constructor(session, data) {
      this._data = data;
      this.planeSpace = new XRSpace(session, function () { return data.matrix; });
      this._version = -1;
    }
    get orientation() {
      return this._data.matrix[5] > 0.7071 || this._data.matrix[5] < -0.7071 ? 'horizontal' : 'vertical';
    }
    get polygon() {
      if (this._version !== this._data.version) {
        this._polygon = Object.freeze(this._data.polygon.map(function (c) {
          return new DOMPointReadOnly(c[0], 0, c[1], 1);
        }));
        this._version = this._data.version;
      }
      return this._polygon;
    }
    get lastChangedTime() { return this._data.time; }
    get semanticLabel() { return undefined; }
  }

  class XRAnchor {
    constructor(session, id) {
      this._session = session;
      this._id = id;
      this._deleted = false;
      this.anchorSpace = new XRSpace(session, function () {
        return world.anchors.get(id) || null;
      });
    }
    delete() {
      if (this._deleted) return;
      this._deleted = true;
      this._session._anchors.delete(this);
      var Z = zephral();
      if (Z && !this._session._ended) Z.removeAnchor(this._id);
    }
  }

  // ---- Input sources ----

  class XRInputSource {
    constructor(session, direction) {
      var source = this;
      this._session = session;
      this._direction = direction;  // camera-space unit vector through the tap
      this.handedness = 'none';
      this.targetRayMode = 'screen';
      this.gripSpace = null;
      this.profiles = Object.freeze(['generic-touchscreen']);
      this.gamepad = null;
      this.hand = null;
      this.skipRendering = false;
      // The ray follows the camera, as a finger on the screen does.
      this.targetRaySpace = new XRSpace(session, function (state) {
        if (!state.viewer) return null;
        if (!source._ray) source._ray = G.rotationTowards(source._direction);
        return G.multiply(state.viewer, source._ray);
      });
    }
  }

  class XRInputSourceArray {
    constructor(list) { this._list = list; }
    get length() { return this._list.length; }
    [Symbol.iterator]() { return this._list[Symbol.iterator](); }
    forEach(fn, self) { this._list.forEach(fn, self); }
    entries() { return this._list.entries(); }
    keys() { return this._list.keys(); }
    values() { return this._list.values(); }
  }
  var arrayIndexed = {
    get: function (target, key) {
      if (typeof key === 'string' && /^\d+$/.test(key)) return target._list[Number(key)];
      var v = target[key];
      return typeof v === 'function' ? v.bind(target) : v;
    }
  };

  class XRInputSourceEvent extends Event {
    constructor(type, init) {
      super(type, init);
      this.frame = init.frame;
      this.inputSource = init.inputSource;
    }
  }

  class XRInputSourcesChangeEvent extends Event {
    constructor(type, init) {
      super(type, init);
      this.session = init.session;
      this.added = Object.freeze((init.added || []).slice());
      this.removed = Object.freeze((init.removed || []).slice());
    }
  }

  class XRSessionEvent extends Event {
    constructor(type, init) {
      super(type, init);
      this.session = init.session;
    }
  }

  // ---- Hit test ----

  class XRHitTestSource {
    constructor(session, space, offset, types) {
      this._session = session;
      this._space = space;
      this._offset = offset;
      this._types = types;
      this._cancelled = false;
      session._hitSources.add(this);
    }
    cancel() {
      if (this._cancelled) throw domError('InvalidStateError', 'The hit test source is already cancelled');
      this._cancelled = true;
      this._session._hitSources.delete(this);
    }
  }

  class XRTransientInputHitTestSource extends XRHitTestSource {
    constructor(session, profile, offset, types) {
      super(session, null, offset, types);
      this._profile = profile;
    }
  }

  class XRHitTestResult {
    constructor(frame, pose) {
      this._frame = frame;
      this._pose = pose;  // world matrix
    }
    getPose(baseSpace) {
      if (!(baseSpace instanceof XRSpace)) throw new TypeError('getPose needs an XRSpace');
      var base = baseSpace._world();
      return base ? new XRPose(G.multiply(G.invertRigid(base), this._pose)) : null;
    }
    createAnchor() {
      return this._frame.createAnchor(XRRigidTransform._of(this._pose), this._frame._session._worldSpace);
    }
  }

  class XRTransientInputHitTestResult {
    constructor(inputSource, results) {
      this.inputSource = inputSource;
      this.results = Object.freeze(results);
    }
  }

  // Hits of the world ray (origin o, unit direction d) on the planes,
  // nearest first.
  function hitPlanes(frame, o, d, types) {
    if (types.indexOf('plane') < 0) return [];
    var hits = [];
    world.planes.forEach(function (p) {
      var hit = G.rayPolygon(o, d, p.matrix, p.polygon);
      if (hit) hits.push(hit.distance, G.hitPose(hit.point, [p.matrix[4], p.matrix[5], p.matrix[6]], d));
    });
    var order = [];
    for (var i = 0; i < hits.length; i += 2) order.push(i);
    order.sort(function (a, b) { return hits[a] - hits[b]; });
    return order.map(function (i) { return new XRHitTestResult(frame, hits[i + 1]); });
  }

  // ---- Frames ----

  class XRFrame {
    constructor(session, animation) {
      this.session = session;
      this._session = session;
      this._active = true;
      this._animation = animation;
      this.predictedDisplayTime = session._state.time;
    }
    _check(needsAnimation) {
      if (!this._active) throw domError('InvalidStateError', 'The XRFrame is not active');
      if (needsAnimation && !this._animation)
        throw domError('InvalidStateError', 'Only an animation frame has a viewer pose');
    }
    getViewerPose(referenceSpace) {
      this._check(true);
      if (!(referenceSpace instanceof XRReferenceSpace)) throw new TypeError('getViewerPose needs an XRReferenceSpace');
      if (referenceSpace._session !== this._session)
        throw domError('InvalidStateError', 'The space is of another session');
      var s = this._session._state, base = referenceSpace._world();
      if (!s.viewer || !base) return null;
      var inv = G.invertRigid(base);
      var m = G.multiply(inv, s.viewer);
      return new XRViewerPose(m, [new XRView(this._session, m, s.projection)]);
    }
    getPose(space, baseSpace) {
      this._check(false);
      if (!(space instanceof XRSpace) || !(baseSpace instanceof XRSpace))
        throw new TypeError('getPose needs two XRSpaces');
      if (space._session !== this._session || baseSpace._session !== this._session)
        throw domError('InvalidStateError', 'The space is of another session');
      var a = space._world(), b = baseSpace._world();
      if (!a || !b) return null;
      return new XRPose(G.multiply(G.invertRigid(b), a));
    }
    getHitTestResults(source) {
      this._check(false);
      if (!(source instanceof XRHitTestSource) || source instanceof XRTransientInputHitTestSource)
        throw new TypeError('getHitTestResults needs an XRHitTestSource');
      if (source._cancelled) throw domError('InvalidStateError', 'The hit test source is cancelled');
      var w = source._space._world();
      if (!w) return [];
      var ray = G.multiply(w, source._offset);
      return hitPlanes(this, G.transformPoint(ray, [0, 0, 0]), G.normalize(G.transformDirection(ray, [0, 0, -1])),
        source._types);
    }
    getHitTestResultsForTransientInput(source) {
      this._check(false);
      if (!(source instanceof XRTransientInputHitTestSource))
        throw new TypeError('getHitTestResultsForTransientInput needs an XRTransientInputHitTestSource');
      if (source._cancelled) throw domError('InvalidStateError', 'The hit test source is cancelled');
      var frame = this, out = [];
      this._session._inputSources.forEach(function (input) {
        if (source._profile && input.profiles.indexOf(source._profile) < 0) return;
        var w = input.targetRaySpace._world();
        if (!w) return;
        var ray = G.multiply(w, source._offset);
        out.push(new XRTransientInputHitTestResult(input, hitPlanes(frame, G.transformPoint(ray, [0, 0, 0]),
          G.normalize(G.transformDirection(ray, [0, 0, -1])), source._types)));
      });
      return out;
    }
    createAnchor(pose, space) {
      var session = this._session;
      if (session._features.indexOf('anchors') < 0)
        return Promise.reject(domError('NotSupportedError', 'The session has no "anchors" feature'));
      if (!this._active) return Promise.reject(domError('InvalidStateError', 'The XRFrame is not active'));
      if (!(pose instanceof XRRigidTransform) || !(space instanceof XRSpace))
        return Promise.reject(new TypeError('createAnchor needs an XRRigidTransform and an XRSpace'));
      var base = space._world();
      if (!base) return Promise.reject(domError('InvalidStateError', 'The space cannot be located now'));
      return session._createAnchor(G.multiply(base, pose._m));
    }
    get trackedAnchors() {
      this._check(false);
      if (this._session._features.indexOf('anchors') < 0)
        throw domError('NotSupportedError', 'The session has no "anchors" feature');
      return this._session._anchors;
    }
    get detectedPlanes() {
      this._check(false);
      if (this._session._features.indexOf('plane-detection') < 0)
        throw domError('NotSupportedError', 'The session has no "plane-detection" feature');
      return this._session._planeSet();
    }
  }

  // ---- Sessions ----

  var activeSession = null;     // the immersive session running
  var sessionPending = false;   // an immersive session being set up

  class XRRenderState {
    constructor(from) {
      this.depthNear = from.depthNear;
      this.depthFar = from.depthFar;
      this.inlineVerticalFieldOfView = from.inlineVerticalFieldOfView;
      this.baseLayer = from.baseLayer;
    }
  }

  class XRSession extends EventTarget {
    constructor(mode, features, init) {
      super();
      var session = this;
      this._mode = mode;
      this._immersive = mode !== 'inline';
      this._features = Object.freeze(features);
      this._ended = false;
      this._callbacks = [];
      this._callbackId = 0;
      this._inputSources = [];
      this._pendingInput = [];
      this._hitSources = new Set();
      this._anchors = new Set();
      this._pendingAnchors = new Map();  // id -> {resolve, reject}
      this._planes = new Map();          // plane data -> XRPlane
      this._floorSpaces = [];
      this._state = { viewer: null, projection: null, time: 0, floor: null };
      this._renderState = new XRRenderState({
        depthNear: 0.1, depthFar: 1000, baseLayer: null,
        inlineVerticalFieldOfView: this._immersive ? null : Math.PI / 2
      });
      this._pendingRenderState = null;
      this._layerTimes = [];    // own work per frame, ms
      this._advanceTimes = [];  // the advanceFrame post per frame, ms
      this.environmentBlendMode = this._immersive ? 'alpha-blend' : 'opaque';
      this.interactionMode = 'screen-space';
      this.visibilityState = document.visibilityState === 'hidden' ? 'hidden' : 'visible';
      this.domOverlayState = features.indexOf('dom-overlay') >= 0 ? { type: 'screen' } : null;
      this._overlayRoot = this.domOverlayState ? init.domOverlay.root : null;
      this.inputSources = new Proxy(new XRInputSourceArray(this._inputSources), arrayIndexed);
      this._worldSpace = new XRReferenceSpace(this, function () { return G.identity(); });
      this._viewerSpace = new XRReferenceSpace(this, function (s) { return s.viewer; });
      this._onFrame = function (f) { session._frameArrived(f); };
      this._onVisibility = function () {
        var v = document.visibilityState === 'hidden' ? 'hidden' : 'visible';
        if (v === session.visibilityState) return;
        session.visibilityState = v;
        session.dispatchEvent(new XRSessionEvent('visibilitychange', { session: session }));
      };
      this._onPointer = function (e) { session._pointer(e); };
      this._onResize = function () {
        var layer = session._renderState.baseLayer;
        if (layer) layer._resize(true);
      };
    }

    get renderState() { return this._renderState; }
    get enabledFeatures() { return this._features; }
    get isSystemKeyboardSupported() { return false; }
    get frameRate() { return undefined; }
    get supportedFrameRates() { return undefined; }

    _start() {
      var Z = zephral();
      document.addEventListener('visibilitychange', this._onVisibility);
      if (!this._immersive) return;
      listenToWorld();  // Zephral may have come after this script
      Z.on('frame', this._onFrame);
      root.addEventListener('pointerdown', this._onPointer, true);
      root.addEventListener('pointerup', this._onPointer, true);
      root.addEventListener('pointercancel', this._onPointer, true);
      root.addEventListener('resize', this._onResize);
      // The clipping distances the native projection had, put back at the end.
      var last = Z.frame && Z.frame.projectionMatrix;
      this._nativeDepth = last ? G.depthRange(last) : null;
      Z.setDepthNear(this._renderState.depthNear);
      Z.setDepthFar(this._renderState.depthFar);
      this._savedStyles = [];
      this._transparent(document.documentElement);
      this._transparent(document.body);
      Z.showCameraFeed();
      Z.advanceFrame();
    }

    _saveStyle(element) {
      if (!element || this._savedStyles.some(function (s) { return s.element === element; })) return;
      this._savedStyles.push({ element: element, css: element.getAttribute('style') });
    }
    _transparent(element) {
      if (!element) return;
      this._saveStyle(element);
      element.style.setProperty('background', 'transparent', 'important');
    }
    // The canvas of an immersive session's layer fills the window.
    _showCanvas(canvas) {
      if (!canvas || !canvas.style) return;
      this._saveStyle(canvas);
      this._canvasSize = this._canvasSize || { canvas: canvas, width: canvas.width, height: canvas.height };
      var s = canvas.style;
      s.setProperty('position', 'fixed', 'important');
      s.setProperty('left', '0', 'important');
      s.setProperty('top', '0', 'important');
      s.setProperty('width', '100vw', 'important');
      s.setProperty('height', '100vh', 'important');
      s.setProperty('display', 'block', 'important');
      s.setProperty('background', 'transparent', 'important');
    }

    updateRenderState(state) {
      if (this._ended) throw domError('InvalidStateError', 'The session has ended');
      state = state || {};
      if (state.baseLayer && state.baseLayer._session !== this)
        throw domError('InvalidStateError', 'The layer belongs to another session');
      if (state.inlineVerticalFieldOfView !== undefined && state.inlineVerticalFieldOfView !== null && this._immersive)
        throw domError('InvalidStateError', 'An immersive session takes no inlineVerticalFieldOfView');
      if (state.layers !== undefined && state.layers !== null)
        throw domError('NotSupportedError', 'The session has no "layers" feature');
      var next = this._pendingRenderState || new XRRenderState(this._renderState);
      if (state.depthNear !== undefined) next.depthNear = Math.max(0, num(state.depthNear));
      if (state.depthFar !== undefined) next.depthFar = Math.max(0, num(state.depthFar));
      if (state.inlineVerticalFieldOfView !== undefined && state.inlineVerticalFieldOfView !== null)
        next.inlineVerticalFieldOfView = Math.min(Math.max(num(state.inlineVerticalFieldOfView), 0), Math.PI);
      if (state.baseLayer !== undefined) next.baseLayer = state.baseLayer;
      this._pendingRenderState = next;
    }

    _applyRenderState() {
      var next = this._pendingRenderState;
      if (!next) return;
      this._pendingRenderState = null;
      var old = this._renderState;
      this._renderState = next;
      if (!this._immersive) return;
      var Z = zephral();
      if (next.depthNear !== old.depthNear) Z.setDepthNear(next.depthNear);
      if (next.depthFar !== old.depthFar) Z.setDepthFar(next.depthFar);
      if (next.baseLayer && next.baseLayer !== old.baseLayer) {
        this._showCanvas(next.baseLayer.context.canvas);
        next.baseLayer._resize(true);
      }
    }

    requestReferenceSpace(type) {
      if (SPACE_TYPES.indexOf(type) < 0)
        return Promise.reject(new TypeError('Unknown reference space type: ' + type));
      if (this._ended) return Promise.reject(domError('InvalidStateError', 'The session has ended'));
      if (type !== 'viewer' && this._features.indexOf(type) < 0)
        return Promise.reject(domError('NotSupportedError', 'The session has no "' + type + '" reference space'));
      var space;
      if (type === 'viewer') {
        space = new XRReferenceSpace(this, function (s) { return s.viewer; });
      } else if (type === 'local-floor') {
        space = new XRReferenceSpace(this, function (s) {
          return s.floor === null ? null : [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, s.floor, 0, 1];
        });
        this._floorSpaces.push(space);
      } else {
        // The session's world; an inline session's viewer stays at its origin.
        space = new XRReferenceSpace(this, function () { return G.identity(); });
      }
      space._type = type;
      return Promise.resolve(space);
    }

    requestAnimationFrame(callback) {
      if (typeof callback !== 'function') throw new TypeError('requestAnimationFrame needs a function');
      if (this._ended) return 0;
      var id = ++this._callbackId;
      this._callbacks.push({ id: id, fn: callback });
      if (!this._immersive) this._scheduleInline();
      return id;
    }

    cancelAnimationFrame(id) {
      for (var i = 0; i < this._callbacks.length; i++) {
        if (this._callbacks[i].id === id) { this._callbacks[i].cancelled = true; this._callbacks.splice(i, 1); return; }
      }
      if (this._running) this._running.forEach(function (c) { if (c.id === id) c.cancelled = true; });
    }

    requestHitTestSource(options) {
      if (this._ended) return Promise.reject(domError('InvalidStateError', 'The session has ended'));
      if (this._features.indexOf('hit-test') < 0)
        return Promise.reject(domError('NotSupportedError', 'The session has no "hit-test" feature'));
      if (!options || !(options.space instanceof XRSpace))
        return Promise.reject(new TypeError('requestHitTestSource needs {space}'));
      var types = hitTypes(options.entityTypes);
      if (!types) return Promise.reject(new TypeError('Unknown hit test entity type'));
      if (options.offsetRay !== undefined && !(options.offsetRay instanceof XRRay))
        return Promise.reject(new TypeError('offsetRay must be an XRRay'));
      var offset = options.offsetRay ? rayMatrix(options.offsetRay) : G.identity();
      return Promise.resolve(new XRHitTestSource(this, options.space, offset, types));
    }

    requestHitTestSourceForTransientInput(options) {
      if (this._ended) return Promise.reject(domError('InvalidStateError', 'The session has ended'));
      if (this._features.indexOf('hit-test') < 0)
        return Promise.reject(domError('NotSupportedError', 'The session has no "hit-test" feature'));
      if (!options || typeof options.profile !== 'string')
        return Promise.reject(new TypeError('requestHitTestSourceForTransientInput needs {profile}'));
      var types = hitTypes(options.entityTypes);
      if (!types) return Promise.reject(new TypeError('Unknown hit test entity type'));
      if (options.offsetRay !== undefined && !(options.offsetRay instanceof XRRay))
        return Promise.reject(new TypeError('offsetRay must be an XRRay'));
      var offset = options.offsetRay ? rayMatrix(options.offsetRay) : G.identity();
      return Promise.resolve(new XRTransientInputHitTestSource(this, options.profile, offset, types));
    }

    end() {
      if (this._ended) return Promise.reject(domError('InvalidStateError', 'The session has already ended'));
      this._shutDown();
      return Promise.resolve();
    }

    // ---- Internals ----

    _shutDown() {
      if (this._ended) return;
      this._ended = true;
      var Z = zephral();
      document.removeEventListener('visibilitychange', this._onVisibility);
      if (this._immersive) {
        Z.off('frame', this._onFrame);
        root.removeEventListener('pointerdown', this._onPointer, true);
        root.removeEventListener('pointerup', this._onPointer, true);
        root.removeEventListener('pointercancel', this._onPointer, true);
        root.removeEventListener('resize', this._onResize);
        this._anchors.forEach(function (a) { a._deleted = true; Z.removeAnchor(a._id); });
        this._anchors.clear();
        this._pendingAnchors.forEach(function (p, id) {
          Z.removeAnchor(id);
          p.reject(domError('InvalidStateError', 'The session ended before the anchor was placed'));
        });
        this._pendingAnchors.clear();
        var depth = this._nativeDepth;
        if (depth && depth.near > 0 && depth.far > depth.near && isFinite(depth.far)) {
          Z.setDepthNear(this._nativeDepth.near);
          Z.setDepthFar(this._nativeDepth.far);
        }
        Z.hideCameraFeed();
        (this._savedStyles || []).forEach(function (s) {
          // Reading the attribute first brings it up to date with the
          // inline style changed above: without that, this engine writes
          // the changed style back into a removed attribute later.
          s.element.getAttribute('style');
          if (s.css) s.element.setAttribute('style', s.css); else s.element.removeAttribute('style');
        });
        if (this._canvasSize) {
          var c = this._canvasSize;
          if (c.canvas.width !== c.width) c.canvas.width = c.width;
          if (c.canvas.height !== c.height) c.canvas.height = c.height;
        }
        activeSession = null;
      }
      this._hitSources.forEach(function (s) { s._cancelled = true; });
      this._hitSources.clear();
      this._callbacks = [];
      var removed = this._inputSources.splice(0);
      if (removed.length)
        this.dispatchEvent(new XRInputSourcesChangeEvent('inputsourceschange',
          { session: this, added: [], removed: removed }));
      this.dispatchEvent(new XRSessionEvent('end', { session: this }));
    }

    // Each frame call runs the session's frame at once: the native side
    // draws the camera image of that pose at its next display tick, and the
    // page's drawing goes out with the same composition (a page view that is
    // not on screen runs no window animation frames at all).
    _frameArrived(f) {
      if (this._ended || !f || !f.viewMatrix || f.viewMatrix.length !== 16 || !f.projectionMatrix ||
          f.projectionMatrix.length !== 16) return;
      this._tick(f);
    }

    _tick(f) {
      var start = now(), Z = zephral();
      var s = this._state;
      var view = Array.prototype.slice.call(f.viewMatrix);
      var viewer = G.invert(view);
      var tracking = Z.trackingState;
      s.viewer = viewer && tracking !== 'Not Available' ? viewer : null;
      s.projection = Array.prototype.slice.call(f.projectionMatrix);
      s.time = f.time || start;
      if (s.viewer) this._updateFloor(s);
      this._applyRenderState();
      var frame = new XRFrame(this, false);
      this._dispatchInput(frame);
      frame._active = false;
      var running = this._running = this._callbacks;
      this._callbacks = [];
      var layerTime = now() - start;
      if (this._renderState.baseLayer) {
        var animation = new XRFrame(this, true);
        for (var i = 0; i < running.length; i++) {
          if (running[i].cancelled) continue;
          try { running[i].fn(s.time, animation); } catch (e) { warn(e); }
          if (this._ended) break;
        }
        animation._active = false;
      } else {
        // Without a layer nothing is shown: the callbacks wait for one.
        this._callbacks = running.concat(this._callbacks);
      }
      this._running = null;
      var tail = now();
      if (!this._ended) Z.advanceFrame();
      this._advanceTimes.push(now() - tail);
      this._layerTimes.push(layerTime);
      if (this._layerTimes.length > 600) {
        this._layerTimes.splice(0, 300);
        this._advanceTimes.splice(0, 300);
      }
    }

    _updateFloor(s) {
      var before = s.floor;
      if (this._floorEstimate === undefined) this._floorEstimate = s.viewer[13] - FLOOR_ESTIMATE;
      s.floor = G.floorHeight(world.planes, this._floorEstimate);
      if (before !== null && before !== s.floor) {
        var shift = XRRigidTransform._of([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, before - s.floor, 0, 1]);
        this._floorSpaces.forEach(function (space) {
          space.dispatchEvent(new XRReferenceSpaceEvent('reset', { referenceSpace: space, transform: shift }));
        });
      }
    }

    _pointer(e) {
      if (e.pointerType === 'mouse' && e.button !== 0) return;
      if (e.type === 'pointerdown') {
        // The page may keep a press on its overlay for itself.
        var before = new Event('beforexrselect', { bubbles: true, cancelable: true });
        if (e.target && e.target.dispatchEvent && !e.target.dispatchEvent(before)) return;
      }
      var w = root.innerWidth || 1, h = root.innerHeight || 1;
      this._pendingInput.push({
        type: e.type, pointer: e.pointerId, x: 2 * e.clientX / w - 1, y: 1 - 2 * e.clientY / h
      });
    }

    // Presses since the last frame: a transient input source appears at the
    // press and goes at the release.
    _dispatchInput(frame) {
      var queue = this._pendingInput;
      if (!queue.length) return;
      this._pendingInput = [];
      this._pressed = this._pressed || new Map();
      for (var i = 0; i < queue.length && !this._ended; i++) {
        var p = queue[i], source = this._pressed.get(p.pointer);
        if (p.type === 'pointerdown') {
          if (source || !this._state.projection) continue;
          var d = G.screenRay(this._state.projection, p.x, p.y);
          if (!d) continue;
          source = new XRInputSource(this, d);
          this._pressed.set(p.pointer, source);
          this._inputSources.push(source);
          this.dispatchEvent(new XRInputSourcesChangeEvent('inputsourceschange',
            { session: this, added: [source], removed: [] }));
          this._fire('selectstart', frame, source);
        } else if (source) {
          this._pressed.delete(p.pointer);
          if (p.type === 'pointerup') this._fire('select', frame, source);
          this._fire('selectend', frame, source);
          dropFrom(this._inputSources, source);
          this.dispatchEvent(new XRInputSourcesChangeEvent('inputsourceschange',
            { session: this, added: [], removed: [source] }));
        }
      }
    }

    _fire(type, frame, source) {
      try {
        this.dispatchEvent(new XRInputSourceEvent(type, { frame: frame, inputSource: source }));
      } catch (e) { warn(e); }
    }

    _createAnchor(matrix) {
      var Z = zephral(), session = this;
      var id = ANCHOR_ID_BASE + (anchorCounter++);
      return new Promise(function (resolve, reject) {
        session._pendingAnchors.set(id, { resolve: resolve, reject: reject });
        try {
          Z.addAnchor(id, matrix);
        } catch (e) {
          session._pendingAnchors.delete(id);
          reject(domError('OperationError', 'The anchor was refused: ' + e.message));
        }
      });
    }

    // The native side reported anchors: settle the ones it now knows.
    _anchorsReported() {
      var session = this;
      this._pendingAnchors.forEach(function (p, id) {
        if (!world.anchors.has(id)) return;
        session._pendingAnchors.delete(id);
        var anchor = new XRAnchor(session, id);
        session._anchors.add(anchor);
        p.resolve(anchor);
      });
    }

    _planeSet() {
      var set = new Set(), planes = this._planes, session = this;
      world.planes.forEach(function (data) {
        var p = planes.get(data);
        if (!p) planes.set(data, p = new XRPlane(session, data));
        set.add(p);
      });
      planes.forEach(function (p, data) { if (!set.has(p)) planes.delete(data); });
      return set;
    }

    _scheduleInline() {
      if (this._scheduled) return;
      this._scheduled = true;
      var session = this;
      root.requestAnimationFrame(function (t) {
        session._scheduled = false;
        if (session._ended) return;
        session._applyRenderState();
        var s = session._state, fov = session._renderState.inlineVerticalFieldOfView;
        var layer = session._renderState.baseLayer, aspect = layer ? layer._width / layer._height : 1;
        var near = session._renderState.depthNear, far = session._renderState.depthFar, f = 1 / Math.tan(fov / 2);
        s.viewer = G.identity();
        s.projection = [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1, 0, 0,
          2 * far * near / (near - far), 0];
        s.time = t;
        var running = session._callbacks;
        session._callbacks = [];
        var frame = new XRFrame(session, true);
        running.forEach(function (c) { if (!c.cancelled) try { c.fn(t, frame); } catch (e) { warn(e); } });
        frame._active = false;
      });
    }

    // The layer's own time per frame in milliseconds (reading the frame
    // call, input, render state; not the page's callbacks, not the
    // advanceFrame post, which is the page API's), over the last few hundred
    // frames, and the advanceFrame post's. Where performance.now() ticks in
    // whole milliseconds single times are 0 or 1; the mean, and the median
    // of the means of 20-frame batches, still hold.
    _layerStats() {
      function stats(times) {
        var n = times.length, batches = [];
        var sorted = times.slice().sort(function (a, b) { return a - b; });
        for (var i = 0; i + 20 <= n; i += 20) {
          var b = 0;
          for (var j = i; j < i + 20; j++) b += times[j];
          batches.push(b / 20);
        }
        batches.sort(function (a, b) { return a - b; });
        return { medianMs: n ? sorted[n >> 1] : 0, meanMs: n ? times.reduce(function (a, b) { return a + b; }, 0) / n : 0,
          batchMedianMs: batches.length ? batches[batches.length >> 1] : null, maxMs: n ? sorted[n - 1] : 0 };
      }
      var own = stats(this._layerTimes);
      own.frames = this._layerTimes.length;
      own.advanceFrame = stats(this._advanceTimes);
      return own;
    }
  }
  handlerAttributes(XRSession, ['end', 'visibilitychange', 'inputsourceschange', 'select', 'selectstart',
    'selectend', 'squeeze', 'squeezestart', 'squeezeend', 'frameratechange']);

  var anchorCounter = 1;

  function hitTypes(types) {
    var list = types === undefined ? ['plane'] : Array.prototype.slice.call(types);
    for (var i = 0; i < list.length; i++) if (['point', 'plane', 'mesh'].indexOf(list[i]) < 0) return null;
    return list;
  }

  function rayMatrix(ray) {
    var m = G.rotationTowards(ray._d);
    m[12] = ray._o[0]; m[13] = ray._o[1]; m[14] = ray._o[2];
    return m;
  }

  // ---- navigator.xr ----

  class XRSystem extends EventTarget {
    isSessionSupported(mode) {
      if (MODES.indexOf(mode) < 0) return Promise.reject(new TypeError('Unknown session mode: ' + mode));
      return Promise.resolve(mode === 'inline' || (mode === 'immersive-ar' && !!zephral()));
    }

    requestSession(mode, init) {
      if (MODES.indexOf(mode) < 0) return Promise.reject(new TypeError('Unknown session mode: ' + mode));
      init = init || {};
      var immersive = mode !== 'inline';
      if (immersive && (activeSession || sessionPending))
        return Promise.reject(domError('InvalidStateError', 'An immersive session is already running'));
      if (mode === 'immersive-vr' || (immersive && !zephral()))
        return Promise.reject(domError('NotSupportedError', 'The session mode ' + mode + ' is not supported'));
      var supported = immersive ? FEATURES : ['viewer', 'local'];
      var features = immersive ? ['viewer', 'local'] : ['viewer'];
      var required = init.requiredFeatures ? Array.prototype.slice.call(init.requiredFeatures).map(String) : [];
      var optional = init.optionalFeatures ? Array.prototype.slice.call(init.optionalFeatures).map(String) : [];
      var hasRoot = init.domOverlay && root.Element && init.domOverlay.root instanceof root.Element;
      for (var i = 0; i < required.length; i++) {
        var r = required[i];
        if (supported.indexOf(r) < 0 || (r === 'dom-overlay' && !hasRoot))
          return Promise.reject(domError('NotSupportedError', 'The feature ' + r + ' is not supported'));
        if (features.indexOf(r) < 0) features.push(r);
      }
      optional.forEach(function (o) {
        if (supported.indexOf(o) >= 0 && features.indexOf(o) < 0 && (o !== 'dom-overlay' || hasRoot)) features.push(o);
      });
      var session = new XRSession(mode, features, init);
      if (!immersive) {
        session._start();
        return Promise.resolve(session);
      }
      sessionPending = true;
      return Promise.resolve().then(function () {
        sessionPending = false;
        activeSession = session;
        session._start();
        return session;
      });
    }

    // The layer's own work per frame of the running session (or null):
    // {frames, medianMs, maxMs}.
    tevraLayerStats() { return activeSession ? activeSession._layerStats() : null; }
  }
  handlerAttributes(XRSystem, ['devicechange']);

  listenToWorld();
  var xr = new XRSystem();
  Object.defineProperty(Navigator.prototype, 'xr', {
    configurable: true, enumerable: true, get: function () { return xr; }
  });

  // The page closing ends the session (nothing is left shown natively).
  root.addEventListener('pagehide', function () { if (activeSession) activeSession._shutDown(); });

  [XRSystem, XRSession, XRRenderState, XRFrame, XRSpace, XRReferenceSpace, XRBoundedReferenceSpace, XRView,
    XRViewport, XRRigidTransform, XRPose, XRViewerPose, XRInputSource, XRInputSourceArray, XRWebGLLayer,
    XRHitTestSource, XRTransientInputHitTestSource, XRHitTestResult, XRTransientInputHitTestResult, XRRay,
    XRAnchor, XRPlane, XRSessionEvent, XRInputSourceEvent, XRInputSourcesChangeEvent, XRReferenceSpaceEvent
  ].forEach(function (cls) {
    if (!(cls.name in root)) Object.defineProperty(root, cls.name, { value: cls, configurable: true, writable: true });
  });
})(typeof window !== 'undefined' ? window : globalThis);
