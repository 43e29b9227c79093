// The page scripts (Zephral.js, UnityBridge.js) in a small window stub:
// handler wrapping, typed frames, argument checks, event semantics, the VPS
// meta placeholder and model events. Run: node --test tests/js/
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { makeWindow, frameCall } from './stub.mjs';

function page() {
  const w = makeWindow();
  w.load('Zephral.js', 'UnityBridge.js');
  return w;
}
const bodies = (w, channel) => w.posted.filter((m) => m.name === channel).map((m) => m.body);

test('a page with its own top-level handlers and the page API both get every call', () => {
  const w = page();
  w.run(`var own = { frames: [], tracking: [], display: [] };
    function handleARFrame(d) { own.frames.push(d[0]); }
    function onTrackingStateChanged(t) { own.tracking.push(t); }
    function ZephralDispatchARDisplayEvent(e) { own.display.push(e.type); }
    var api = { frames: [], planes: 0 };
    Zephral.on('frame', function (f) { api.frames.push(f.position[0]); });
    Zephral.on('planesadded', function (e) { api.planes += e.planes.length; });`);
  w.window.fire('DOMContentLoaded');
  for (let i = 0; i < 3; i++) w.run(frameCall(i));
  w.run('if(window.onTrackingStateChanged){window.onTrackingStateChanged("Limited|Excessive Motion")}');
  w.run('if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({"type":"planesadded","planes":[{"identifier":1}]});');
  assert.deepEqual(w.json('own.frames'), [0, 1, 2]);
  assert.deepEqual(w.json('api.frames'), [0, 1, 2]);
  assert.deepEqual(w.json('own.tracking'), ['Limited|Excessive Motion']);
  assert.equal(w.run('Zephral.trackingReason'), 'Excessive Motion');
  assert.deepEqual(w.json('own.display'), ['planesadded']);
  assert.equal(w.run('api.planes'), 1);
  assert.equal(w.consoleLines.warn.length, 3, 'one notice per replaced handler');

  // Replaced again later (an assignment after load): the next call into the
  // page API puts the wrapper back, without another notice for that name.
  w.run('window.handleARFrame = function (d) { own.frames.push(-d[0]); }; Zephral.advanceFrame();');
  w.run(frameCall(7));
  assert.deepEqual(w.json('own.frames.slice(-1)'), [-7]);
  assert.deepEqual(w.json('api.frames.slice(-1)'), [7]);
  assert.equal(w.consoleLines.warn.length, 3);
  // A page handler that throws does not cut the page API off.
  w.run('window.handleARFrame = function () { throw new Error("page bug"); }; Zephral.checkHandlers();');
  w.run(frameCall(8));
  assert.deepEqual(w.json('api.frames.slice(-1)'), [8]);
  assert.equal(w.consoleLines.error.length, 1);
});

test('frames are Float32Array views over the call\'s array', () => {
  const w = page();
  w.run(frameCall(5));
  assert.equal(w.run('Zephral.frame.viewMatrix instanceof Float32Array'), true);
  assert.equal(w.run('Zephral.frame.viewMatrix.buffer === Zephral.frame.raw.buffer'), true);
  assert.deepEqual(w.json('[Zephral.frame.position.length, Zephral.frame.orientation.length, ' +
    'Zephral.frame.viewMatrix.length, Zephral.frame.projectionMatrix.length]'), [3, 4, 16, 16]);
  assert.equal(w.run('Zephral.frame.viewMatrix[0]'), 7 / 8);
  assert.equal(w.run('Zephral.frame.projectionMatrix[15]'), 38 / 8);
  w.run('var kept = Zephral.frame;');
  w.run(frameCall(6));
  assert.equal(w.run('kept.position[0]'), 5, 'a later frame does not overwrite a kept one');
  w.run('window.handleARFrame([1, 2])');
  assert.equal(w.run('Zephral.framesReceived'), 2, 'a call of the wrong length is dropped');
});

test('commands keep their exact bodies and bad arguments throw before anything is posted', () => {
  const w = page();
  w.run(`Zephral.advanceFrame(); Zephral.setDepthNear(0.05); Zephral.addAnchor(7, [1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,-1,1]);
    Zephral.removeAnchor(7); Zephral.log('a:b');
    Zephral.configure({ compressionFactor: 0.5, targetFrameWidth: 640, isIdleTimerDisabled: true });
    Zephral.haptic('light', 'success');
    Zephral.prepareModels([{ name: 'sign', url: 'http://127.0.0.1/s.zip', model_function: 'sign_detection', conf_threshold: 0.4 }]);
    Zephral.startDetection(); Zephral.stopDetection();`);
  assert.deepEqual(bodies(w, 'Zephral'), ['advanceFrame:', 'setDepthNear:0.05',
    'addAnchor:7,1,0,0,0,0,1,0,0,0,0,1,0,0,0,-1,1', 'removeAnchor:7', 'log:a:b']);
  assert.deepEqual(bodies(w, 'TevraARConfig'), ['compressionFactor:0.5|targetFrameWidth:640|isIdleTimerDisabled:1']);
  assert.deepEqual(bodies(w, 'TevraARHaptic'), ['vibration:light|vibration:success']);
  assert.deepEqual(JSON.parse(JSON.stringify(bodies(w, 'YOLOCommander'))), [
    { command: 'prepare_models', models: [{ name: 'sign', url: 'http://127.0.0.1/s.zip', model_function: 'sign_detection', conf_threshold: 0.4 }] },
    { command: 'turn_on' }, { command: 'turn_off' }]);

  const before = w.posted.length;
  const throws = (code, kind, pattern) =>
    assert.throws(() => w.run(code), (e) => e.name === kind && pattern.test(e.message), code);
  throws('Zephral.configure({ compressionFactor: 1.5 })', 'RangeError', /0\.0-1\.0/);
  throws('Zephral.configure({ compresionFactor: 0.5 })', 'TypeError', /unknown option "compresionFactor"/);
  throws('Zephral.configure({ targetFrameWidth: 0 })', 'RangeError', /> 0/);
  throws('Zephral.configure({ targetFrameHeight: 10.5 })', 'RangeError', /whole number/);
  throws('Zephral.configure({ isIdleTimerDisabled: "yes" })', 'TypeError', /true or false/);
  throws('Zephral.configure("compressionFactor:0.5")', 'TypeError', /object/);
  throws('Zephral.haptic("Light")', 'RangeError', /unknown effect "Light"/);
  throws('Zephral.haptic(3)', 'TypeError', /text/);
  throws('Zephral.addAnchor(1, [1, 2, 3])', 'TypeError', /16 numbers/);
  throws('Zephral.addAnchor(1, new Array(16).fill(NaN))', 'TypeError', /finite/);
  throws('Zephral.addAnchor("a", new Array(16).fill(0))', 'TypeError', /finite/);
  throws('Zephral.setDepthFar(Infinity)', 'TypeError', /finite/);
  throws('Zephral.prepareModels([])', 'TypeError', /non-empty/);
  throws('Zephral.prepareModels([{ name: "../x", url: "http://h/x.zip", model_function: "sign_detection" }])', 'RangeError', /usable model name/);
  throws('Zephral.prepareModels([{ name: "x.zip", url: "http://h/x.zip", model_function: "sign_detection" }])', 'RangeError', /usable model name/);
  throws('Zephral.prepareModels([{ name: "x", url: "ftp://h/x.zip", model_function: "sign_detection" }])', 'TypeError', /http/);
  throws('Zephral.prepareModels([{ name: "x", url: "http://h/x.zip", model_function: "signs" }])', 'RangeError', /model_function/);
  throws('Zephral.prepareModels([{ name: "x", url: "http://h/x.zip", model_function: "sign_detection", conf_threshold: "0.5" }])', 'TypeError', /conf_threshold/);
  assert.equal(w.posted.length, before, 'nothing was posted for a refused call');
});

test('Zephral is an EventTarget with once, nextFrame and strict event names', async () => {
  const w = page();
  w.run(`var seen = [];
    function onFrame(e) { seen.push(['listener', e.detail.position[0]]); }
    Zephral.addEventListener('frame', onFrame);
    Zephral.addEventListener('trackingstate', function (e) { seen.push(['once', e.detail.state]); }, { once: true });
    var next = Zephral.nextFrame().then(function (f) { seen.push(['next', f.position[0]]); });
    var ready = Zephral.once('modelready');`);
  assert.equal(w.run('Zephral instanceof EventTarget'), true);
  w.run(frameCall(1));
  w.run('onTrackingStateChanged("Normal|null"); onTrackingStateChanged("Limited|null")');
  w.run('Zephral.removeEventListener("frame", onFrame)');
  w.run(frameCall(2));
  await w.run('next');
  assert.deepEqual(w.json('seen'), [['listener', 1], ['once', 'Normal'], ['next', 1]]);
  assert.equal(w.run('Zephral.trackingReason'), null);

  w.run('ZephralModelEvent({ name: "sign", state: "downloading" }); ZephralModelEvent({ name: "sign", state: "ready" })');
  assert.deepEqual(JSON.parse(JSON.stringify(await w.run('ready'))), { name: 'sign', state: 'ready' });
  assert.equal(w.run('Zephral.models.sign.state'), 'ready');

  for (const call of ['Zephral.on("frames", function () {})', 'Zephral.addEventListener("planeadded", function () {})',
    'Zephral.once("tracking")', 'Zephral.off("nope", function () {})'])
    assert.throws(() => w.run(call), (e) => e.name === 'TypeError' && /unknown event/.test(e.message), call);
  // A native event of a type the page API does not know is dropped.
  w.run('var odd = 0; Zephral.on("anchorsupdated", function () { odd++; }); ' +
    'ZephralDispatchARDisplayEvent({ type: "bogus" }); ZephralDispatchARDisplayEvent({ type: "anchorsupdated", anchors: [] })');
  assert.equal(w.run('odd'), 1);

  // The planes known now, for a listener that starts late.
  w.run('ZephralDispatchARDisplayEvent({ type: "planesadded", planes: [{ identifier: 1, extent: [1, 1] }, { identifier: 2, extent: [2, 2] }] });' +
    'ZephralDispatchARDisplayEvent({ type: "planesupdated", planes: [{ identifier: 1, extent: [3, 3] }] });' +
    'ZephralDispatchARDisplayEvent({ type: "planesremoved", planes: [{ identifier: 2, extent: [2, 2] }] });');
  assert.deepEqual(w.json('Zephral.planes'), { 1: { identifier: 1, extent: [3, 3] } });
});

test('requestVPS adds the intrinsics placeholder; onMessage returns an unsubscribe function', async () => {
  const w = page();
  w.run(`UnityBridge.requestVPS('http://127.0.0.1:9/vps', { a: 1 }, { token: 'T', timeoutMs: 0 });
    UnityBridge.requestVPS('http://127.0.0.1:9/vps', '{"a":2}', { timeoutMs: 0 });
    UnityBridge.requestVPS('http://127.0.0.1:9/vps', { intrinsics: { width: 1 } }, { timeoutMs: 0 });
    UnityBridge.requestVPS('http://127.0.0.1:9/vps', 'not json', { timeoutMs: 0 });`);
  const sent = bodies(w, 'TevraAR').map((b) => b.split('|'));
  assert.deepEqual(sent.map((f) => f[1]), ['{"a":1,"intrinsics":{"width":0}}', '{"a":2,"intrinsics":{"width":0}}',
    '{"intrinsics":{"width":1}}', 'not json']);
  assert.equal(sent[0][3], 'T');
  assert.equal(sent[1].length, 3, 'no token: three fields, as before');

  await assert.rejects(w.run('UnityBridge.requestVPS("file:///etc/passwd", {})'), (e) => e.name === 'TypeError');
  await assert.rejects(w.run('UnityBridge.requestVPS("http://h/v", { a: "x|y" })'), /may not contain/);

  // An error status from the server resolves like any answer.
  w.run(`var got = []; var stop = UnityBridge.onMessage(function (m) { got.push(m.id); });
    var answer = UnityBridge.requestVPS('http://127.0.0.1:9/vps', {}, { timeoutMs: 0 });`);
  const id = bodies(w, 'TevraAR').at(-1).split('|')[2];
  w.run(`UnityBridge.receiveMessage(${JSON.stringify(JSON.stringify({ id, data: '{"status":"error","message":"no fix"}' }))})`);
  assert.equal((await w.run('answer')).status, 'error');
  w.run('stop(); UnityBridge.receiveMessage(\'{"id":"other","data":"x"}\')');
  assert.deepEqual(w.json('got'), [id]);
});
