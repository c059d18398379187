// Compiled with tsc --noEmit against index.d.ts: the shapes an app relies on.
import { start, Capture, BrisvaneError, FrameConverter, WavWriter, type Frame, type RestartEvent } from '..';

async function record(signal: AbortSignal): Promise<number> {
  const capture: Capture = await start({
    format: { sampleType: 's16', rate: 16000, channels: 1 },
    timeline: 'continuous',
    restart: { maxAttempts: 3, delayMs: 100 },
    maxQueuedFrames: 100,
    signal,
    program: ['wine', 'brisvane.exe'],
  });
  capture.on('gap', ({ frames, reason }) => console.log(frames, reason === 'silence'));
  capture.on('restart', (event: RestartEvent) => console.log(event.reason, event.device ?? 'unknown'));
  capture.on('dropped', ({ totalFrames }) => console.log(totalFrames));
  const wav = new WavWriter('out.wav', capture.format);
  let samples = 0;
  try {
    for await (const frame of capture) {
      const typed: Frame = frame;
      samples += typed.length;
      wav.write(frame);
    }
  } catch (error) {
    if (error instanceof BrisvaneError && error.code === 'DEVICE_INVALIDATED') console.log(error.hresult, error.hint);
  } finally {
    wav.finish();
  }
  await capture.stop();
  const converted: Frame = new FrameConverter({ rate: 24000 }).convert(new Float32Array(1920));
  return samples + converted.length;
}

void record(new AbortController().signal);
