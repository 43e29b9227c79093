// A browser mock of the native side: plays a recorded session folder
// (docs/sessions.md) through the same page API, in an ordinary browser.
//
//   import { startMock } from 'tevra-page-api/mock';
//   const player = await startMock({ session: '../sessions/demo/' });
//
// It stands in for the host: frames paced by Zephral.advanceFrame() (one a
// second without it), tracking changes, plane events, page anchors reported
// back in "anchorsupdated", the session's camera image behind the page once
// showCameraFeed() is called, a VPS stub and model events for
// prepareModels(). The camera is shown as held landscape, with the image
// covering the window; the matrices match what is drawn. The session is
// fetched, so the page must be served over http (a file: page cannot fetch).
//
// Options: session (folder URL, required), loop (default true), speed
// (default 1), near/far (default 0.01/10000), vps (answer object, or a
// function (meta, url) -> answer; default {"status":"ok","mock":true}),
// modelsFail (names whose "download" fails). Returns a player with
// {session, frameIndex, messages, stop()}.

const CHANNELS = ['Zephral', 'TevraAR', 'TevraARConfig', 'TevraARHaptic', 'YOLOCommander', 'UnityBridge'];
const TRACKING = { 0: 'Not Available', 1: 'Limited', 2: 'Normal', notAvailable: 'Not Available', limited: 'Limited',
  normal: 'Normal' };
const REASONS = { 2: 'Excessive Motion', 3: 'Insufficient Featues', excessiveMotion: 'Excessive Motion',
  insufficientFeatures: 'Insufficient Featues' };

function rigidInverse(m) {
  const r = new Float32Array(16);
  for (let i = 0; i < 3; i++)
    for (let j = 0; j < 3; j++) r[j * 4 + i] = m[i * 4 + j];
  for (let i = 0; i < 3; i++) r[12 + i] = -(r[i] * m[12] + r[4 + i] * m[13] + r[8 + i] * m[14]);
  r[15] = 1;
  return r;
}

function quaternion(m) {
  const t = m[0] + m[5] + m[10];
  let x, y, z, w;
  if (t > 0) {
    const s = Math.sqrt(t + 1) * 2;
    w = s / 4; x = (m[6] - m[9]) / s; y = (m[8] - m[2]) / s; z = (m[1] - m[4]) / s;
  } else if (m[0] > m[5] && m[0] > m[10]) {
    const s = Math.sqrt(1 + m[0] - m[5] - m[10]) * 2;
    w = (m[6] - m[9]) / s; x = s / 4; y = (m[4] + m[1]) / s; z = (m[8] + m[2]) / s;
  } else if (m[5] > m[10]) {
    const s = Math.sqrt(1 + m[5] - m[0] - m[10]) * 2;
    w = (m[8] - m[2]) / s; x = (m[4] + m[1]) / s; y = s / 4; z = (m[9] + m[6]) / s;
  } else {
    const s = Math.sqrt(1 + m[10] - m[0] - m[5]) * 2;
    w = (m[1] - m[4]) / s; x = (m[8] + m[2]) / s; y = (m[9] + m[6]) / s; z = s / 4;
  }
  return [x, y, z, w];
}

// Camera -> GL clip space for an image of w x h pixels covering a W x H window.
function projection(k, w, h, W, H, near, far) {
  const s = Math.max(W / w, H / h);
  const ox = (W - w * s) / 2, oy = (H - h * s) / 2;
  const p = new Float32Array(16);
  p[0] = (2 * s * k.fx) / W;
  p[5] = (2 * s * k.fy) / H;
  p[8] = 1 - (2 * (ox + s * k.cx)) / W;
  p[9] = (2 * (oy + s * k.cy)) / H - 1;
  p[10] = -(far + near) / (far - near);
  p[11] = -1;
  p[14] = (-2 * far * near) / (far - near);
  return p;
}

export async function startMock(options) {
  if (!options || !options.session) throw new TypeError('startMock: options.session (a folder URL) is required');
  if (window.Zephral && !window.Zephral.mocked)
    throw new Error('startMock: the page API is already there (inside the host there is nothing to mock)');
  const base = new URL(options.session.endsWith('/') ? options.session : options.session + '/', location.href);
  const response = await fetch(new URL('session.json', base));
  if (!response.ok) throw new Error('startMock: ' + base + 'session.json: HTTP ' + response.status);
  const session = await response.json();
  if (!session || !Array.isArray(session.frames) || !session.frames.length || !session.imageSize)
    throw new Error('startMock: session.json has no frames or no imageSize');

  const loop = options.loop !== false, speed = options.speed || 1;
  let near = options.near || 0.01, far = options.far || 10000;
  const messages = [];
  const player = { session, frameIndex: -1, messages, stopped: false, stop() { this.stopped = true; } };

  // The camera image behind the page: the root element's background, under
  // everything the page draws (a page's own body background covers it, as
  // it covers the camera view in the host).
  const root = document.documentElement.style;
  let cameraShown = false, cameraImage = null;
  function showImage() {
    root.background = cameraShown && cameraImage ? 'url("' + cameraImage + '") center / cover no-repeat fixed' : '';
  }
  const images = session.frames.map((f) => (f.image ? new URL(f.image, base).href : null));
  images.forEach((src) => { if (src) new Image().src = src; });

  let advance = false, lastDelivered = 0, start = performance.now(), nextPlane = 1, tracking = null;
  const planeNumbers = new Map(), planes = new Map(), anchors = new Map();

  function planeJSON(id) {
    const p = planes.get(id);
    const m = p.transform.slice();
    m[12] += p.center[0]; m[13] += p.center[1]; m[14] += p.center[2];
    const ex = p.extent[0], ez = p.extent[2];
    return { modelMatrix: m, identifier: planeNumbers.get(id), extent: [ex, ez],
      vertices: [ex / 2, 0, ez / 2, -ex / 2, 0, ez / 2, -ex / 2, 0, -ez / 2, ex / 2, 0, -ez / 2] };
  }
  function display(type, key, list) {
    if (list.length && window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({ type, [key]: list });
  }
  function applyFrame(i) {
    const f = session.frames[i];
    const added = [], updated = [], removed = [];
    for (const c of f.planes || []) {
      if (c.change === 'add' || c.change === 'update') {
        if (!planeNumbers.has(c.id)) planeNumbers.set(c.id, nextPlane++);
        planes.set(c.id, c);
        (c.change === 'add' ? added : updated).push(planeJSON(c.id));
      } else if (c.change === 'remove' && planes.has(c.id)) {
        removed.push(planeJSON(c.id));
        planes.delete(c.id);
        planeNumbers.delete(c.id);
      }
    }
    display('planesadded', 'planes', added);
    display('planesupdated', 'planes', updated);
    display('planesremoved', 'planes', removed);
    if (anchors.size)
      display('anchorsupdated', 'anchors', [...anchors].map(([id, m]) => ({ modelMatrix: m, identifier: id })));
    const state = TRACKING[f.trackingState === undefined ? 'normal' : f.trackingState] || null;
    const reason = REASONS[f.trackingStateReason] || null;
    const text = (state || 'null') + '|' + (reason || 'null');
    if (text !== tracking) {
      tracking = text;
      if (window.onTrackingStateChanged) window.onTrackingStateChanged(text);
    }
    if (images[i] && images[i] !== cameraImage) {
      cameraImage = images[i];
      showImage();
    }
  }

  function deliver(i) {
    const f = session.frames[i];
    const view = rigidInverse(f.transform);
    const proj = projection(f.intrinsics || session.intrinsics, session.imageSize.width, session.imageSize.height,
      window.innerWidth, window.innerHeight, near, far);
    const values = new Float32Array(39);
    values.set([f.transform[12], f.transform[13], f.transform[14]], 0);
    values.set(quaternion(f.transform), 3);
    values.set(view, 7);
    values.set(proj, 23);
    if (window.handleARFrame) window.handleARFrame(values);
  }

  function tick(now) {
    if (player.stopped) return;
    const frames = session.frames, t0 = frames[0].timestamp;
    const duration = frames[frames.length - 1].timestamp - t0;
    let t = ((now - start) / 1000) * speed;
    if (t > duration && loop && duration > 0) {
      start = now;
      t = 0;
      player.frameIndex = -1;
    }
    let i = Math.max(0, player.frameIndex);
    while (i + 1 < frames.length && frames[i + 1].timestamp - t0 <= t) i++;
    if (i !== player.frameIndex) {
      for (let j = player.frameIndex + 1; j <= i; j++) applyFrame(j);
      player.frameIndex = i;
    }
    if (advance || now - lastDelivered > 1000) {
      advance = false;
      lastDelivered = now;
      deliver(player.frameIndex);
    }
    setTimeout(() => tick(performance.now()), 16);
  }

  function command(text) {
    const colon = text.indexOf(':');
    const name = text.slice(0, colon), args = text.slice(colon + 1).split(',');
    if (name === 'advanceFrame') advance = true;
    else if (name === 'setDepthNear') near = Number(args[0]);
    else if (name === 'setDepthFar') far = Number(args[0]);
    else if (name === 'showCameraFeed') { cameraShown = true; showImage(); }
    else if (name === 'hideCameraFeed') { cameraShown = false; showImage(); }
    else if (name === 'addAnchor') anchors.set(Number(args[0]), args.slice(1, 17).map(Number));
    else if (name === 'removeAnchor') anchors.delete(Number(args[0]));
    else if (name === 'resetPose') { anchors.clear(); tracking = null; }
    else if (name === 'log') console.log('[native log]', text.slice(4));
  }

  function vps(body) {
    const [url, meta, id] = body.split('|');
    let answer = options.vps || { status: 'ok', mock: true };
    if (typeof answer === 'function') answer = answer(meta, url);
    setTimeout(() => window.UnityBridge.receiveMessage(JSON.stringify({ id, data: JSON.stringify(answer) })), 50);
  }

  function detection(body) {
    if (!body || body.command !== 'prepare_models' || !Array.isArray(body.models)) return;
    const failing = options.modelsFail || [];
    body.models.forEach((m, n) => {
      const tell = (state) => window.ZephralModelEvent && window.ZephralModelEvent({ name: m.name, state });
      setTimeout(() => tell('downloading'), 20 + n * 10);
      setTimeout(() => tell(failing.includes(m.name) ? 'failed' : 'ready'), 200 + n * 10);
    });
  }

  const handlers = {};
  for (const name of CHANNELS) {
    handlers[name] = {
      postMessage(body) {
        messages.push({ name, body });
        if (name === 'Zephral' && typeof body === 'string') command(body);
        else if (name === 'TevraAR' && typeof body === 'string') vps(body);
        else if (name === 'YOLOCommander') detection(body);
      },
    };
  }
  window.webkit = { messageHandlers: handlers };
  window.ZephralSendsCameraFrames = false;
  await import('./Zephral.js');
  await import('./UnityBridge.js');
  window.Zephral.mocked = true;
  window.addEventListener('resize', () => window.ZephralSetWindowSize &&
    window.ZephralSetWindowSize({ width: window.innerWidth, height: window.innerHeight }));
  tick(performance.now());
  return player;
}
