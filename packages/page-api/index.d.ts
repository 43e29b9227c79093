// Types for the TevraARWebGL page API: window.Zephral (Zephral.js) and
// window.UnityBridge (UnityBridge.js), injected into every page at document
// start. Reference with examples: docs/page-api.md.

/** A camera frame: four views over one Float32Array of 39 numbers. */
export interface ZephralFrame {
  /** Camera position in world space, metres: x, y, z (raw[0..2]). */
  readonly position: Float32Array;
  /** Camera orientation in world space, a unit quaternion x, y, z, w (raw[3..6]). */
  readonly orientation: Float32Array;
  /** World -> camera, 4x4 column-major (raw[7..22]). */
  readonly viewMatrix: Float32Array;
  /** Camera -> OpenGL clip space, 4x4 column-major (raw[23..38]). */
  readonly projectionMatrix: Float32Array;
  /** The frame call's own array of 39 numbers; never reused for a later frame. */
  readonly raw: Float32Array;
  /** performance.now() when the frame arrived, milliseconds. */
  readonly time: number;
}

export interface ZephralWindowSize { width: number; height: number; }

export type ZephralTrackingStateName = 'Not Available' | 'Limited' | 'Normal';
export type ZephralTrackingReason = 'Excessive Motion' | 'Insufficient Featues';

export interface ZephralTrackingState {
  state: ZephralTrackingStateName | null;
  reason: ZephralTrackingReason | null;
}

/** A horizontal plane found in the room. */
export interface ZephralPlane {
  /** Plane -> world, 4x4 column-major, origin at the plane's centre. */
  modelMatrix: number[];
  /** A number for the plane, stable while it lives. */
  identifier: number;
  /** Size along the plane's x and z axes, metres. */
  extent: [number, number];
  /** Four corners x, y, z in the plane's own space (y = 0). */
  vertices: number[];
}

/** An anchor: one the page added (its own id) or one from a tap (null). */
export interface ZephralAnchor {
  modelMatrix: number[];
  identifier: number | string | null;
}

export interface ZephralPlanesEvent { type: 'planesadded' | 'planesupdated' | 'planesremoved'; planes: ZephralPlane[]; }
export interface ZephralAnchorsEvent { type: 'anchorsupdated'; anchors: ZephralAnchor[]; }

export type ZephralModelState = 'requested' | 'downloading' | 'ready' | 'failed';
export interface ZephralModelReport { name: string; state: ZephralModelState; }

/** Each event name and what its listeners get. */
export interface ZephralEventMap {
  frame: ZephralFrame;
  windowsize: ZephralWindowSize;
  trackingstate: ZephralTrackingState;
  planesadded: ZephralPlanesEvent;
  planesupdated: ZephralPlanesEvent;
  planesremoved: ZephralPlanesEvent;
  anchorsupdated: ZephralAnchorsEvent;
  modelprogress: ZephralModelReport;
  modelready: ZephralModelReport;
  modelfailed: ZephralModelReport;
}
export type ZephralEventType = keyof ZephralEventMap;

export interface ZephralConfiguration {
  /** JPEG quality of the image sent to the VPS server, 0.0-1.0 (default 0.9). */
  compressionFactor?: number;
  /** The VPS image is fitted into this size, whole pixels > 0 (default 540 x 960). */
  targetFrameWidth?: number;
  targetFrameHeight?: number;
  /** Keep the screen on. */
  isIdleTimerDisabled?: boolean;
}

export type ZephralHaptic = 'light' | 'medium' | 'heavy' | 'soft' | 'rigid' | 'success' | 'warning' | 'error';

export interface ZephralModelSpec {
  /** A plain file name: no "/", no leading ".", at most 237 bytes. */
  name: string;
  /** http(s) address of a ZIP holding NAME.mlpackage. */
  url: string;
  model_function: 'sign_detection' | 'digit_detection';
  /** Confidence threshold 0.0-1.0 (default 0.7). */
  conf_threshold?: number;
}

export interface ZephralAPI extends EventTarget {
  readonly version: string;
  readonly sendsCameraFrames: boolean;
  /** The newest frame, or null before the first. */
  readonly frame: ZephralFrame | null;
  readonly framesReceived: number;
  readonly messagesPosted: number;
  /** null until the first rotation. */
  readonly windowSize: ZephralWindowSize | null;
  readonly trackingState: ZephralTrackingStateName | null;
  readonly trackingReason: ZephralTrackingReason | null;
  /** The planes known now, by identifier (kept from the plane events; emptied by resetPose()). */
  readonly planes: { readonly [identifier: number]: ZephralPlane };
  /** The last known state of each model the page asked for. */
  readonly models: { readonly [name: string]: ZephralModelReport };
  readonly eventTypes: ZephralEventType[];

  on<K extends ZephralEventType>(type: K, listener: (payload: ZephralEventMap[K]) => void): (payload: ZephralEventMap[K]) => void;
  off<K extends ZephralEventType>(type: K, listener: (payload: ZephralEventMap[K]) => void): void;
  once<K extends ZephralEventType>(type: K, listener?: (payload: ZephralEventMap[K]) => void): Promise<ZephralEventMap[K]>;
  nextFrame(): Promise<ZephralFrame>;
  addEventListener<K extends ZephralEventType>(type: K, listener: (event: CustomEvent<ZephralEventMap[K]>) => void,
    options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: ZephralEventType, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends ZephralEventType>(type: K, listener: (event: CustomEvent<ZephralEventMap[K]>) => void,
    options?: boolean | EventListenerOptions): void;
  removeEventListener(type: ZephralEventType, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | EventListenerOptions): void;

  /** Each returns true when the command was posted (false: no native side). */
  advanceFrame(): boolean;
  setDepthNear(metres: number): boolean;
  setDepthFar(metres: number): boolean;
  resetPose(): boolean;
  showCameraFeed(): boolean;
  hideCameraFeed(): boolean;
  addAnchor(id: number, matrix: ArrayLike<number>): boolean;
  removeAnchor(id: number): boolean;
  log(text: string): boolean;
  configure(options: ZephralConfiguration): boolean;
  haptic(...effects: ZephralHaptic[]): boolean;
  prepareModels(models: ZephralModelSpec[]): boolean;
  startDetection(): boolean;
  stopDetection(): boolean;
  detection(command: string | object): boolean;
  command(name: string, args?: string[]): boolean;
  /** Wraps page-defined native handlers again now (done on its own every 250 ms). */
  checkHandlers(): void;
}

export interface VPSOptions {
  /** Sent as "Authorization: Bearer TOKEN". */
  token?: string;
  /** Default 30000; 0 waits for ever. */
  timeoutMs?: number;
}

/** The answer of a VPS request: parsed JSON, or the text when it is no JSON. */
export type VPSAnswer = any;

export interface UnityBridgeReply { id: string; data: VPSAnswer; raw: unknown; }

export interface UnityBridgeAPI {
  requestVPS(serverURL: string, meta?: object | string, options?: VPSOptions): Promise<VPSAnswer>;
  onMessage(listener: (reply: UnityBridgeReply) => void): () => void;
  postMessage(text: string): boolean;
  receiveMessage(json: string): void;
  metaText(meta: object | string | null | undefined): string;
  pendingCount(): number;
}

declare global {
  interface Window {
    Zephral: ZephralAPI;
    UnityBridge: UnityBridgeAPI;
  }
  var Zephral: ZephralAPI;
  var UnityBridge: UnityBridgeAPI;
}

/** window.Zephral, for module imports. */
export declare const Zephral: ZephralAPI;
/** window.UnityBridge, for module imports. */
export declare const UnityBridge: UnityBridgeAPI;
