'use strict';
// brisvane-capture.exe's record stream (docs/PROTOCOL.md): bytes split into records as they
// come, and each record's body decoded. A known record too short for its fields is a
// RecordError; a record of a type not known here is left to the caller to skip.
const RECORD_HEAD_BYTES = 8;
const AUDIO_HEAD_BYTES = 32;
const PROTOCOL_MAJOR = 1;
const TWO_32 = 2 ** 32;

class RecordError extends Error {
  constructor(message, code = 'PROTOCOL_ERROR') {
    super(message);
    this.code = code;
  }
}

// Calls onRecord(type, body) for each whole record; keeps the bytes of one not whole yet.
class RecordSplitter {
  #pending = null;

  constructor(onRecord) {
    this.onRecord = onRecord;
  }

  push(chunk) {
    const data = this.#pending ? Buffer.concat([this.#pending, chunk]) : chunk;
    let at = 0;
    while (data.length - at >= RECORD_HEAD_BYTES) {
      const end = at + RECORD_HEAD_BYTES + data.readUInt32LE(at + 4);
      if (end > data.length) break;
      this.onRecord(data.toString('latin1', at, at + 4), data.subarray(at + RECORD_HEAD_BYTES, end));
      at = end;
    }
    this.#pending = at < data.length ? data.subarray(at) : null;
  }
}

function need(body, bytes, type) {
  if (body.length < bytes) throw new RecordError(`a ${type} record of ${body.length} bytes, shorter than its ${bytes}`);
}

const u64 = (body, at) => body.readUInt32LE(at) + body.readUInt32LE(at + 4) * TWO_32;
const i64 = (body, at) => body.readUInt32LE(at) + body.readInt32LE(at + 4) * TWO_32;

// { rate, channels, sampleType, samplesPerRecord, timeline, source, pid }; throws for a stream
// that is not brisvane's or of another major version.
function readHead(body) {
  need(body, 32, 'HEAD');
  if (body.toString('latin1', 0, 8) !== 'brisvane') throw new RecordError('a stream that is not brisvane-capture\'s');
  const major = body.readUInt16LE(8);
  if (major !== PROTOCOL_MAJOR) throw new RecordError(`a stream of protocol version ${major}, not ${PROTOCOL_MAJOR}`, 'UNSUPPORTED_PROTOCOL');
  return { rate: body.readUInt32LE(12), channels: body.readUInt16LE(16), sampleType: body.readUInt16LE(18) === 2 ? 's16' : 'f32',
    samplesPerRecord: body.readUInt32LE(20), timeline: body.readUInt16LE(24), source: body.readUInt16LE(26), pid: body.readUInt32LE(28) };
}

// The record's samples as a typed array of the stream's type, carrying their place and time:
// index (sample index on the output timeline), qpc (capture time, 100-ns units of the
// performance counter), system (the capture time as the system clock, 100-ns units since
// 1970), flags.
function readAudio(body, head) {
  need(body, AUDIO_HEAD_BYTES, 'AUDI');
  const length = body.readUInt32LE(28) * head.channels;
  const frame = head.sampleType === 's16' ? new Int16Array(length) : new Float32Array(length);
  need(body, AUDIO_HEAD_BYTES + frame.byteLength, 'AUDI');
  // The typed arrays are little-endian on every machine that runs Windows programs.
  new Uint8Array(frame.buffer).set(body.subarray(AUDIO_HEAD_BYTES, AUDIO_HEAD_BYTES + frame.byteLength));
  frame.index = u64(body, 0);
  frame.qpc = i64(body, 8);
  frame.system = i64(body, 16);
  frame.flags = body.readUInt32LE(24);
  return frame;
}

function readGap(body) {
  need(body, 24, 'GAP_');
  return { start: u64(body, 0), length: u64(body, 8), reason: body.readUInt32LE(16), filled: (body.readUInt32LE(20) & 1) === 1 };
}

// { id, name, isDefault }; an empty id: there is no device.
function readDevice(body) {
  need(body, 16, 'DEVI');
  const [idBytes, nameBytes] = [body.readUInt32LE(4), body.readUInt32LE(8)];
  need(body, 16 + idBytes + nameBytes, 'DEVI');
  return { id: body.toString('utf8', 16, 16 + idBytes), name: body.toString('utf8', 16 + idBytes, 16 + idBytes + nameBytes),
    isDefault: (body.readUInt32LE(0) & 1) === 1 };
}

function readReopen(body) {
  need(body, 16, 'REOP');
  return { reason: body.readUInt32LE(0), attempt: body.readUInt32LE(4), hresult: body.readUInt32LE(8), delayMs: body.readUInt32LE(12) };
}

function readEnd(body) {
  need(body, 8, 'END_');
  return { reason: body.readUInt32LE(0), hresult: body.readUInt32LE(4) };
}

// The bits of an AUDI record's flags, as a frame's `flags` carries them.
const FRAME_FLAGS = Object.freeze({ SILENT: 1, DISCONTINUITY: 2, TIMESTAMP_ERROR: 4, FILLED: 8 });

module.exports = { FRAME_FLAGS, RecordSplitter, RecordError, readHead, readAudio, readGap, readDevice, readReopen, readEnd };
