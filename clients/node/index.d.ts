/// <reference types="node" />
import { Readable } from 'node:stream';

export type SampleType = 'f32' | 's16';
export type Rate = 48000 | 24000 | 16000 | 12000 | 9600 | 8000 | 6000 | 4800 | 4000;

export interface FormatOptions {
  sampleType?: SampleType;
  rate?: Rate;
  channels?: 1 | 2;
}

export interface Format {
  sampleType: SampleType;
  rate: Rate;
  channels: 1 | 2;
  /** Samples in one 20 ms frame, all channels. */
  samplesPerFrame: number;
}

export interface RestartOptions {
  /** Attempts in a row to open a lost source again before the capture ends with the error (default 5). */
  maxAttempts?: number;
  /** The wait before the second attempt, doubled for each one after it (default 250 ms). */
  delayMs?: number;
  /** The longest wait (default 4000 ms). */
  maxDelayMs?: number;
  /** Follow the default output device when Windows changes it (default false). */
  onDefaultChange?: boolean;
}

/** The default output device, a device by endpoint id or friendly name, one application, every application but one. */
export type Source = 'default' | 'all-but-this-app' | { device: string } | { app: number } | { allBut: number };

export interface CaptureOptions {
  source?: Source;
  format?: FormatOptions;
  timeline?: 'exact' | 'continuous';
  /** Continuous timeline: how far behind the clock silence is added (default 200 ms). */
  fillLagMs?: number;
  restart?: boolean | RestartOptions;
  maxQueuedFrames?: number;
  signal?: AbortSignal;
  /** The path of brisvane-capture.exe, or a command with arguments. */
  program?: string | string[];
  /** Unused, accepted for code written when a watcher program followed the default device:
   * brisvane-capture.exe follows it itself (restart.onDefaultChange). */
  watcher?: string | string[];
  env?: NodeJS.ProcessEnv;
}

/** Where a frame is and when it was captured. */
export interface Timing {
  /** Its first sample's place on the output timeline, in samples per channel. */
  index: number;
  /** Capture time: 100-ns units of QueryPerformanceCounter. */
  qpc: number;
  /** Capture time on the system clock: 100-ns units since 1970 (new Date(system / 1e4)). */
  system: number;
  /** FRAME_FLAGS bits. */
  flags: number;
}

export type Frame = (Float32Array | Int16Array) & Timing;

export interface StartedEvent { restarts: number }
export interface DroppedEvent { frames: number; ms: number; totalFrames: number }
export interface GapEvent {
  /** The sample index where the gap begins. */
  start: number;
  /** Its length in samples per channel. */
  length: number;
  ms: number;
  reason: 'silence' | 'discontinuity' | 'restart' | 'no-device';
  /** Its silence is in the stream (continuous timeline). */
  filled: boolean;
}
export interface RestartEvent {
  reason: 'device-lost' | 'default-changed' | 'device-back';
  attempt: number;
  delayMs: number;
  error: BrisvaneError | null;
}
/** An output device. */
export interface Device { id: string; name: string; isDefault: boolean }

export class Capture extends Readable implements AsyncIterable<Frame> {
  constructor(options?: CaptureOptions);
  /** Resolves with this capture once it runs (or waits for a device). */
  readonly started: Promise<Capture>;
  readonly format: Format;
  readonly droppedFrames: number;
  readonly gapFrames: number;
  readonly restarts: number;
  readonly pid: number | null;
  /** The device of the frames read so far; null before it is known, while there is none, or for an application. */
  readonly device: Device | null;
  /** Why the stream ended cleanly, once it has. */
  readonly endReason: 'stopped' | 'app-exited' | null;
  /** Ends the program; resolves once it has exited. */
  stop(): Promise<void>;
  [Symbol.asyncIterator](): AsyncIterableIterator<Frame>;
  read(size?: number): Frame | null;

  on(event: 'data', listener: (frame: Frame) => void): this;
  on(event: 'started', listener: (event: StartedEvent) => void): this;
  on(event: 'dropped', listener: (event: DroppedEvent) => void): this;
  on(event: 'gap', listener: (event: GapEvent) => void): this;
  on(event: 'restart', listener: (event: RestartEvent) => void): this;
  on(event: 'device', listener: (device: Device | null) => void): this;
  on(event: 'error', listener: (error: BrisvaneError | Error) => void): this;
  on(event: 'end' | 'close', listener: () => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'data', listener: (frame: Frame) => void): this;
  once(event: 'started', listener: (event: StartedEvent) => void): this;
  once(event: 'dropped', listener: (event: DroppedEvent) => void): this;
  once(event: 'gap', listener: (event: GapEvent) => void): this;
  once(event: 'restart', listener: (event: RestartEvent) => void): this;
  once(event: 'device', listener: (device: Device | null) => void): this;
  once(event: 'error', listener: (error: BrisvaneError | Error) => void): this;
  once(event: 'end' | 'close', listener: () => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

/** Starts a capture; resolves once it runs (or waits for a device). */
export function start(options?: CaptureOptions): Promise<Capture>;

/** The active output devices. */
export function devices(options?: { program?: string | string[]; env?: NodeJS.ProcessEnv }): Promise<Device[]>;

export class BrisvaneError extends Error {
  readonly name: 'BrisvaneError';
  readonly status: number | null;
  readonly signal: NodeJS.Signals | null;
  readonly report: string;
  readonly context: string | null;
  readonly causes: string[];
  readonly hresult: number | null;
  readonly code: string | null;
  readonly hint: string | null;
  readonly deviceLost: boolean;
}

export function parseReport(report: string): { context: string | null; causes: string[] };

export function resolveCommand(options?: {
  program?: string | string[];
  env?: NodeJS.ProcessEnv;
  platform?: NodeJS.Platform;
}): string[];

export class WavWriter {
  constructor(path: string, format?: FormatOptions, options?: { limit?: number });
  write(frame: Float32Array | Int16Array): void;
  finish(): void;
}

export const FRAME_MS: 20;
export const FRAME_FLAGS: { readonly SILENT: 1; readonly DISCONTINUITY: 2; readonly TIMESTAMP_ERROR: 4; readonly FILLED: 8 };
export const ENVIRONMENT_VARIABLE: 'BRISVANE_COMMAND';
