// A typed page over the page API: compiled with tsc --strict --noEmit.
import type { ZephralFrame, ZephralPlane } from '../index';

const planes = new Map<number, ZephralPlane>();
let drawn = 0;

function draw(frame: ZephralFrame): void {
  const viewProjection = new Float32Array(16);
  for (let c = 0; c < 4; c++)
    for (let r = 0; r < 4; r++) {
      let sum = 0;
      for (let k = 0; k < 4; k++) sum += frame.projectionMatrix[k * 4 + r] * frame.viewMatrix[c * 4 + k];
      viewProjection[c * 4 + r] = sum;
    }
  drawn += planes.size > 0 ? 1 : 0;
}

Zephral.on('frame', (frame) => {
  draw(frame);
  Zephral.advanceFrame();
});
Zephral.addEventListener('planesadded', (event) => {
  for (const plane of event.detail.planes) planes.set(plane.identifier, plane);
});
Zephral.on('planesremoved', (event) => event.planes.forEach((p) => planes.delete(p.identifier)));
Zephral.on('trackingstate', ({ state, reason }) => {
  if (state === 'Limited') console.log('tracking limited:', reason ?? 'no reason given');
});
Zephral.on('modelready', (m) => console.log(m.name, 'is ready'));

async function start(): Promise<void> {
  Zephral.configure({ compressionFactor: 0.6, isIdleTimerDisabled: true });
  Zephral.showCameraFeed();
  Zephral.advanceFrame();
  const first = await Zephral.nextFrame();
  const size = window.Zephral.windowSize;
  console.log('first frame at', first.position, size ? size.width : 'no size yet', drawn);
  Zephral.addAnchor(1, first.viewMatrix);
  Zephral.haptic('light', 'success');
  Zephral.prepareModels([{ name: 'sign', url: 'https://example.invalid/sign.zip', model_function: 'sign_detection' }]);
  const stop = UnityBridge.onMessage((reply) => console.log('reply', reply.id));
  const answer = await UnityBridge.requestVPS('https://example.invalid/vps', { client: 'typed' }, { timeoutMs: 5000 });
  console.log(answer);
  stop();
}
void start();
