// Receiving one file: hashes the bytes as they arrive and stores them, grouped into parts of a MiB, either as
// Blobs (kept by the browser, never read back into the page) or written to a file on disk the person chose.
// Tells the sender how far storing got, and ends with a checked file, a refusal sent to the sender, or a stall.
import { capitalise, PART_SIZE, sendJson, STALL_MS, TICK_MS } from './protocol.js';
import { Sha256 } from './sha256.js';

export class Incoming {
  // header: the sender's "file" message; peer: how to name the sender ("“Ann”").
  constructor(dc, header, { peer }) {
    this.dc = dc;
    this.peer = peer;
    this.id = header.id ?? null;
    this.size = Number.isSafeInteger(header.size) && header.size >= 0 ? header.size : 0;
    this.name = typeof header.name === 'string' && header.name ? header.name : 'received-file';
    this.mime = typeof header.mime === 'string' ? header.mime : '';
    // Older senders put the hash (or null) in the header and send no "end".
    this.expectEnd = !('sha256' in header);
    this.senderHash = typeof header.sha256 === 'string' ? header.sha256 : null;
    this.received = 0;     // bytes arrived
    this.hasher = new Sha256();
    this.stored = 0;       // bytes in Blob parts or written
    this.acked = 0;
    this.pending = [];     // chunks not yet grouped into a part
    this.pendingBytes = 0;
    this.parts = [];
    this.writer = null;    // a FileSystemWritableFileStream once saving to disk
    this.writes = Promise.resolve();
    this.writesPending = 0;
    this.finishing = false;
    this.blob = null;      // the whole file, when it was kept in memory and checked
    this.result = null;    // set once: { ok, text, hash, ms, onDisk }
    this.started = performance.now();
    this.lastSign = this.started;
    this.done = new Promise((resolve) => { this.resolveDone = resolve; });
    this.timer = setInterval(() => this.tick(), TICK_MS);
    this.maybeComplete();
  }

  chunk(data) {
    if (this.result || this.finishing) return;
    const bytes = new Uint8Array(data);
    if (this.received + bytes.length > this.size) {
      this.fail(`${capitalise(this.peer)} sent more than the announced ${this.size} bytes; the transfer was stopped.`,
        'more data arrived than announced');
      return;
    }
    this.lastSign = performance.now();
    this.received += bytes.length;
    this.hasher.update(bytes);
    this.pending.push(data);
    this.pendingBytes += bytes.length;
    if (this.pendingBytes >= PART_SIZE) this.flush();
    this.maybeComplete();
  }

  end(message) {
    if (this.result || !this.expectEnd) return;
    this.expectEnd = false;
    this.lastSign = performance.now();
    this.senderHash = typeof message.sha256 === 'string' ? message.sha256 : null;
    this.maybeComplete();
  }

  // The sender gave up.
  stop(message) {
    const reason = typeof message.reason === 'string' && message.reason ? message.reason : 'no reason given';
    this.fail(`${capitalise(this.peer)} stopped the transfer: ${reason}.`);
  }

  // From now on parts go to `writable` (those kept so far first). False when it is too late: the file is complete.
  saveTo(writable) {
    if (this.result || this.finishing || this.writer) return false;
    this.writer = writable;
    const kept = this.parts;
    this.parts = [];
    if (kept.length) this.write(new Blob(kept), 0);
    return true;
  }

  flush() {
    if (!this.pendingBytes) return;
    const part = new Blob(this.pending);
    const bytes = this.pendingBytes;
    this.pending = [];
    this.pendingBytes = 0;
    if (this.writer) {
      this.write(part, bytes);
      return;
    }
    this.parts.push(part);
    this.stored += bytes;
    this.acknowledge();
    // The browser keeps Blobs in memory or in its own files; when it has no room left the Blob is unreadable.
    part.slice(part.size - 1).arrayBuffer().catch(() => this.fail(
      'The browser ran out of room to keep the file (memory or disk). ' +
        'Try again and choose “Save to disk while receiving”.',
      'the receiving browser ran out of room to keep the file'));
  }

  // Writes run one after another, in order; `bytes` counts the new ones among them.
  write(part, bytes) {
    this.writesPending += 1;
    this.writes = this.writes.then(async () => {
      if (this.result) return;
      try {
        await this.writer.write(part);
      } catch (err) {
        const problem = writeProblem(err);
        this.fail(`Could not save the file: ${problem}. The transfer was stopped.`,
          `the file could not be saved (${problem})`);
        return;
      }
      this.stored += bytes;
      this.lastSign = performance.now();
      this.acknowledge();
    }).finally(() => { this.writesPending -= 1; });
  }

  acknowledge(always = false) {
    if (!always && this.stored === this.acked) return;
    this.acked = this.stored;
    sendJson(this.dc, { kind: 'progress', id: this.id, stored: this.stored });
  }

  maybeComplete() {
    if (this.result || this.finishing || this.received < this.size || this.expectEnd) return;
    this.finishing = true;
    this.flush();
    this.complete().catch((err) => this.fail(`Could not finish the file: ${err.message || err}.`,
      'the receiver failed'));
  }

  async complete() {
    await this.writes;
    if (this.result) return;
    const hash = this.hasher.hex();
    const ms = performance.now() - this.started;
    if (this.senderHash && hash !== this.senderHash) {
      this.discard();
      sendJson(this.dc, { kind: 'received', id: this.id, sha256: hash, size: this.received });
      this.finish({
        ok: false, hash,
        text: 'The file arrived, but its SHA-256 differs from the sender’s: it is damaged and was not kept.',
      });
      return;
    }
    if (this.writer) {
      try {
        await this.writer.close();
      } catch (err) {
        const problem = writeProblem(err);
        this.fail(`Could not save the file: ${problem}.`, `the file could not be saved (${problem})`);
        return;
      }
    } else {
      this.blob = new Blob(this.parts, { type: this.mime || 'application/octet-stream' });
      this.parts = [];
    }
    if (this.result) return;
    sendJson(this.dc, { kind: 'received', id: this.id, sha256: hash, size: this.received });
    this.finish({ ok: true, hash, ms, onDisk: Boolean(this.writer), checked: Boolean(this.senderHash) });
  }

  // Ends the transfer with `text` here; `reason`, when given, is told to the sender.
  fail(text, reason = '') {
    if (this.result) return;
    if (reason) sendJson(this.dc, { kind: 'stop', id: this.id, by: 'receiver', reason });
    this.discard();
    this.finish({ ok: false, text });
  }

  discard() {
    this.pending = [];
    this.parts = [];
    if (this.writer) this.writer.abort().catch(() => {});   // nothing of a half-written file is left behind
  }

  // Once a second: tell the sender we are here, and give up when it stopped sending.
  tick() {
    if (this.result) return;
    this.acknowledge(true);
    const now = performance.now();
    if (this.finishing || this.writesPending > 0) this.lastSign = now;   // waiting for ourselves, not the sender
    if (now - this.lastSign > STALL_MS) {
      const seconds = STALL_MS / 1000;
      this.fail(`${capitalise(this.peer)} stopped sending (nothing for ${seconds} s), so the transfer was stopped.`,
        `no data arrived for ${seconds} s`);
    }
  }

  finish(result) {
    if (this.result) return;
    this.result = result;
    clearInterval(this.timer);
    this.resolveDone(result);
  }
}

export function writeProblem(err) {
  switch (err?.name) {
    case 'QuotaExceededError':
      return 'the disk is full';
    case 'NotAllowedError':
      return 'permission to write the file was withdrawn';
    case 'NotFoundError':
      return 'the file or its folder was removed';
    default:
      return `writing failed (${err?.message || err})`;
  }
}
