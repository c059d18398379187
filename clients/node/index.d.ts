/// <reference types="node" />
import { Readable } from 'node:stream';

export type SampleType = 'f32' | 's16';
export type Rate = 48000 | 24000 | 16000 | 8000;

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
  /** Restarts in a row before the capture ends with the error (default 5). */
  maxAttempts?: number;
  /** The first back-off, doubled at each attempt (default 250 ms). */
  delayMs?: number;
  /** The longest back-off (default 4000 ms). */
  maxDelayMs?: number;
  /** Follow the default output device with brisvane-watch.exe: restart on the new default (default false). */
  onDefaultChange?: boolean;
}

export interface CaptureOptions {
  format?: FormatOptions;
  timeline?: 'exact' | 'continuous';
  restart?: boolean | RestartOptions;
  maxQueuedFrames?: number;
  signal?: AbortSignal;
  /** The path of brisvane.exe, or a command with arguments. */
  program?: string | string[];
  /** The path of brisvane-watch.exe, or a command with arguments (with restart.onDefaultChange). */
  watcher?: string | string[];
  env?: NodeJS.ProcessEnv;
}

export type Frame = Float32Array | Int16Array;

export type RestartReason = 'device-lost' | 'default-changed';

export interface StartedEvent { restarts: number }
export interface DroppedEvent { frames: number; ms: number; totalFrames: number }
export interface GapEvent { frames: number; ms: number; reason: 'silence' | 'restart'; totalFrames: number }
export interface RestartEvent {
  reason: RestartReason;
  attempt: number;
  delayMs: number;
  error: BrisvaneError | null;
  /** The current default device's name, when known. */
  device: string | null;
}
/** An output device as brisvane-watch.exe names it. */
export interface Device { id: string; name: string }
export type WatchLine = { kind: 'default'; id: string; name: string } | { kind: 'none' };

export class Capture extends Readable implements AsyncIterable<Frame> {
  constructor(options?: CaptureOptions);
  /** Resolves with this capture once the program has announced that capture runs. */
  readonly started: Promise<Capture>;
  readonly format: Format;
  readonly droppedFrames: number;
  readonly gapFrames: number;
  readonly restarts: number;
  readonly pid: number | null;
  /** The default output device while it is followed; null before it is known or when there is none. */
  readonly device: Device | null;
  /** Ends the program; resolves once it has exited. */
  stop(): Promise<void>;
  [Symbol.asyncIterator](): AsyncIterableIterator<Frame>;
  read(size?: number): Frame | null;

  on(event: 'data', listener: (frame: Frame) => void): this;
  on(event: 'started', listener: (event: StartedEvent) => void): this;
  on(event: 'dropped', listener: (event: DroppedEvent) => void): this;
  on(event: 'gap', listener: (event: GapEvent) => void): this;
  on(event: 'restart', listener: (event: RestartEvent) => void): this;
  /** The default output device changed (null: there is none). */
  on(event: 'device', listener: (device: Device | null) => void): this;
  /** The default device can no longer be followed (the watcher failed); the capture goes on. */
  on(event: 'warning', listener: (error: BrisvaneError) => void): this;
  on(event: 'error', listener: (error: BrisvaneError | Error) => void): this;
  on(event: 'end' | 'close', listener: () => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'data', listener: (frame: Frame) => void): this;
  once(event: 'started', listener: (event: StartedEvent) => void): this;
  once(event: 'dropped', listener: (event: DroppedEvent) => void): this;
  once(event: 'gap', listener: (event: GapEvent) => void): this;
  once(event: 'restart', listener: (event: RestartEvent) => void): this;
  once(event: 'device', listener: (device: Device | null) => void): this;
  once(event: 'warning', listener: (error: BrisvaneError) => void): this;
  once(event: 'error', listener: (error: BrisvaneError | Error) => void): this;
  once(event: 'end' | 'close', listener: () => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

/** Starts a capture; resolves once the program has announced that capture runs. */
export function start(options?: CaptureOptions): Promise<Capture>;

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

export function resolveWatchCommand(options?: {
  watcher?: string | string[];
  env?: NodeJS.ProcessEnv;
  platform?: NodeJS.Platform;
}): string[];

/** One line of brisvane-watch.exe's output (without its line feed); null for a kind not known yet; throws if malformed. */
export function parseWatchLine(line: string): WatchLine | null;

export class FrameConverter {
  constructor(format?: FormatOptions);
  readonly format: Format;
  /** One raw frame (Float32Array of 1920 interleaved samples) in the format; frames in stream order. */
  convert(frame: Float32Array): Frame;
}

export class Decimator {
  constructor(factor: number);
  readonly factor: number;
  /** The filter's delay in input samples. */
  readonly delay: number;
  process(input: ArrayLike<number>, offset: number, stride: number, count: number,
    output: { [index: number]: number }, outOffset: number, outStride: number): number;
}

export class WavWriter {
  constructor(path: string, format?: FormatOptions, options?: { limit?: number });
  write(frame: Frame): void;
  finish(): void;
}

export const FRAME_MS: 20;
export const FILL_BOUND_MS: number;
export const ENVIRONMENT_VARIABLE: 'BRISVANE_COMMAND';
export const WATCH_VARIABLE: 'BRISVANE_WATCH_COMMAND';
