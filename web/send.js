// Sending one file: reads it slice by slice as the data channel drains, hashes it on the way, and ends with
// the receiver's confirmation, its refusal, or a stall. Never holds more than a couple of slices of the file.
import {
  capitalise, CHUNK_SIZE, FALLBACK_CHUNK_SIZE, HIGH_WATER, READ_SIZE, sendJson, STALL_MS, TICK_MS, WINDOW,
} from './protocol.js';
import { Sha256 } from './sha256.js';

export class Outgoing {
  // dc: an open RTCDataChannel; peer: how to name the receiver ("“Ann”"); windowed: the receiver acknowledges.
  constructor(dc, file, { id, peer, windowed, maxMessageSize = 0 }) {
    Object.assign(this, { dc, file, id, peer, windowed });
    this.name = file.name;
    this.size = file.size;
    this.chunkSize = maxMessageSize > 0 ? Math.min(CHUNK_SIZE, maxMessageSize) : FALLBACK_CHUNK_SIZE;
    this.queued = 0;       // bytes handed to the channel
    this.stored = 0;       // bytes the receiver said it stored
    this.allQueued = false;
    this.hash = null;
    this.result = null;    // set once: { ok, text, hash, receiverHash, ms }
    this.started = performance.now();
    this.lastSign = this.started;   // the last time the receiver showed it is still there
    this.lastBuffered = 0;
    this.done = new Promise((resolve) => { this.resolveDone = resolve; });
    this.wake = null;
    this.onLow = () => this.poke();
    dc.addEventListener('bufferedamountlow', this.onLow);
    this.timer = setInterval(() => this.tick(), TICK_MS);
  }

  // Bytes that have left this browser.
  get sent() {
    return Math.max(0, this.queued - (this.result ? 0 : this.dc.bufferedAmount));
  }

  async run() {
    try {
      await this.stream();
    } catch (err) {
      if (!(err instanceof ReadError)) this.fail(`Sending failed: ${err?.message || err}.`, 'sending failed');
      else this.fail(`The file could not be read (${err.message}).`, 'the file could not be read');
    }
  }

  async stream() {
    const { dc, size } = this;
    sendJson(dc, { kind: 'file', id: this.id, name: this.name, size, mime: this.file.type });
    const hasher = new Sha256();
    let read = 0;
    let busySince = performance.now();
    for await (const piece of fileSlices(this.file)) {
      if (this.result) return;
      read += piece.length;
      if (read > size) break;
      for (let at = 0; at < piece.length; at += this.chunkSize) {
        while (!this.result && dc.readyState === 'open' && !this.hasRoom()) {
          await this.sleep();
          busySince = performance.now();
        }
        // Sending can take a while per chunk (the browser hands each one to its network thread): the page
        // is given a turn now and then, so it never stops answering for long.
        if (performance.now() - busySince > BUSY_MS) {
          await yieldToPage();
          busySince = performance.now();
        }
        if (this.result) return;
        if (dc.readyState !== 'open') {
          this.fail('The connection closed during the transfer.');
          return;
        }
        const chunk = piece.subarray(at, at + this.chunkSize);
        hasher.update(chunk);
        dc.send(chunk);   // copies the bytes, so the slice's buffer may be read into again
        this.queued += chunk.length;
      }
    }
    if (read !== size) throw new ReadError('the file changed while it was being sent');
    this.hash = hasher.hex();
    sendJson(dc, { kind: 'end', id: this.id, sha256: this.hash });
    this.allQueued = true;
  }

  hasRoom() {
    if (this.dc.bufferedAmount > HIGH_WATER) return false;
    return !this.windowed || this.queued - this.stored < WINDOW;
  }

  sleep() {
    return new Promise((resolve) => { this.wake = resolve; });
  }

  poke() {
    const wake = this.wake;
    this.wake = null;
    if (wake) wake();
  }

  // A message from the receiver about this file.
  handle(message) {
    if (this.result) return;
    this.lastSign = performance.now();
    if (message.kind === 'progress') {
      if (Number.isSafeInteger(message.stored) && message.stored > this.stored) this.stored = message.stored;
      this.poke();
    } else if (message.kind === 'received') {
      const receiverHash = typeof message.sha256 === 'string' ? message.sha256 : null;
      const ms = performance.now() - this.started;
      if (!this.allQueued || message.size !== this.size) {
        const text = `${capitalise(this.peer)} received a different size: the file arrived damaged.`;
        this.finish({ ok: false, text });
      } else if (receiverHash && receiverHash !== this.hash) {
        this.finish({
          ok: false, hash: this.hash, receiverHash,
          text: 'Delivered, but the receiver computed a different SHA-256: the file arrived damaged.',
        });
      } else {
        this.finish({ ok: true, hash: this.hash, receiverHash, ms });
      }
    } else if (message.kind === 'stop') {
      const reason = typeof message.reason === 'string' && message.reason ? message.reason : 'no reason given';
      this.finish({ ok: false, text: `${capitalise(this.peer)} stopped the transfer: ${reason}.` });
    }
  }

  // Ends the transfer with `text` on this side; `reason`, when given, is told to the receiver.
  fail(text, reason = '') {
    if (this.result) return;
    if (reason) sendJson(this.dc, { kind: 'stop', id: this.id, by: 'sender', reason });
    this.finish({ ok: false, text });
  }

  // Once a second: a receiver that neither stores nor drains what is waiting for it has stopped answering.
  tick() {
    const now = performance.now();
    const buffered = this.dc.bufferedAmount;
    if (buffered < this.lastBuffered) this.lastSign = now;
    this.lastBuffered = buffered;
    const waitingForPeer = this.allQueued || buffered > 0 || (this.windowed && this.queued > this.stored);
    if (!waitingForPeer) this.lastSign = now;   // the time is spent reading the file here, not waiting
    if (now - this.lastSign > STALL_MS) {
      const seconds = STALL_MS / 1000;
      this.fail(`${capitalise(this.peer)} stopped answering (nothing for ${seconds} s), so the transfer was stopped.`,
        `no answer for ${seconds} s`);
    }
  }

  finish(result) {
    if (this.result) return;
    this.result = result;
    clearInterval(this.timer);
    this.dc.removeEventListener('bufferedamountlow', this.onLow);
    this.poke();
    this.resolveDone(result);
  }
}

class ReadError extends Error {}

// The file's bytes in order, READ_SIZE at a time; the next slice is read while the caller handles this one.
async function* fileSlices(file) {
  try {
    yield* readSlices(file);
  } catch (err) {
    throw new ReadError(readProblem(err));
  }
}

// Where files are byte streams, two buffers take turns, so sending a file of any size allocates almost nothing.
async function* readSlices(file) {
  let reader = null;
  try {
    reader = file.stream().getReader({ mode: 'byob' });
  } catch {
    yield* fileSlicesCopied(file);
    return;
  }
  let spare = new ArrayBuffer(READ_SIZE);
  let reading = reader.read(new Uint8Array(READ_SIZE));
  try {
    for (;;) {
      const { value, done } = await reading;
      if (done) return;
      reading = reader.read(new Uint8Array(spare));
      reading.catch(() => {});   // a read ahead may be left behind when the transfer stops
      yield value;
      spare = value.buffer;      // the caller asked for more, so it is done with this one
    }
  } finally {
    reader.cancel().catch(() => {});
  }
}

async function* fileSlicesCopied(file) {
  const read = (offset) => {
    const reading = file.slice(offset, offset + READ_SIZE).arrayBuffer();
    reading.catch(() => {});
    return reading;
  };
  let reading = read(0);
  for (let offset = 0; offset < file.size;) {
    const piece = new Uint8Array(await reading);
    if (piece.length === 0) return;
    offset += piece.length;
    if (offset < file.size) reading = read(offset);
    yield piece;
  }
}

const BUSY_MS = 25;   // the longest stretch the send loop keeps the page to itself

function yieldToPage() {
  if (globalThis.scheduler?.yield) return globalThis.scheduler.yield();
  return new Promise((resolve) => { setTimeout(resolve, 0); });
}

function readProblem(err) {
  if (err?.name === 'NotReadableError' || err?.name === 'NotFoundError') {
    return 'it may have been moved, changed or deleted since you chose it';
  }
  return err?.message || String(err);
}
