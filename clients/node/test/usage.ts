// Checked by tsc --noEmit against index.d.ts: the shapes an app relies on.
import { start, BrisvaneError, FrameConverter, WavWriter, type Frame, type RestartEvent, type Device } from '..';

async function record(signal: AbortSignal): Promise<number> {
  const capture = await start({ format: { sampleType: 's16', rate: 16000, channels: 1 }, timeline: 'continuous',
    restart: { maxAttempts: 3, delayMs: 100, onDefaultChange: true }, maxQueuedFrames: 100, signal,
    program: ['wine', 'brisvane.exe'], watcher: 'brisvane-watch.exe' });
  capture.on('device', (device: Device | null) => console.log(`Recording: ${device?.name ?? capture.device?.name}`));
  capture.on('warning', (error) => console.log(error.code, error.message));
  capture.on('gap', ({ frames, reason }) => console.log(frames, reason === 'silence'));
  capture.on('restart', (event: RestartEvent) => console.log(event.reason === 'default-changed', event.device ?? ''));
  capture.on('dropped', ({ totalFrames }) => console.log(totalFrames));
  const wav = new WavWriter('out.wav', capture.format);
  let samples = new FrameConverter({ rate: 24000 }).convert(new Float32Array(1920)).length;
  try {
    for await (const frame of capture) {
      samples += (frame satisfies Frame).length;
      wav.write(frame);
    }
  } catch (error) {
    if (error instanceof BrisvaneError && error.code === 'DEVICE_INVALIDATED') console.log(error.hresult, error.hint);
  } finally {
    wav.finish();
  }
  await capture.stop();
  return samples;
}

void record(new AbortController().signal);
