// Checked by tsc --noEmit against index.d.ts: the shapes an app relies on.
import { start, devices, BrisvaneError, WavWriter, FRAME_FLAGS, type Frame, type RestartEvent, type Device } from '..';

async function record(signal: AbortSignal): Promise<number> {
  const listed: Device[] = await devices({ program: ['wine', 'brisvane-capture.exe'] });
  const capture = await start({ format: { sampleType: 's16', rate: 12000, channels: 1 }, timeline: 'continuous', fillLagMs: 300,
    restart: { maxAttempts: 3, delayMs: 100, onDefaultChange: true }, maxQueuedFrames: 100, signal,
    source: listed.length > 0 ? { device: listed[0].id } : 'all-but-this-app', program: ['wine', 'brisvane-capture.exe'] });
  capture.on('device', (device: Device | null) => console.log(`Recording: ${device?.name ?? capture.device?.name}`));
  capture.on('gap', ({ start, length, reason, filled }) => console.log(start + length, reason === 'no-device', filled));
  capture.on('restart', (event: RestartEvent) => console.log(event.reason === 'default-changed', event.error?.code));
  capture.on('dropped', ({ totalFrames }) => console.log(totalFrames));
  const wav = new WavWriter('out.wav', capture.format);
  let samples = 0;
  try {
    for await (const frame of capture) {
      samples += (frame satisfies Frame).length;
      if (frame.flags & FRAME_FLAGS.FILLED) console.log(frame.index, new Date(frame.system / 1e4), frame.qpc);
      wav.write(frame);
    }
  } catch (error) {
    if (error instanceof BrisvaneError && error.code === 'DEVICE_INVALIDATED') console.log(error.hresult, error.hint);
  } finally {
    wav.finish();
  }
  await capture.stop();
  console.log(capture.endReason === 'app-exited');
  return samples;
}

void record(new AbortController().signal);
