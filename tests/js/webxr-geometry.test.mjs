// The pure geometry of src/resources/WebXR.js: rays against planes and
// polygons, hit poses, screen rays and reference-space offsets, with exact
// numbers (values chosen to be exact in binary floating point).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';

const G = createRequire(import.meta.url)('../../src/resources/WebXR.js');

const near = (actual, expected, eps = 1e-12) =>
  assert.ok(actual.length === expected.length && actual.every((v, i) => Math.abs(v - expected[i]) <= eps),
    `${JSON.stringify(actual)} != ${JSON.stringify(expected)}`);

// A floor at y = 0.5, its centre at (1, 0.5, -2); a wall facing +z at z = -4.
const floor = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0.5, -2, 1];
const wall = [1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, -4, 1];
const square = [[0.5, 0.5], [-0.5, 0.5], [-0.5, -0.5], [0.5, -0.5]];

test('a ray meets the plane of a pose at the exact point, in world and plane axes', () => {
  const hit = G.rayPlane([1, 2.5, 0], [0, -1, -1], floor);
  assert.equal(hit.distance, 2);
  assert.deepEqual(hit.point, [1, 0.5, -2]);
  assert.deepEqual(hit.local, [0, 0, 0]);
  const wallHit = G.rayPlane([0.25, 1.5, 0], [0, 0, -2], wall);
  assert.equal(wallHit.distance, 2);
  assert.deepEqual(wallHit.point, [0.25, 1.5, -4]);
  near(wallHit.local, [0.25, 0, -0.5]);
  // Parallel, and pointing away, miss.
  assert.equal(G.rayPlane([0, 2, 0], [1, 0, 0], floor), null);
  assert.equal(G.rayPlane([0, 2, 0], [0, 1, 0], floor), null);
});

test('the polygon limits the plane: inside, on the border and outside, either winding', () => {
  assert.ok(G.pointInPolygon(0, 0, square));
  assert.ok(G.pointInPolygon(0.5, 0.25, square));
  assert.ok(G.pointInPolygon(0.5, 0.5, square));
  assert.ok(!G.pointInPolygon(0.5000001, 0, square));
  assert.ok(G.pointInPolygon(0.25, -0.25, square.slice().reverse()));
  const ell = [[0, 0], [2, 0], [2, 1], [1, 1], [1, 2], [0, 2]];  // concave
  assert.ok(G.pointInPolygon(0.5, 1.5, ell));
  assert.ok(!G.pointInPolygon(1.5, 1.5, ell));

  assert.deepEqual(G.rayPolygon([1.25, 2.5, 0], [0, -1, -1], floor, square).point, [1.25, 0.5, -2]);
  assert.equal(G.rayPolygon([1.75, 2.5, 0], [0, -1, -1], floor, square), null);
  assert.equal(G.rayPolygon([1, 2.5, 0], [0, -1, -0.5], floor, square), null);
});

test('a hit pose has y along the normal facing the ray and z back along the ray on the surface', () => {
  near(G.hitPose([1, 0.5, -2], [0, 1, 0], [0, -Math.SQRT1_2, -Math.SQRT1_2]),
    [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0.5, -2, 1], 1e-15);
  // A ray from +x: z turns to +x, x to -z (right-handed).
  near(G.hitPose([0, 0, 0], [0, 1, 0], [-1, -1, 0]), [0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1], 1e-15);
  // A normal facing away from the ray is turned round; straight down keeps a frame.
  near(G.hitPose([0, 0, 0], [0, -1, 0], [0, -1, -1]).slice(4, 7), [0, 1, 0]);
  const straight = G.hitPose([0, 0, 0], [0, 1, 0], [0, -1, 0]);
  near(straight.slice(0, 11), [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1], 1e-15);
});

test('screen points become camera rays through the inverse projection', () => {
  // 90 degrees vertical field of view, aspect 1/2 (portrait), near 0.5, far 10.
  const p = [2, 0, 0, 0, 0, 1, 0, 0, 0, 0, -21 / 19, -1, 0, 0, -20 / 19, 0];
  near(G.screenRay(p, 0, 0), [0, 0, -1]);
  near(G.screenRay(p, 0, 1), [0, Math.SQRT1_2, -Math.SQRT1_2]);
  near(G.screenRay(p, 1, 0), [1 / Math.sqrt(5), 0, -2 / Math.sqrt(5)]);
  const range = G.depthRange(p);
  assert.ok(Math.abs(range.near - 0.5) < 1e-12 && Math.abs(range.far - 10) < 1e-12);
  // The rotation a ray's pose gets takes -z onto the direction.
  const d = [0, -0.6, -0.8];
  near(G.transformDirection(G.rotationTowards(d), [0, 0, -1]), d);
  near(G.transformDirection(G.rotationTowards([0, 0, 1]), [0, 0, -1]), [0, 0, 1]);
});

test('reference-space offsets compose, and rigid and general inverses agree', () => {
  // An offset space 1 m up and a quarter turn about y, under a floor space 1.5 m down.
  const q = [0, Math.SQRT1_2, 0, Math.SQRT1_2];
  const offset = G.fromPose([0, 1, 0], q);
  near(offset, [0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1], 1e-15);
  near(G.quaternion(offset), q, 1e-15);
  const floorSpace = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -1.5, 0, 1];
  const composed = G.multiply(floorSpace, offset);
  near(G.transformPoint(composed, [0, 0, -2]), [-2, -0.5, 0]);
  near(G.multiply(G.invertRigid(composed), composed), G.identity(), 1e-15);
  near(G.invert(composed), G.invertRigid(composed), 1e-15);
  assert.equal(G.invert([1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]), null);
});

test('local-floor sits on the lowest upward plane, else at the estimate', () => {
  const planes = [{ matrix: floor }, { matrix: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -0.25, 0, 1] },
    { matrix: wall }, { matrix: [1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, -3, 0, 1] }];
  assert.equal(G.floorHeight(planes, -1.5), -0.25);
  assert.equal(G.floorHeight([{ matrix: wall }], -1.5), -1.5);
  assert.equal(G.floorHeight(new Map(), -1.5), -1.5);
});
