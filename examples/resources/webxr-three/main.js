/*
 * three.js over navigator.xr: ARButton starts an immersive-ar session, a
 * ring (the reticle) follows the hit of the view's ray on the detected
 * planes, and each select (a tap) places an anchored box where the ring is.
 *
 * Query parameters (all optional):
 *   aim=DEG    tilt the reticle's ray DEG degrees below the view's centre
 *   start=1    press the START AR button as soon as it shows (headless runs)
 *   place=1    place one box at the first hit, as a tap there would
 *
 * window.xrTest.state() reports what the page has seen (used by the host
 * tests): the reticle's pose and the viewer pose it was found from, the
 * anchors with their poses, the detected planes, frame counts.
 */
import * as THREE from 'three';
import { ARButton } from 'three/addons/webxr/ARButton.js';

const params = new URLSearchParams(location.search);
const aim = (Number(params.get('aim')) || 0) * Math.PI / 180;
let placeOnFirstHit = params.get('place') === '1';

const renderer = new THREE.WebGLRenderer({ antialias: true, alpha: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(window.innerWidth, window.innerHeight);
renderer.xr.enabled = true;
document.body.appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(70, window.innerWidth / window.innerHeight, 0.01, 30);
scene.add(new THREE.HemisphereLight(0xffffff, 0x8888aa, 3));

const reticle = new THREE.Mesh(new THREE.RingGeometry(0.12, 0.17, 40).rotateX(-Math.PI / 2),
  new THREE.MeshBasicMaterial({ color: 0x22ff88 }));
reticle.matrixAutoUpdate = false;
reticle.visible = false;
scene.add(reticle);

const boxGeometry = new THREE.BoxGeometry(0.15, 0.15, 0.15).translate(0, 0.075, 0);
const boxMaterial = new THREE.MeshStandardMaterial({ color: 0xff33cc });
const placed = [];  // {anchor, mesh}

const state = { session: false, frames: 0, reticle: null, reticleViewer: null, selects: 0, anchorsPlaced: 0,
  anchors: [], planes: [], errors: [] };

let hitSource = null;
let hitSourceAsked = false;
let placeRequested = false;

const controller = renderer.xr.getController(0);
controller.addEventListener('select', () => { state.selects++; placeRequested = true; });
scene.add(controller);

renderer.xr.addEventListener('sessionstart', () => {
  state.session = true;
  document.getElementById('intro').style.display = 'none';
});
renderer.xr.addEventListener('sessionend', () => {
  state.session = false;
  document.getElementById('intro').style.display = '';
  hitSource = null;
  hitSourceAsked = false;
  reticle.visible = false;
  placed.forEach((p) => scene.remove(p.mesh));
  placed.length = 0;
});

const button = ARButton.createButton(renderer, {
  requiredFeatures: ['hit-test'],
  optionalFeatures: ['anchors', 'plane-detection', 'dom-overlay'],
  domOverlay: { root: document.getElementById('overlay') }
});
document.body.appendChild(button);
if (params.get('start') === '1') {
  // ARButton shows "START AR" once navigator.xr answers isSessionSupported.
  const press = () => (button.textContent === 'START AR' ? button.click() : setTimeout(press, 50));
  press();
}

function askForHitSource(session) {
  hitSourceAsked = true;
  session.requestReferenceSpace('viewer').then((viewer) => {
    const offsetRay = new XRRay({ x: 0, y: 0, z: 0 }, { x: 0, y: -Math.sin(aim), z: -Math.cos(aim) });
    return session.requestHitTestSource({ space: viewer, offsetRay });
  }).then((source) => { hitSource = source; }, (e) => state.errors.push(String(e)));
}

const shown = {};
function show(id, value) {
  const text = String(value);
  if (shown[id] === text) return;
  shown[id] = text;
  document.getElementById(id).textContent = text;
}

function render(time, frame) {
  if (frame) {
    const session = renderer.xr.getSession();
    const space = renderer.xr.getReferenceSpace();
    if (!hitSourceAsked) askForHitSource(session);
    state.frames++;
    const viewer = frame.getViewerPose(space);
    const hits = hitSource ? frame.getHitTestResults(hitSource) : [];
    if (hits.length && viewer) {
      const pose = hits[0].getPose(space);
      reticle.visible = true;
      reticle.matrix.fromArray(pose.transform.matrix);
      state.reticle = Array.from(pose.transform.matrix);
      state.reticleViewer = Array.from(viewer.transform.matrix);
      if (placeOnFirstHit) placeRequested = true;
      placeOnFirstHit = false;
      if (placeRequested) {
        hits[0].createAnchor().then((anchor) => {
          const mesh = new THREE.Mesh(boxGeometry, boxMaterial);
          mesh.matrixAutoUpdate = false;
          scene.add(mesh);
          placed.push({ anchor, mesh });
          state.anchorsPlaced++;
        }, (e) => state.errors.push(String(e)));
      }
    } else {
      reticle.visible = false;
    }
    placeRequested = false;
    state.anchors = [];
    placed.forEach((p) => {
      const pose = frame.trackedAnchors.has(p.anchor) ? frame.getPose(p.anchor.anchorSpace, space) : null;
      p.mesh.visible = !!pose;
      if (pose) {
        p.mesh.matrix.fromArray(pose.transform.matrix);
        state.anchors.push(Array.from(pose.transform.matrix));
      }
    });
    state.planes = [];
    frame.detectedPlanes.forEach((plane) => {
      const pose = frame.getPose(plane.planeSpace, space);
      state.planes.push({ orientation: plane.orientation, matrix: pose ? Array.from(pose.transform.matrix) : null,
        polygon: plane.polygon.map((p) => [p.x, p.y, p.z]) });
    });
    // The overlay's text is set only when it changes: a write of the same
    // text still lays the overlay out and paints it again.
    show('planes', state.planes.length);
    show('anchors', placed.length);
    const stats = navigator.xr.tevraLayerStats && navigator.xr.tevraLayerStats();
    if (stats && state.frames % 30 === 0) show('layer', stats.meanMs.toFixed(3));
  }
  renderer.render(scene, camera);
}
renderer.setAnimationLoop(render);

window.addEventListener('resize', () => {
  if (renderer.xr.isPresenting) return;
  camera.aspect = window.innerWidth / window.innerHeight;
  camera.updateProjectionMatrix();
  renderer.setSize(window.innerWidth, window.innerHeight);
});

window.xrTest = {
  state: () => Object.assign({ layer: navigator.xr.tevraLayerStats ? navigator.xr.tevraLayerStats() : null,
    button: button.textContent }, state),
  end: () => { const s = renderer.xr.getSession(); return s ? s.end().then(() => true) : false; }
};

// tevra-host's headless report: the listener fills in the event's detail.
window.addEventListener('tevra:report', (e) => {
  const stats = navigator.xr.tevraLayerStats ? navigator.xr.tevraLayerStats() : null;
  Object.assign(e.detail, { session: state.session, xrFrames: state.frames, planes: state.planes.length,
    anchorsPlaced: state.anchorsPlaced, reticle: !!reticle.visible,
    layerMedianMs: stats && stats.batchMedianMs !== null ? Number(stats.batchMedianMs.toFixed(3)) : null,
    layerMeanMs: stats ? Number(stats.meanMs.toFixed(4)) : null });
});
