// The browser mock in headless Chromium: the three.js example page, fed the
// demo session by the mock, shows the session's camera image behind the page
// and draws the floor plane over it. Needs Debian's chromium and the pinned
// three in node_modules (scripts/deps); skipped without them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { readPNG } from './png.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const chromium = ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((p) => fs.existsSync(p));
const three = path.join(root, 'node_modules/three/build/three.module.js');
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.json': 'application/json',
  '.jpg': 'image/jpeg' };

// Serves the repository (read-only, no directory listings) on 127.0.0.1.
function serve() {
  const server = http.createServer((req, res) => {
    const file = path.join(root, decodeURIComponent(new URL(req.url, 'http://x').pathname));
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

function run(command, args, seconds) {
  return new Promise((resolve) => {
    const child = spawn(command, args, { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    child.stderr.on('data', (d) => (err += d));
    const timer = setTimeout(() => child.kill('SIGKILL'), seconds * 1000);
    child.on('close', (code) => { clearTimeout(timer); resolve({ code, err }); });
  });
}

test('the mock plays the demo session under the three.js example page', { skip: !chromium || !fs.existsSync(three),
  timeout: 120000 }, async () => {
  const server = await serve();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tevra-mock-'));
  try {
    const url = `http://127.0.0.1:${server.address().port}/examples/resources/three/index.html?session=/examples/sessions/demo/`;
    const shot = path.join(dir, 'shot.png');
    const { err } = await run(chromium, ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync', `--user-data-dir=${dir}/profile`,
      '--use-gl=swiftshader', '--enable-unsafe-swiftshader', '--hide-scrollbars', `--screenshot=${shot}`,
      '--window-size=480,360', '--virtual-time-budget=4000', url], 90);
    assert.ok(fs.existsSync(shot), 'no screenshot: ' + err.slice(-2000));
    const png = readPNG(shot);
    let floor = 0, plane = 0, total = 0;
    for (let y = 0; y < png.height; y += 2)
      for (let x = 0; x < png.width; x += 2) {
        const [r, g, b] = png.at(x, y);
        total++;
        if (r > b + 30 && g > b + 10) floor++;      // the demo room's brown and beige floor
        if (g > r + 50 && g > b + 50) plane++;      // the example's green plane
      }
    if (process.env.TEVRA_KEEP_SCREENSHOT) fs.copyFileSync(shot, 'browser-mock-screenshot.png');
    assert.ok(floor > total / 20, `camera image: ${floor} floor pixels of ${total}`);
    assert.ok(plane > total / 50, `plane: ${plane} green pixels of ${total}`);
  } finally {
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
