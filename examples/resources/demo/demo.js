/*
 * The bundled demo page: plain WebGL over the camera image.
 *
 * Draws a cyan grid on every detected plane and a magenta cube on every
 * anchor, with the projection and view matrices of the newest frame call.
 * Paces with "advanceFrame": the next frame is asked for only after this one
 * is drawn, so one frame call is in flight at a time.
 *
 * Query parameters (all optional):
 *   sign=URL digit=URL        model archives: sends "prepare_models" with both,
 *                             then "turn_on"
 *   signName=, digitName=     registry names of the two models
 *   signConf=, digitConf=     score thresholds (default 0.4 and 0.5)
 *   vps=URL token=T           once tracking is "Normal", asks the VPS server
 *                             for a fix every `every` seconds (default 3)
 *   anchor=1                  adds one anchor in front of the camera as soon
 *                             as tracking is "Normal", anchorDistance metres
 *                             away (default 1.5)
 *
 * window.demo.state() reports what the page has seen (used by the host tests);
 * tevra-host's headless report prints it (the "tevra:report" event).
 */
(function () {
  'use strict';

  var params = new URLSearchParams(window.location.search);
  var Z = window.Zephral;
  var $ = function (id) { return document.getElementById(id); };

  // ---- Column-major 4x4 matrices ----
  function mul(a, b) {
    var o = new Float32Array(16);
    for (var c = 0; c < 4; c++)
      for (var r = 0; r < 4; r++) {
        var s = 0;
        for (var k = 0; k < 4; k++) s += a[k * 4 + r] * b[c * 4 + k];
        o[c * 4 + r] = s;
      }
    return o;
  }
  function translation(x, y, z) {
    return new Float32Array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, y, z, 1]);
  }
  function rotationY(a) {
    var c = Math.cos(a), s = Math.sin(a);
    return new Float32Array([c, 0, -s, 0, 0, 1, 0, 0, s, 0, c, 0, 0, 0, 0, 1]);
  }
  function rotationX(a) {
    var c = Math.cos(a), s = Math.sin(a);
    return new Float32Array([1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0, 0, 1]);
  }
  // Cubes are turned on their anchors so that three faces show.
  var cubeTurn = mul(rotationY(0.6), rotationX(0.45));
  // Inverse of a rigid transform (rotation and translation only).
  function rigidInverse(m) {
    var o = new Float32Array(16);
    for (var c = 0; c < 3; c++)
      for (var r = 0; r < 3; r++) o[c * 4 + r] = m[r * 4 + c];
    for (var r2 = 0; r2 < 3; r2++)
      o[12 + r2] = -(o[r2] * m[12] + o[4 + r2] * m[13] + o[8 + r2] * m[14]);
    o[15] = 1;
    return o;
  }

  // ---- State ----
  var state = {
    webgl: false,
    frames: 0,
    acknowledged: 0,
    tracking: null,
    reason: null,
    cameraShown: true,
    vpsRequests: 0,
    vpsAnswers: 0,
    vpsErrors: 0,
    detectedFloor: null,
    lastAnswer: null,
    modelsRequested: false,
    anchorsAdded: 0
  };
  var frame = null;            // newest frame call
  var planes = {};             // identifier -> {matrix, extent, mesh}
  var pageAnchors = {};        // page id -> model matrix
  var otherAnchors = [];       // anchors without a page id (taps)
  var nextAnchorId = 1;

  // ---- WebGL ----
  var canvas = $('scene');
  var gl = null;
  try {
    gl = canvas.getContext('webgl', { alpha: true, premultipliedAlpha: true, antialias: false,
                                      preserveDrawingBuffer: false });
  } catch (e) { gl = null; }
  var program = null, uMvp = null, uColor = null, aPos = null, aShade = null, cube = null;

  function compile(type, source) {
    var s = gl.createShader(type);
    gl.shaderSource(s, source);
    gl.compileShader(s);
    if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(s));
    return s;
  }

  function mesh(positions, shades) {
    var b = gl.createBuffer();
    var data = new Float32Array(positions.length / 3 * 4);
    for (var i = 0, j = 0; i < positions.length; i += 3, j++) {
      data[j * 4] = positions[i];
      data[j * 4 + 1] = positions[i + 1];
      data[j * 4 + 2] = positions[i + 2];
      data[j * 4 + 3] = shades ? shades[j] : 1;
    }
    gl.bindBuffer(gl.ARRAY_BUFFER, b);
    gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
    return { buffer: b, count: positions.length / 3 };
  }

  // A quad in the plane's xz plane, lifted 1 mm off it.
  function pushQuad(out, x0, z0, x1, z1) {
    var y = 0.001;
    out.push(x0, y, z0, x1, y, z0, x1, y, z1, x0, y, z0, x1, y, z1, x0, y, z1);
  }

  // Grid lines every 10 cm across the plane rectangle, 1.5 cm wide, plus the
  // border, as triangles; the fill is a separate translucent quad.
  function planeMeshes(ex, ez) {
    var hx = ex / 2, hz = ez / 2, w = 0.0075, lines = [], fill = [];
    var step = 0.1;
    for (var x = -hx; x <= hx + 1e-6; x += step) pushQuad(lines, x - w, -hz, x + w, hz);
    for (var z = -hz; z <= hz + 1e-6; z += step) pushQuad(lines, -hx, z - w, hx, z + w);
    pushQuad(lines, hx - 2 * w, -hz, hx, hz);
    pushQuad(lines, -hx, hz - 2 * w, hx, hz);
    pushQuad(fill, -hx, -hz, hx, hz);
    return { lines: mesh(lines), fill: mesh(fill) };
  }

  // A 10 cm cube centred on its anchor, each face shaded differently.
  function cubeMesh() {
    var s = 0.05, p = [], shade = [];
    var faces = [
      [[1, -1, -1], [1, 1, -1], [1, 1, 1], [1, -1, 1], 0.85],
      [[-1, -1, 1], [-1, 1, 1], [-1, 1, -1], [-1, -1, -1], 0.7],
      [[-1, 1, -1], [-1, 1, 1], [1, 1, 1], [1, 1, -1], 1.0],
      [[-1, -1, 1], [-1, -1, -1], [1, -1, -1], [1, -1, 1], 0.55],
      [[-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1], 0.9],
      [[1, -1, -1], [-1, -1, -1], [-1, 1, -1], [1, 1, -1], 0.75]
    ];
    faces.forEach(function (f) {
      [0, 1, 2, 0, 2, 3].forEach(function (i) {
        p.push(f[i][0] * s, f[i][1] * s, f[i][2] * s);
        shade.push(f[4]);
      });
    });
    return mesh(p, shade);
  }

  if (gl) {
    try {
      program = gl.createProgram();
      gl.attachShader(program, compile(gl.VERTEX_SHADER,
        'attribute vec4 aPos; uniform mat4 uMvp; varying float vShade;' +
        'void main() { vShade = aPos.w; gl_Position = uMvp * vec4(aPos.xyz, 1.0); }'));
      gl.attachShader(program, compile(gl.FRAGMENT_SHADER,
        'precision mediump float; uniform vec4 uColor; varying float vShade;' +
        'void main() { gl_FragColor = vec4(uColor.rgb * vShade * uColor.a, uColor.a); }'));
      gl.linkProgram(program);
      if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
      aPos = gl.getAttribLocation(program, 'aPos');
      uMvp = gl.getUniformLocation(program, 'uMvp');
      uColor = gl.getUniformLocation(program, 'uColor');
      cube = cubeMesh();
      state.webgl = true;
    } catch (e) {
      Z && Z.log('demo: WebGL set-up failed: ' + e.message);
      gl = null;
    }
  }

  function resize() {
    var ratio = window.devicePixelRatio || 1;
    var w = Math.max(1, Math.round(canvas.clientWidth * ratio));
    var h = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
  }

  function drawMesh(m, mvp, r, g, b, a) {
    gl.bindBuffer(gl.ARRAY_BUFFER, m.buffer);
    gl.vertexAttribPointer(aPos, 4, gl.FLOAT, false, 16, 0);
    gl.uniformMatrix4fv(uMvp, false, mvp);
    gl.uniform4f(uColor, r, g, b, a);
    gl.drawArrays(gl.TRIANGLES, 0, m.count);
  }

  function draw() {
    if (!gl) return;
    resize();
    gl.viewport(0, 0, canvas.width, canvas.height);
    gl.clearColor(0, 0, 0, 0);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    if (!frame) return;
    var vp = mul(frame.projectionMatrix, frame.viewMatrix);
    gl.useProgram(program);
    gl.enableVertexAttribArray(aPos);
    gl.enable(gl.BLEND);
    gl.blendFunc(gl.ONE, gl.ONE_MINUS_SRC_ALPHA);

    gl.disable(gl.DEPTH_TEST);
    Object.keys(planes).forEach(function (id) {
      var p = planes[id];
      var mvp = mul(vp, p.matrix);
      drawMesh(p.mesh.fill, mvp, 0, 1, 1, 0.18);
      drawMesh(p.mesh.lines, mvp, 0, 1, 1, 1);
    });

    gl.enable(gl.DEPTH_TEST);
    gl.depthFunc(gl.LEQUAL);
    var cubes = otherAnchors.slice();
    Object.keys(pageAnchors).forEach(function (id) { cubes.push(pageAnchors[id]); });
    cubes.forEach(function (m) { drawMesh(cube, mul(vp, mul(m, cubeTurn)), 1, 0, 1, 1); });
  }

  // ---- Frames: draw, then ask for the next one ----
  Z.on('frame', function (f) {
    frame = { projectionMatrix: new Float32Array(f.projectionMatrix), viewMatrix: new Float32Array(f.viewMatrix) };
    state.frames++;
    $('frames').textContent = state.frames;
    try { draw(); } finally {
      Z.advanceFrame();
      state.acknowledged++;
    }
  });

  // ---- Planes and anchors ----
  function matrixOf(list) { return new Float32Array(list); }
  function storePlanes(e) {
    (e.planes || []).forEach(function (p) {
      var old = planes[p.identifier];
      var ex = p.extent[0], ez = p.extent[1];
      var entry = { matrix: matrixOf(p.modelMatrix), extent: [ex, ez], mesh: old && old.mesh };
      if (gl && (!old || old.extent[0] !== ex || old.extent[1] !== ez)) entry.mesh = planeMeshes(ex, ez);
      planes[p.identifier] = entry;
    });
    showCounts();
  }
  Z.on('planesadded', storePlanes);
  Z.on('planesupdated', storePlanes);
  Z.on('planesremoved', function (e) {
    (e.planes || []).forEach(function (p) { delete planes[p.identifier]; });
    showCounts();
  });
  Z.on('anchorsupdated', function (e) {
    var untracked = [];
    (e.anchors || []).forEach(function (a) {
      if (a.identifier === null || a.identifier === undefined) untracked.push(matrixOf(a.modelMatrix));
      else if (pageAnchors[a.identifier]) pageAnchors[a.identifier] = matrixOf(a.modelMatrix);
    });
    // Each report names every anchor alive that has no page id.
    if (untracked.length) otherAnchors = untracked;
    showCounts();
  });

  function showCounts() {
    $('planes').textContent = Object.keys(planes).length;
    $('anchors').textContent = Object.keys(pageAnchors).length + otherAnchors.length;
  }

  // Half a metre in front of the camera of the newest frame, with its orientation.
  function addAnchorInFront(distance) {
    if (!frame) return false;
    var camera = rigidInverse(frame.viewMatrix);
    var m = mul(camera, translation(0, 0, -(distance || 0.5)));
    var id = nextAnchorId++;
    pageAnchors[id] = m;
    Z.addAnchor(id, m);
    state.anchorsAdded++;
    showCounts();
    return id;
  }

  function removeAnchors() {
    Object.keys(pageAnchors).forEach(function (id) { Z.removeAnchor(Number(id)); });
    pageAnchors = {};
    showCounts();
  }

  function reset() {
    Z.resetPose();
    planes = {};
    pageAnchors = {};
    otherAnchors = [];
    showCounts();
  }

  function setCameraShown(shown) {
    state.cameraShown = shown;
    if (shown) Z.showCameraFeed(); else Z.hideCameraFeed();
    $('camera').textContent = shown ? 'Hide camera' : 'Show camera';
  }

  $('add').onclick = function () { addAnchorInFront(0.5); };
  $('remove').onclick = removeAnchors;
  $('reset').onclick = reset;
  $('camera').onclick = function () { setCameraShown(!state.cameraShown); };
  $('haptic').onclick = function () { Z.haptic('medium'); };

  // ---- Tracking, models and VPS ----
  var vpsURL = params.get('vps');
  var vpsEvery = Math.max(0.5, Number(params.get('every')) || 3) * 1000;
  var vpsTimer = null;
  var anchorPending = params.get('anchor') === '1';
  var anchorDistance = Number(params.get('anchorDistance')) || 1.5;

  function askVPS() {
    state.vpsRequests++;
    var meta = { intrinsics: { width: 0 }, request: state.vpsRequests, client: 'tevra-demo' };
    window.UnityBridge.requestVPS(vpsURL, meta, { token: params.get('token') || '', timeoutMs: 15000 })
      .then(function (answer) {
        state.vpsAnswers++;
        state.lastAnswer = answer;
        var attributes = answer && answer.data && answer.data.attributes;
        var floor = attributes ? attributes.detected_floor : undefined;
        if (floor !== undefined && floor !== null) state.detectedFloor = floor;
        $('floor').textContent = state.detectedFloor === null ? '\u2013' : state.detectedFloor;
        $('vps').textContent = 'VPS answers ' + state.vpsAnswers +
          (attributes && attributes.floor_detector ? ' (' + attributes.floor_detector + ')' : '');
      }, function (error) {
        state.vpsErrors++;
        $('vps').textContent = 'VPS: ' + error.message;
      });
  }

  Z.on('trackingstate', function (t) {
    state.tracking = t.state;
    state.reason = t.reason;
    $('tracking').textContent = (t.state || 'unknown') + (t.reason ? ' (' + t.reason + ')' : '');
    if (t.state !== 'Normal') return;
    if (vpsURL && !vpsTimer && window.UnityBridge) {
      $('vps').textContent = 'asking ' + vpsURL;
      askVPS();
      vpsTimer = setInterval(askVPS, vpsEvery);
    }
  });

  // The first frame with normal tracking places the requested anchor.
  Z.on('frame', function () {
    if (anchorPending && state.tracking === 'Normal' && addAnchorInFront(anchorDistance)) anchorPending = false;
  });

  // Each model's download start and end, as "name:state".
  state.modelEvents = [];
  ['modelprogress', 'modelready', 'modelfailed'].forEach(function (type) {
    Z.on(type, function (m) { state.modelEvents.push(m.name + ':' + m.state); });
  });

  function prepareModels() {
    var sign = params.get('sign'), digit = params.get('digit');
    if (!sign || !digit) return;
    Z.detection({
      command: 'prepare_models',
      models: [
        { name: params.get('signName') || 'yolo26n_sign_640', url: sign, model_function: 'sign_detection',
          conf_threshold: Number(params.get('signConf')) || 0.4 },
        { name: params.get('digitName') || 'yolo26n_digit_640', url: digit, model_function: 'digit_detection',
          conf_threshold: Number(params.get('digitConf')) || 0.5 }
      ]
    });
    Z.detection({ command: 'turn_on' });
    state.modelsRequested = true;
  }

  window.demo = {
    state: function () {
      var s = {};
      Object.keys(state).forEach(function (k) { s[k] = state[k]; });
      s.planes = Object.keys(planes).length;
      s.pageAnchors = Object.keys(pageAnchors).length;
      s.otherAnchors = otherAnchors.length;
      s.projection = frame ? Array.prototype.slice.call(frame.projectionMatrix) : null;
      return s;
    },
    addAnchorInFront: addAnchorInFront,
    removeAnchors: removeAnchors,
    reset: reset,
    setCameraShown: setCameraShown
  };

  // tevra-host's headless report: the listener fills in the event's detail.
  window.addEventListener('tevra:report', function (e) {
    var s = window.demo.state();
    Object.keys(s).forEach(function (k) { e.detail[k] = s[k]; });
  });

  if (!state.webgl) $('loop').textContent = 'WebGL is not available: nothing is drawn';
  setCameraShown(true);
  prepareModels();
  Z.advanceFrame();
})();
