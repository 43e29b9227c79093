/*
 * A page written straight against navigator.xr, with plain WebGL: an
 * immersive-ar session with hit test, anchors, plane detection and a DOM
 * overlay. A square ring marks where the view's ray meets a plane; a tap
 * (select) places an anchor there, drawn as a wire cube; detected planes
 * are outlined.
 *
 * Query parameters: aim=DEG tilts the ray below the view's centre; start=1
 * enters AR as soon as the button is enabled (headless runs).
 * window.xrTest.state() reports what the page has seen (used by the tests).
 */
(function () {
  'use strict';
  var params = new URLSearchParams(location.search);
  var aim = (Number(params.get('aim')) || 0) * Math.PI / 180;
  var canvas = document.getElementById('scene');
  var button = document.getElementById('enter');
  var status = document.getElementById('status');
  var gl = canvas.getContext('webgl', { alpha: true, antialias: true });

  var state = { session: false, frames: 0, reticle: null, reticleViewer: null, selects: 0, anchorsPlaced: 0,
    anchors: [], planes: [], transientHits: [], errors: [] };

  // ---- Lines in one colour per draw ----
  var program = (function () {
    function shader(type, text) {
      var s = gl.createShader(type);
      gl.shaderSource(s, text);
      gl.compileShader(s);
      return s;
    }
    var p = gl.createProgram();
    gl.attachShader(p, shader(gl.VERTEX_SHADER,
      'attribute vec3 a; uniform mat4 m; void main() { gl_Position = m * vec4(a, 1.0); }'));
    gl.attachShader(p, shader(gl.FRAGMENT_SHADER,
      'precision mediump float; uniform vec4 c; void main() { gl_FragColor = c; }'));
    gl.linkProgram(p);
    return p;
  })();
  var buffer = gl.createBuffer();

  function mul(a, b) {
    var o = new Float32Array(16);
    for (var c = 0; c < 4; c++)
      for (var r = 0; r < 4; r++)
        o[c * 4 + r] = a[r] * b[c * 4] + a[4 + r] * b[c * 4 + 1] + a[8 + r] * b[c * 4 + 2] + a[12 + r] * b[c * 4 + 3];
    return o;
  }
  function lines(points, matrix, rgba) {
    gl.useProgram(program);
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ARRAY_BUFFER, new Float32Array(points), gl.STREAM_DRAW);
    var a = gl.getAttribLocation(program, 'a');
    gl.enableVertexAttribArray(a);
    gl.vertexAttribPointer(a, 3, gl.FLOAT, false, 0, 0);
    gl.uniformMatrix4fv(gl.getUniformLocation(program, 'm'), false, matrix);
    gl.uniform4fv(gl.getUniformLocation(program, 'c'), rgba);
    gl.drawArrays(gl.LINES, 0, points.length / 3);
  }
  function loop(corners) {
    var out = [];
    for (var i = 0; i < corners.length; i++) out = out.concat(corners[i], corners[(i + 1) % corners.length]);
    return out;
  }
  var square = loop([[0.15, 0, 0.15], [-0.15, 0, 0.15], [-0.15, 0, -0.15], [0.15, 0, -0.15]]);
  var cube = (function () {
    var s = 0.075, out = loop([[s, 0, s], [-s, 0, s], [-s, 0, -s], [s, 0, -s]]);
    out = out.concat(loop([[s, 2 * s, s], [-s, 2 * s, s], [-s, 2 * s, -s], [s, 2 * s, -s]]));
    [[s, s], [-s, s], [-s, -s], [s, -s]].forEach(function (c) { out = out.concat([c[0], 0, c[1], c[0], 2 * s, c[1]]); });
    return out;
  })();

  // ---- The session ----
  var session = null, local = null, hitSource = null, tapSource = null, reticlePose = null;
  var placed = [];

  function start() {
    state.requests = (state.requests || 0) + 1;
    navigator.xr.requestSession('immersive-ar', {
      requiredFeatures: ['hit-test', 'anchors'],
      optionalFeatures: ['plane-detection', 'dom-overlay', 'local-floor'],
      domOverlay: { root: document.getElementById('bar') }
    }).then(function (s) {
      session = s;
      state.session = true;
      button.textContent = 'Exit AR';
      return gl.makeXRCompatible().then(function () {
        s.updateRenderState({ baseLayer: new XRWebGLLayer(s, gl), depthNear: 0.05, depthFar: 50 });
        return Promise.all([s.requestReferenceSpace('local'), s.requestReferenceSpace('viewer')]);
      }).then(function (spaces) {
        local = spaces[0];
        var ray = new XRRay({ x: 0, y: 0, z: 0 }, { x: 0, y: -Math.sin(aim), z: -Math.cos(aim) });
        return Promise.all([s.requestHitTestSource({ space: spaces[1], offsetRay: ray }),
          s.requestHitTestSourceForTransientInput({ profile: 'generic-touchscreen' })]);
      }).then(function (sources) {
        hitSource = sources[0];
        tapSource = sources[1];
        s.addEventListener('select', onSelect);
        s.addEventListener('end', onEnd);
        s.requestAnimationFrame(onFrame);
      });
    }).catch(function (e) { state.errors.push(String(e)); status.textContent = String(e); });
  }

  function onSelect(e) {
    state.selects++;
    var hits = e.frame.getHitTestResultsForTransientInput(tapSource);
    if (hits.length && hits[0].results.length) {
      state.transientHits.push(Array.from(hits[0].results[0].getPose(local).transform.matrix));
    }
    if (!reticlePose) return;
    // The anchor goes where the ring is, through the event's frame.
    e.frame.createAnchor(new XRRigidTransform(reticlePose.position, reticlePose.orientation), local)
      .then(function (anchor) { placed.push(anchor); state.anchorsPlaced++; },
        function (err) { state.errors.push(String(err)); });
  }

  function onEnd() {
    session = null;
    hitSource = tapSource = reticlePose = null;
    placed = [];
    state.session = false;
    button.textContent = 'Enter AR';
    gl.clearColor(0, 0, 0, 0);
    gl.clear(gl.COLOR_BUFFER_BIT);
  }

  function onFrame(time, frame) {
    var s = frame.session;
    s.requestAnimationFrame(onFrame);
    var pose = frame.getViewerPose(local);
    var layer = s.renderState.baseLayer;
    gl.bindFramebuffer(gl.FRAMEBUFFER, layer.framebuffer);
    gl.clearColor(0, 0, 0, 0);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    if (!pose) return;
    state.frames++;
    var view = pose.views[0], vp = layer.getViewport(view);
    gl.viewport(vp.x, vp.y, vp.width, vp.height);
    var viewProjection = mul(view.projectionMatrix, view.transform.inverse.matrix);

    var hits = frame.getHitTestResults(hitSource);
    reticlePose = hits.length ? hits[0].getPose(local).transform : null;
    if (reticlePose) {
      state.reticle = Array.from(reticlePose.matrix);
      state.reticleViewer = Array.from(pose.transform.matrix);
      lines(square, mul(viewProjection, reticlePose.matrix), [0.1, 1, 0.5, 1]);
    }
    state.anchors = [];
    placed.forEach(function (anchor) {
      if (!frame.trackedAnchors.has(anchor)) return;
      var p = frame.getPose(anchor.anchorSpace, local);
      if (!p) return;
      state.anchors.push(Array.from(p.transform.matrix));
      lines(cube, mul(viewProjection, p.transform.matrix), [1, 0.2, 0.8, 1]);
    });
    state.planes = [];
    if (s.enabledFeatures.indexOf('plane-detection') >= 0) {
      frame.detectedPlanes.forEach(function (plane) {
        var p = frame.getPose(plane.planeSpace, local);
        var corners = plane.polygon.map(function (c) { return [c.x, c.y, c.z]; });
        state.planes.push({ orientation: plane.orientation, matrix: p ? Array.from(p.transform.matrix) : null,
          polygon: corners });
        if (p) lines(loop(corners), mul(viewProjection, p.transform.matrix), [0.3, 0.8, 1, 1]);
      });
    }
    status.textContent = 'planes ' + state.planes.length + ' · anchors ' + state.anchors.length;
  }

  button.addEventListener('click', function () {
    if (session) session.end(); else start();
  });

  if (!navigator.xr) {
    status.textContent = 'WebXR is not available';
    return;
  }
  navigator.xr.isSessionSupported('immersive-ar').then(function (ok) {
    status.textContent = ok ? 'immersive-ar is supported' : 'immersive-ar is not supported';
    button.disabled = !ok;
    if (ok && params.get('start') === '1') button.click();
  });

  window.xrTest = {
    state: function () {
      var s = Object.assign({}, state);
      s.layer = navigator.xr.tevraLayerStats ? navigator.xr.tevraLayerStats() : null;
      s.button = button.textContent;
      s.status = status.textContent;
      return s;
    },
    end: function () { return session ? session.end().then(function () { return true; }) : false; }
  };
})();
