// A file-transfer peer on libdatachannel (node-datachannel) that speaks the web client's protocol: it signals
// through murva-signal over its own WebSocket, offers when told "peer-joined", answers an offer, and moves files
// over the "file" data channel as {"kind":"file",...} + 16 KiB binary chunks, confirmed by {"kind":"received",...}.
// It speaks the older form of that protocol: the hash travels in "file" when it sends, and it never says "hello",
// so pages send to it without a window and with the hash in a trailing {"kind":"end",...}.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import nodeDataChannel from 'node-datachannel';
import { startServer } from './server.mjs';
import { connectWebSocket } from './ws.mjs';
import { withTimeout } from './wait.mjs';

const CHUNK_SIZE = 16 * 1024;
const HIGH_WATER = 1024 * 1024;
const LOW_WATER = 256 * 1024;

export const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

// RTCIceServer entries (as "joined" carries them) in node-datachannel's object form. Its URL form cannot carry
// these credentials: libdatachannel splits the user part of a turn: URL at its first ':'.
export function nodeIceServers(iceServers = []) {
  const servers = [];
  for (const { urls, username, credential } of iceServers) {
    for (const url of [urls].flat()) {
      const m = /^(turns?):(\[[^\]]+\]|[^:?]+)(?::(\d+))?(?:\?transport=(udp|tcp))?$/.exec(url);
      if (!m) throw new Error(`not a TURN URL: ${url}`);
      const relayType = m[1] === 'turns' ? 'TurnTls' : m[4] === 'tcp' ? 'TurnTcp' : 'TurnUdp';
      const port = Number(m[3] || (m[1] === 'turns' ? 5349 : 3478));
      servers.push({ hostname: m[2].replace(/^\[|\]$/g, ''), port, username, password: credential, relayType });
    }
  }
  return servers;
}

export class NodePeer {
  // `rewrite`, when given, sees every outgoing signaling message and returns the list of messages to send instead.
  // The peer connection uses the iceServers of the server's "joined", and with `relayOnly` only relayed paths.
  constructor(name, { url, room, password, ca, rewrite, relayOnly = false } = {}) {
    Object.assign(this, { name, url, room, password, ca, rewrite, relayOnly });
    this.iceServers = [];       // from "joined"
    this.localCandidates = [];  // every candidate this peer gathered
    this.sent = [];             // signaling texts as sent
    this.pc = null;
    this.dc = null;
    this.pendingCandidates = [];
    this.incomingFiles = [];
    this.waiters = new Set();
    this.incoming = null;
    this.outgoingAck = null;
  }

  get received() {
    return this.ws ? this.ws.texts : [];
  }

  // Connects and sends "join"; resolves with the server's first reply to it.
  async join({ nick = this.name, timeoutMs = 5000 } = {}) {
    this.ws = await connectWebSocket(this.url, { ca: this.ca });
    this.ws.on('text', (text) => this.onSignal(text));
    const message = { type: 'join', room: this.room, nick };
    if (this.password !== undefined) message.password = this.password;
    this.ws.sendJson(message);
    const reply = await this.ws.waitForMessage((m) => ['joined', 'full', 'unauthorized', 'error'].includes(m.type),
      timeoutMs, `${this.name}'s reply to join`);
    if (reply.type === 'joined') this.iceServers = reply.iceServers ?? [];
    return reply;
  }

  signal(message) {
    for (const m of this.rewrite ? this.rewrite(message) : [message]) {
      const text = JSON.stringify(m);
      this.sent.push(text);
      this.ws.send(text);
    }
  }

  onSignal(text) {
    let m;
    try {
      m = JSON.parse(text);
    } catch {
      return;
    }
    switch (m.type) {
      case 'peer-joined':
        this.startPeer(true);
        break;
      case 'offer':
        this.startPeer(false);
        this.pc.setRemoteDescription(m.sdp, 'offer');
        this.addPendingCandidates();
        break;
      case 'answer':
        if (this.pc) {
          this.pc.setRemoteDescription(m.sdp, 'answer');
          this.addPendingCandidates();
        }
        break;
      case 'candidate':
        if (typeof m.candidate !== 'string') break;
        if (this.pc && this.pc.remoteDescription()) this.pc.addRemoteCandidate(m.candidate, m.sdpMid ?? '0');
        else this.pendingCandidates.push(m);
        break;
      case 'peer-left':
        this.closePeer();
        break;
      default:
    }
  }

  addPendingCandidates() {
    for (const m of this.pendingCandidates.splice(0)) this.pc.addRemoteCandidate(m.candidate, m.sdpMid ?? '0');
  }

  startPeer(initiator) {
    this.closePeer();
    // Without bindAddress libdatachannel gathers no loopback candidate, and loopback is all there is here.
    const pc = new nodeDataChannel.PeerConnection(this.name, {
      iceServers: nodeIceServers(this.iceServers),
      bindAddress: '127.0.0.1',
      iceTransportPolicy: this.relayOnly ? 'relay' : 'all',
    });
    this.pc = pc;
    pc.onLocalDescription((sdp, type) => this.signal({ type: String(type).toLowerCase(), sdp }));
    pc.onLocalCandidate((candidate, mid) => {
      this.localCandidates.push(candidate);
      this.signal({ type: 'candidate', candidate: candidate.replace(/^a=/, ''), sdpMid: mid, sdpMLineIndex: 0 });
    });
    pc.onDataChannel((dc) => this.attach(dc));
    if (initiator) this.attach(pc.createDataChannel('file'));
  }

  closePeer() {
    const { pc, dc } = this;
    this.pc = null;
    this.dc = null;
    this.pendingCandidates = [];
    this.notify();
    try { dc?.close(); } catch { /* already closed */ }
    try { pc?.close(); } catch { /* already closed */ }
  }

  attach(dc) {
    this.dc = dc;
    dc.setBufferedAmountLowThreshold(LOW_WATER);
    dc.onOpen(() => this.notify());
    dc.onClosed(() => this.notify());
    dc.onBufferedAmountLow(() => this.notify());
    dc.onMessage((msg) => this.onChannelMessage(msg));
    this.notify();
  }

  notify() {
    for (const wake of [...this.waiters]) wake();
  }

  // Waits for `condition` to hold, re-checked on every channel event; bounded by timeoutMs.
  waitFor(condition, timeoutMs, what) {
    if (condition()) return Promise.resolve();
    let wake;
    const done = new Promise((resolve) => {
      wake = () => {
        if (condition()) resolve();
      };
      this.waiters.add(wake);
    });
    return withTimeout(done, timeoutMs, `${this.name}: ${what}`).finally(() => this.waiters.delete(wake));
  }

  channelOpen(timeoutMs = 15000) {
    return this.waitFor(() => this.dc?.isOpen(), timeoutMs, 'data channel open');
  }

  onChannelMessage(msg) {
    if (typeof msg === 'string') {
      const m = JSON.parse(msg);
      if (m.kind === 'file') {
        this.incoming = { name: m.name, size: m.size, senderHash: m.sha256, chunks: [], received: 0, started: Date.now() };
        this.maybeFinishIncoming();
      } else if (m.kind === 'end' && this.incoming) {
        this.incoming.senderHash = m.sha256;
        this.maybeFinishIncoming();
      } else if (m.kind === 'received') {
        this.outgoingAck = m;
      }
      this.notify();
      return;
    }
    if (!this.incoming) return;
    const chunk = Buffer.from(msg);
    this.incoming.chunks.push(chunk);
    this.incoming.received += chunk.length;
    this.maybeFinishIncoming();
  }

  // Complete once every byte is in and the sender's hash is known (from "file" or from "end").
  maybeFinishIncoming() {
    const inc = this.incoming;
    if (!inc || inc.received < inc.size || inc.senderHash === undefined) return;
    this.incoming = null;
    const data = Buffer.concat(inc.chunks);
    const file = { name: inc.name, size: inc.size, data, sha256: sha256(data), senderHash: inc.senderHash, ms: Date.now() - inc.started };
    this.incomingFiles.push(file);
    this.dc.sendMessage(JSON.stringify({ kind: 'received', sha256: file.sha256, size: data.length }));
    this.notify();
  }

  async nextFile(timeoutMs = 30000) {
    await this.waitFor(() => this.incomingFiles.length > 0, timeoutMs, 'a whole file received');
    return this.incomingFiles.shift();
  }

  // Sends `data` with back-pressure and resolves once the receiver confirmed it, with the time taken.
  async sendFile(data, name = 'file.bin', timeoutMs = 30000) {
    const dc = this.dc;
    const hash = sha256(data);
    const started = Date.now();
    this.outgoingAck = null;
    dc.sendMessage(JSON.stringify({ kind: 'file', name, size: data.length, mime: 'application/octet-stream', sha256: hash }));
    for (let offset = 0; offset < data.length; offset += CHUNK_SIZE) {
      if (dc.bufferedAmount() > HIGH_WATER) {
        await this.waitFor(() => !dc.isOpen() || dc.bufferedAmount() <= LOW_WATER, timeoutMs, 'send buffer drained');
      }
      if (!dc.isOpen()) throw new Error(`${this.name}: data channel closed while sending`);
      dc.sendMessageBinary(data.subarray(offset, offset + CHUNK_SIZE));
    }
    await this.waitFor(() => this.outgoingAck, timeoutMs, 'receiver confirmed the file');
    return { ms: Date.now() - started, sha256: hash, receiverHash: this.outgoingAck.sha256 };
  }

  // The candidate pair carrying the data, as "type address:port".
  selectedPair() {
    const pair = this.pc?.getSelectedCandidatePair();
    if (!pair) return null;
    const show = (c) => `${c.type} ${c.address}:${c.port}`;
    return { local: show(pair.local), remote: show(pair.remote), localType: pair.local.type, remoteType: pair.remote.type };
  }

  async close() {
    this.closePeer();
    if (this.ws) await this.ws.close();
  }
}

// Moves `size` random bytes from `sender` to `receiver` once both channels are open and checks that they arrived
// whole; resolves with the time taken and the sender's selected candidate pair.
export async function transferFile(sender, receiver, size) {
  const data = crypto.randomBytes(size);
  await Promise.all([sender.channelOpen(), receiver.channelOpen()]);
  const [sent, got] = await Promise.all([sender.sendFile(data, 'random.bin'), receiver.nextFile()]);
  assert.equal(got.size, size);
  assert.equal(got.sha256, sha256(data));
  assert.equal(got.senderHash, got.sha256);
  assert.equal(sent.receiverHash, sha256(data));
  const pair = sender.selectedPair();
  assert.ok(pair, 'a selected candidate pair');
  return { sent, got, pair };
}

// Runs one server (startServer's options) and the peers `body` makes in one room, always stopping all of them.
export async function withPeers(serverOptions, peerOptions, body) {
  const server = await startServer(serverOptions);
  const peers = [];
  try {
    const room = `room-${crypto.randomUUID()}`;
    const make = (name, extra = {}) => {
      const peer = new NodePeer(name, { url: server.url, room, ...peerOptions, ...extra });
      peers.push(peer);
      return peer;
    };
    return await body({ server, room, make });
  } finally {
    for (const peer of peers) await peer.close();
    await server.stop();
  }
}
