// A small window for the page scripts: message handlers that record what is
// posted, a console that records warnings and errors, and the engine's
// EventTarget, CustomEvent and Promise. Timers are the test process's own,
// except setInterval, which the test drives by hand through checkHandlers().
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const scriptPath = (name) => path.join(root, 'src/resources', name);

export function makeWindow() {
  const posted = [];
  const consoleLines = { warn: [], error: [] };
  const channels = ['Zephral', 'TevraAR', 'TevraARConfig', 'TevraARHaptic', 'YOLOCommander', 'UnityBridge'];
  const messageHandlers = {};
  for (const name of channels) messageHandlers[name] = { postMessage: (body) => posted.push({ name, body }) };
  const listeners = {};
  const window = {
    webkit: { messageHandlers },
    console: {
      log() {},
      warn: (...a) => consoleLines.warn.push(a.join(' ')),
      error: (...a) => consoleLines.error.push(a.join(' ')),
    },
    EventTarget, CustomEvent, Promise, JSON, Math, Date, Float32Array, Object, Array, Number, String,
    performance: { now: () => 1 },
    setTimeout, clearTimeout,
    setInterval: () => 0,
    addEventListener: (type, fn) => (listeners[type] = listeners[type] || []).push(fn),
    fire: (type) => (listeners[type] || []).forEach((fn) => fn()),
  };
  window.window = window;
  const context = vm.createContext(window);
  return {
    window,
    posted,
    consoleLines,
    run(code) { return vm.runInContext(code, context); },
    // The value as plain data of this realm (for deepEqual).
    json(code) { return JSON.parse(JSON.stringify(vm.runInContext(code, context))); },
    load(...names) {
      for (const n of names) vm.runInContext(fs.readFileSync(scriptPath(n), 'utf8'), context, { filename: n });
    },
  };
}

// The native side's frame call, as src/bridge/FrameCall.cpp writes it.
export function frameCall(first) {
  const values = [first];
  for (let i = 1; i < 39; i++) values.push(i / 8);
  return 'if(window.handleARFrame){window.handleARFrame(new Float32Array([' + values.join(',') + ']))}';
}
