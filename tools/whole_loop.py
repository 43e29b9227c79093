#!/usr/bin/python3
"""The whole loop in one run: generated session, model server, page, detection, VPS.

Python standard library only. It
  1. generates the session of a scene with tevra-synth (unless --session names one);
     with --live, the camera frames of a scene with a printed board on its floor
     (tevra-synth board) instead, which the host reads as a live camera,
  2. starts the loopback stub (apps/tevra-stub/tevra-stub.py) serving the model
     archives, the demo page and VPS answers naming "floor_by_yolo",
  3. runs tevra-host headless on the session with the demo page, which prepares
     both models from the stub, turns detection on, asks for a VPS fix every
     second once tracking is "Normal" and shows the "detected_floor" it gets,
  4. writes WORK/summary.json and prints a one-screen summary.

    tools/whole_loop.py --host build/tevra-host --synth build/tevra-synth --work DIR
                        [--scene apps/tevra-synth/scenes/floor3.json] [--session DIR]
                        [--models models] [--sign NAME] [--digit NAME] [--seconds 5]
                        [--live [--live-scene apps/tevra-synth/scenes/board.json] [--live-frames 120]]

tevra-host runs on an Xvfb server of its own (xvfb-run), or with --on-display
on the current DISPLAY.
The exit status is 0 when the run completed (whatever it found); the summary
says what was found, and the caller decides what must hold.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--host', required=True)
    ap.add_argument('--synth', default='')
    ap.add_argument('--work', required=True)
    ap.add_argument('--scene', default=os.path.join(ROOT, 'apps/tevra-synth/scenes/floor3.json'))
    ap.add_argument('--session', default='')
    ap.add_argument('--models', default=os.path.join(ROOT, 'models'))
    ap.add_argument('--sign', default='yolo26n_sign_640')
    ap.add_argument('--digit', default='yolo26n_digit_640')
    ap.add_argument('--seconds', type=float, default=5.0)
    ap.add_argument('--live', action='store_true',
                    help='a live camera reading generated frames of a board on the floor, not a recorded session')
    ap.add_argument('--live-scene', default=os.path.join(ROOT, 'apps/tevra-synth/scenes/board.json'))
    ap.add_argument('--live-frames', type=int, default=120)
    ap.add_argument('--size', default='390x844')
    ap.add_argument('--timeout', type=float, default=120.0)
    ap.add_argument('--on-display', action='store_true',
                    help='run the host on the current DISPLAY instead of an Xvfb server of its own')
    a = ap.parse_args()

    work = os.path.abspath(a.work)
    os.makedirs(work, exist_ok=True)
    # Every run starts with no stored models and no remembered page.
    shutil.rmtree(os.path.join(work, 'documents'), ignore_errors=True)
    if os.path.exists(os.path.join(work, 'defaults.json')):
        os.remove(os.path.join(work, 'defaults.json'))
    env = dict(os.environ, NO_AT_BRIDGE='1')
    # The helper programs are not what a sanitizer run is checking.
    env['ASAN_OPTIONS'] = env.get('ASAN_OPTIONS', '') + ':detect_leaks=0'

    session = a.session
    if a.live:
        a.scene = a.live_scene
        session = os.path.join(work, 'live')
        shutil.rmtree(session, ignore_errors=True)
        subprocess.run([a.synth, 'board', a.scene, session, '--size', '1920x1440', '--frames', str(a.live_frames)],
                       check=True, env=env, stdout=subprocess.DEVNULL, timeout=a.timeout)
    elif not session:
        if not a.synth:
            sys.exit('whole_loop: --synth or --session is needed')
        session = os.path.join(work, 'session')
        subprocess.run([a.synth, 'session', a.scene, session], check=True, env=env,
                       stdout=subprocess.DEVNULL, timeout=a.timeout)
    expected = None
    try:
        with open(a.scene) as f:
            scene = json.load(f)
        text = scene['signs'][0]['text']
        m = re.match(r'^P?(\d)', text)
        expected = int(m.group(1)) if m else None
    except (OSError, ValueError, KeyError, IndexError):
        pass

    port_file = os.path.join(work, 'stub.port')
    if os.path.exists(port_file):
        os.remove(port_file)
    stub_log = open(os.path.join(work, 'stub.log'), 'w')
    stub = subprocess.Popen(['/usr/bin/python3', os.path.join(ROOT, 'apps/tevra-stub/tevra-stub.py'),
                             '--models', a.models, '--pages', os.path.join(ROOT, 'examples/resources/demo'),
                             '--port-file', port_file], stdout=stub_log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 10
        port = None
        while time.monotonic() < deadline and port is None:
            try:
                with open(port_file) as f:
                    port = int(f.read().strip())
            except (OSError, ValueError):
                time.sleep(0.05)
        if port is None:
            sys.exit('whole_loop: the stub server did not start')
        base = 'http://127.0.0.1:%d' % port
        query = ('sign={b}/models/{s}.zip&digit={b}/models/{d}.zip&signName={s}&digitName={d}'
                 '&signConf=0.4&digitConf=0.5&vps={b}/vps&token=loop-token&every=1').format(b=base, s=a.sign, d=a.digit)
        shot = os.path.join(work, 'screenshot.png')
        # A live camera's image is upright in landscape (the sensor's own orientation).
        size, orientation = ('844x390', '3') if a.live else (a.size, '1')
        cmd = [a.host, '--headless', '--seconds', str(a.seconds), '--size', size,
               '--orientation', orientation, '--documents', os.path.join(work, 'documents'),
               '--defaults', os.path.join(work, 'defaults.json'), '--url', base + '/pages/index.html?' + query,
               '--screenshot', shot]
        if a.live:
            cmd += ['--camera', 'file:' + os.path.join(session, 'frames', '%06d.png'),
                    '--calibration', os.path.join(session, 'camera.json'), '--truth', os.path.join(session, 'truth')]
        else:
            cmd += ['--session', session, '--no-loop']
        if not a.on_display or not env.get('DISPLAY'):
            # A display of its own, so no other window covers the host's.
            cmd = ['xvfb-run', '-a', '-s', '-screen 0 1280x1024x24'] + cmd
        started = time.monotonic()
        host = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=a.timeout, text=True, errors='replace')
        elapsed = time.monotonic() - started
        with open(os.path.join(work, 'host.log'), 'w') as f:
            f.write(host.stdout)
        received = json.load(urllib.request.urlopen(base + '/log', timeout=10))
    finally:
        stub.terminate()
        stub.wait(timeout=10)
        stub_log.close()

    lines = host.stdout.splitlines()
    runs = [int(m.group(1)) for m in (re.search(r'Detected floor = (-?\d+)$', l) for l in lines) if m]
    page = {}
    report = {}
    for l in lines:
        if l.startswith('page: '):
            try:
                page = json.loads(l[len('page: '):])
            except ValueError:
                pass
        m = re.match(r'report: frames delivered (\d+), frame calls received by the page (-?\d+)', l)
        if m:
            report = {'framesDelivered': int(m.group(1)), 'frameCallsReceived': int(m.group(2))}
        m = re.match(r'report: pose error against the truth: (\d+) frames; position median ([\d.]+) cm, '
                     r'p95 ([\d.]+) cm; rotation median ([\d.]+) deg, p95 ([\d.]+) deg', l)
        if m:
            report['poseError'] = {'frames': int(m.group(1)), 'positionMedianCm': float(m.group(2)),
                                   'positionP95Cm': float(m.group(3)), 'rotationMedianDeg': float(m.group(4)),
                                   'rotationP95Deg': float(m.group(5))}
    vps = received.get('vps', [])
    summary = {
        'hostStatus': host.returncode,
        'seconds': round(elapsed, 2),
        'expectedFloor': expected,
        'downloads': received.get('downloads', {}),
        'modelsReady': [l.split('[YOLO] Model ')[1].split(' ready')[0] for l in lines if '[YOLO] Model ' in l and l.endswith(' ready')],
        'allModelsReady': any(l.endswith('[YOLO] All models ready') for l in lines),
        'detectionRuns': runs,
        'detectionStopped': sum(1 for l in lines if l.endswith('[YOLO] Detection stopped')),
        'overrides': [int(m.group(1)) for m in (re.search(r'\[YOLO\] Override detected_floor = (-?\d+)$', l) for l in lines) if m],
        'pageDetectedFloor': page.get('detectedFloor'),
        'pageLastAnswer': page.get('lastAnswer'),
        'vpsRequests': [{'jpeg': [r.get('jpeg_width'), r.get('jpeg_height')],
                         'intrinsics': [r.get('intrinsics', {}).get('width'), r.get('intrinsics', {}).get('height')],
                         'authorization': r.get('authorization')} for r in vps],
        'report': report,
        'screenshot': shot if os.path.exists(shot) else None,
        'hostLog': os.path.join(work, 'host.log'),
    }
    with open(os.path.join(work, 'summary.json'), 'w') as f:
        json.dump(summary, f, indent=1)

    found = runs[-1] if runs and runs[-1] > 0 else None
    print('whole loop: %.1f s of %s' % (elapsed, session))
    for path, count in sorted(summary['downloads'].items()):
        print('  model download %s: %d time(s)' % (path, count))
    print('  models ready: %s%s' % (', '.join(summary['modelsReady']) or 'none',
                                   ' (all)' if summary['allModelsReady'] else ''))
    print('  detection runs: %d, results %s' % (len(runs), runs))
    print('  floor on the sign: %s, detected: %s' % (expected, found))
    if vps:
        first = summary['vpsRequests'][0]
        print('  VPS requests: %d; first JPEG %dx%d, intrinsics %sx%s' % (
            len(vps), first['jpeg'][0], first['jpeg'][1], first['intrinsics'][0], first['intrinsics'][1]))
    print('  answers rewritten with detected_floor: %d; page shows floor %s' % (
        len(summary['overrides']), summary['pageDetectedFloor']))
    if report:
        print('  frames delivered %d, frame calls the page received %d' % (
            report['framesDelivered'], report['frameCallsReceived']))
    if 'poseError' in report:
        e = report['poseError']
        print('  live pose error over %d frames: position median %.2f cm (p95 %.2f), rotation median %.2f deg '
              '(p95 %.2f)' % (e['frames'], e['positionMedianCm'], e['positionP95Cm'], e['rotationMedianDeg'],
                              e['rotationP95Deg']))
    print('  screenshot: %s' % summary['screenshot'])
    print('  summary: %s' % os.path.join(work, 'summary.json'))
    return 0 if host.returncode == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
