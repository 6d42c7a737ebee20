// A small WebSocket client (RFC 6455, text frames) for the tests: it trusts exactly the certificate it is given
// for wss, and it reports whether the server closed the connection.
import crypto from 'node:crypto';
import { EventEmitter } from 'node:events';
import http from 'node:http';
import https from 'node:https';
import { withTimeout } from './wait.mjs';

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';

export class WsClient extends EventEmitter {
  constructor(socket, head) {
    super();
    this.socket = socket;
    this.buffer = head && head.length ? Buffer.from(head) : Buffer.alloc(0);
    this.fragments = [];
    this.texts = [];            // every text message received, in order
    this.closeSent = false;
    this.closedByServer = false;
    this.isClosed = false;
    this.closed = new Promise((resolve) => {
      socket.on('close', () => {
        this.isClosed = true;
        resolve();
        this.emit('close');
      });
    });
    socket.on('error', () => {});
    socket.on('data', (data) => this.onData(data));
    if (this.buffer.length) setImmediate(() => this.onData(Buffer.alloc(0)));
  }

  onData(data) {
    this.buffer = Buffer.concat([this.buffer, data]);
    for (;;) {
      if (this.buffer.length < 2) return;
      const b0 = this.buffer[0];
      const b1 = this.buffer[1];
      let length = b1 & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (this.buffer.length < 4) return;
        length = this.buffer.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        if (this.buffer.length < 10) return;
        length = Number(this.buffer.readBigUInt64BE(2));
        offset = 10;
      }
      const masked = (b1 & 0x80) !== 0;
      const maskOffset = offset;
      if (masked) offset += 4;
      if (this.buffer.length < offset + length) return;
      const payload = Buffer.from(this.buffer.subarray(offset, offset + length));
      if (masked) for (let i = 0; i < payload.length; i++) payload[i] ^= this.buffer[maskOffset + (i % 4)];
      this.buffer = this.buffer.subarray(offset + length);
      this.onFrame((b0 & 0x80) !== 0, b0 & 0x0f, payload);
    }
  }

  onFrame(fin, opcode, payload) {
    if (opcode === 0x8) {
      if (!this.closeSent) this.closedByServer = true;
      this.sendFrame(0x8, payload.subarray(0, 2));
      this.socket.end();
      return;
    }
    if (opcode === 0x9) return this.sendFrame(0xa, payload);
    if (opcode === 0xa) return;
    this.fragments.push(payload);
    if (opcode === 0x1 || opcode === 0x2) this.fragmentOpcode = opcode;
    if (!fin) return;
    const message = Buffer.concat(this.fragments);
    this.fragments = [];
    if (this.fragmentOpcode === 0x1) {
      const text = message.toString('utf8');
      this.texts.push(text);
      this.emit('text', text);
    }
  }

  sendFrame(opcode, payload) {
    if (this.closeSent || this.socket.destroyed) return false;
    if (opcode === 0x8) this.closeSent = true;
    const mask = crypto.randomBytes(4);
    let header;
    if (payload.length < 126) {
      header = Buffer.from([0x80 | opcode, 0x80 | payload.length]);
    } else if (payload.length < 65536) {
      header = Buffer.alloc(4);
      header[0] = 0x80 | opcode;
      header[1] = 0x80 | 126;
      header.writeUInt16BE(payload.length, 2);
    } else {
      header = Buffer.alloc(10);
      header[0] = 0x80 | opcode;
      header[1] = 0x80 | 127;
      header.writeBigUInt64BE(BigInt(payload.length), 2);
    }
    const body = Buffer.from(payload);
    for (let i = 0; i < body.length; i++) body[i] ^= mask[i % 4];
    this.socket.write(Buffer.concat([header, mask, body]));
    return true;
  }

  send(text) {
    return this.sendFrame(0x1, Buffer.from(text, 'utf8'));
  }

  sendJson(value) {
    return this.send(JSON.stringify(value));
  }

  // Resolves with the first received message (parsed) for which `match` is true, counting those already received.
  async waitForMessage(match, timeoutMs, what = 'message') {
    const test = (text) => {
      try {
        const value = JSON.parse(text);
        return match(value) ? value : undefined;
      } catch {
        return undefined;
      }
    };
    for (const text of this.texts) {
      const found = test(text);
      if (found !== undefined) return found;
    }
    let onText;
    const found = new Promise((resolve) => {
      onText = (text) => {
        const value = test(text);
        if (value !== undefined) resolve(value);
      };
      this.on('text', onText);
    });
    try {
      return await withTimeout(found, timeoutMs, `waiting for ${what}`);
    } finally {
      this.off('text', onText);
    }
  }

  async close(timeoutMs = 3000) {
    if (!this.isClosed) {
      this.sendFrame(0x8, Buffer.from([0x03, 0xe8]));
      try {
        await withTimeout(this.closed, timeoutMs, 'WebSocket close');
      } catch {
        this.socket.destroy();
      }
    }
  }
}

// Opens a WebSocket to ws:// or wss:// `url`; for wss, `ca` is the only certificate trusted.
export function connectWebSocket(url, { ca, timeoutMs = 5000 } = {}) {
  const target = new URL(url);
  const secure = target.protocol === 'wss:';
  const key = crypto.randomBytes(16).toString('base64');
  const request = (secure ? https : http).request({
    host: target.hostname,
    port: target.port,
    path: target.pathname + target.search,
    headers: {
      Connection: 'Upgrade',
      Upgrade: 'websocket',
      'Sec-WebSocket-Version': '13',
      'Sec-WebSocket-Key': key,
    },
    ...(secure ? { ca, servername: 'localhost', checkServerIdentity: () => undefined } : {}),
    agent: false,
  });
  const opened = new Promise((resolve, reject) => {
    request.on('upgrade', (response, socket, head) => {
      const expected = crypto.createHash('sha1').update(key + GUID).digest('base64');
      if (response.headers['sec-websocket-accept'] !== expected) {
        socket.destroy();
        reject(new Error('bad Sec-WebSocket-Accept'));
        return;
      }
      resolve(new WsClient(socket, head));
    });
    request.on('response', (response) => reject(new Error(`HTTP ${response.statusCode} instead of an upgrade`)));
    request.on('error', reject);
  });
  request.end();
  return withTimeout(opened, timeoutMs, `connecting to ${url}`).catch((err) => {
    request.destroy();
    throw err;
  });
}
