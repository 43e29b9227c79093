// Types of the browser mock (mock.js): plays a recorded session through the page API.

export interface MockOptions {
  /** URL of a recorded session folder (holding session.json). */
  session: string;
  /** Start again after the last frame (default true). */
  loop?: boolean;
  /** Playback speed (default 1). */
  speed?: number;
  near?: number;
  far?: number;
  /** The VPS stub's answer, or a function making it from the meta text and server URL. */
  vps?: unknown | ((meta: string, url: string) => unknown);
  /** Model names whose download the mock reports as failed. */
  modelsFail?: string[];
}

export interface MockPlayer {
  /** The parsed session.json. */
  readonly session: unknown;
  /** Index of the session frame now shown. */
  readonly frameIndex: number;
  /** Every message the page posted, in order. */
  readonly messages: { name: string; body: unknown }[];
  stop(): void;
}

export declare function startMock(options: MockOptions): Promise<MockPlayer>;
