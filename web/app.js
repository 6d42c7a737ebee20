// murva file transfer: meets the other person in a room of the signaling server, opens a direct WebRTC
// connection to them and moves files over one RTCDataChannel. The server only carries the offer, the answer
// and the ICE candidates (and may hand out TURN servers when joining); file data never passes through it.
//
// Who offers: the member that was in the room first (it is told "peer-joined") creates the offer and the data
// channel; the newcomer answers. Either side may send files once the channel is open. The messages on the
// channel are described in protocol.js; sending is send.js, receiving receive.js.
//
// The server is only needed to meet and to negotiate: losing it (a restart, a deploy, a network change) leaves
// the peer connection and a running transfer alone. The page reconnects, resumes its place with the session
// token from "joined" (or joins again when the server no longer knows it) and keeps the peer connection when it
// meets the same person. A direct connection that breaks while the server is reachable is restarted (ICE
// restart) by the side that made the first offer.
import { capitalise, sendJson, LOW_WATER } from './protocol.js';
import { Incoming, writeProblem } from './receive.js';
import { Outgoing } from './send.js';

const $ = (id) => document.getElementById(id);

// The current session; callbacks of an older one (after Leave or a failure) check this and do nothing.
let session = null;
let downloadUrl = null;

const LARGE_FILE = 1024 * 1024 * 1024;   // from this size on, saving to disk while receiving is suggested
const RETRY_FIRST_MS = 500;              // reconnecting: the first wait, doubled after each failure...
const RETRY_MAX_MS = 10000;              // ...up to this; each wait is jittered down to half of it
const ICE_GRACE_MS = 3000;               // an ICE 'disconnected' lasting this long is treated as broken

// ---------------------------------------------------------------------------------------------------------
// Page state and wording

function setState(state, failed = false) {
  document.body.dataset.state = state;
  document.body.classList.toggle('failed', failed);
  const active = state !== 'idle';
  for (const id of ['server', 'room', 'nick', 'password', 'ice']) $(id).disabled = active;
  $('join').hidden = active;
  $('leave').hidden = !active;
  $('transfer').hidden = !active && $('download').hidden;
  if (!active) {
    $('peer').textContent = 'nobody yet';
    $('route').hidden = true;
  }
  updateSendButton();
}

function setStatus(text) {
  $('status').textContent = text;
}

function logLine(text, bad = false) {
  const item = document.createElement('li');
  const time = document.createElement('time');
  time.textContent = new Date().toLocaleTimeString();
  item.append(time, text);
  if (bad) item.classList.add('bad');
  $('log').append(item);
  item.scrollIntoView({ block: 'nearest' });
  return item;
}

function peerName(s) {
  return s.peerNick ? `“${s.peerNick}”` : 'the other person';
}

function formatSize(bytes) {
  if (bytes < 1024) return `${bytes} bytes`;
  if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(1)} KiB`;
  if (bytes < 1024 * 1024 * 1024) return `${(bytes / 1024 / 1024).toFixed(1)} MiB`;
  return `${(bytes / 1024 / 1024 / 1024).toFixed(2)} GiB`;
}

function formatDuration(ms) {
  return ms < 1000 ? `${Math.max(1, Math.round(ms))} ms` : `${(ms / 1000).toFixed(1)} s`;
}

function setInfo(id, text, tone = '') {
  const el = $(id);
  el.textContent = text;
  el.className = `info ${tone}`.trim();
}

// The server's refusals, said so that a person knows what to do next.
function explainError(reason) {
  switch (reason) {
    case 'Room code too long.':
      return 'The room code is too long (at most 128 bytes). Choose a shorter one.';
    case 'Server is at capacity, try later.':
      return 'The server has too many rooms open right now. Try again later.';
    case 'Server is at capacity.':
      return 'The server has too many connections right now. Try again later.';
    default:
      return `The server refused: ${reason || 'no reason given'}.`;
  }
}

// ---------------------------------------------------------------------------------------------------------
// Joining and leaving

function join(event) {
  event.preventDefault();
  if (session) endSession(session);

  const url = $('server').value.trim();
  const room = $('room').value.trim();
  const nick = $('nick').value.trim();
  const password = $('password').value;
  const ice = $('ice').value.trim();
  $('log').replaceChildren();
  resetSendBox();

  if (!/^wss?:\/\/./i.test(url)) {
    setState('idle', true);
    setStatus('The server address must start with ws:// or wss://, for example ws://localhost:8080.');
    return;
  }
  if (!room) {
    setState('idle', true);
    setStatus('Enter a room code. The other person must enter the same one.');
    return;
  }

  const s = {
    ws: null, url, room, nick, password, ice,
    opened: false, refused: false,
    joinedOnce: false, token: null, resuming: false, reconnecting: false, retryTimer: null, attempts: 0,
    peerNick: '', pc: null, dc: null, pendingCandidates: [], candidateLine: null, candidateCount: 0,
    offerer: false, everConnected: false, iceTimer: null,
    queue: Promise.resolve(), outgoing: null, incoming: null, serverIceServers: [], peerAcks: false, relayed: false,
    nextTransferId: 1,
  };
  if (!connect(s)) {
    setState('idle', true);
    setStatus(`“${url}” is not a usable server address.`);
    return;
  }
  session = s;
  setState('connecting');
  setStatus(`Connecting to ${url}…`);
}

// Opens a connection to the server for the session and joins (or resumes) on it. False when the address is
// not usable at all.
function connect(s) {
  let ws;
  try {
    ws = new WebSocket(s.url);
  } catch {
    return false;
  }
  s.ws = ws;
  const { url, room } = s;
  ws.onopen = () => {
    if (session !== s || s.ws !== ws) return;
    s.opened = true;
    s.attempts = 0;
    if (s.joinedOnce) {
      logLine('Connected to the server again.');
    } else {
      logLine('Connected to the server.');
      setStatus(`Connected to the server. Joining room “${room}”…`);
    }
    sendJoin(s);
  };
  ws.onmessage = (event) => {
    if (session !== s || s.ws !== ws || typeof event.data !== 'string') return;
    let message;
    try {
      message = JSON.parse(event.data);
    } catch {
      message = null;
    }
    if (!message || typeof message !== 'object' || Array.isArray(message)) {
      logLine('The server sent something that is not a message; ignored.');
      return;
    }
    // One message at a time: offer, answer and candidates must be applied in the order they came.
    s.queue = s.queue.then(() => handleSignal(s, message)).catch((err) => {
      if (session === s) logLine(`Could not use a message from ${peerName(s)}: ${err.message || err}`, true);
    });
  };
  ws.onclose = () => {
    if (session !== s || s.ws !== ws) return;
    if (s.joinedOnce && !s.refused) {
      reconnectLater(s);
    } else if (!s.opened) {
      logLine('Could not connect to the server.', true);
      const tls = url.toLowerCase().startsWith('wss:')
        ? ' If it uses a self-signed certificate, open its address with https:// in this browser once and accept it.'
        : '';
      endSession(s, `Could not connect to the server at ${url}. Check the address and that the server is running.${tls}`, true);
    } else if (s.refused) {
      logLine('The server closed the connection.');
      endSession(s, null, true);   // the refusal is already on screen
    } else {
      logLine('The server closed the connection.', true);
      endSession(s, 'The connection to the server was lost. Press Join to connect again.', true);
    }
  };
  return true;
}

// A join that asks to be resumable, or the resume of the place the last "joined" gave.
function sendJoin(s) {
  const message = { type: 'join', room: s.room, nick: s.nick };
  if (s.password) message.password = s.password;
  if (s.token) message.session = s.token;
  else message.resume = true;
  s.resuming = Boolean(s.token);
  signal(s, message);
}

// The server connection was lost after joining: try again with a jittered, doubling wait (at once when the
// browser says it is back online). The peer connection and any transfer go on meanwhile.
function reconnectLater(s, now = false) {
  clearTimeout(s.retryTimer);
  if (!s.reconnecting) {
    s.reconnecting = true;
    logLine('Lost the connection to the server; reconnecting.');
  }
  setStatus('Reconnecting to the server…');
  const wait = Math.min(RETRY_MAX_MS, RETRY_FIRST_MS * 2 ** s.attempts);
  s.attempts = Math.min(s.attempts + 1, 16);
  s.retryTimer = setTimeout(() => {
    s.retryTimer = null;
    if (session === s && !connect(s)) reconnectLater(s);
  }, now ? 0 : wait * (0.5 + Math.random() / 2));
}

function reconnectNow() {
  const s = session;
  if (!s || !s.retryTimer) return;
  s.attempts = 0;
  reconnectLater(s, true);
}

function leave() {
  if (!session) return;
  const s = session;
  logLine('You left the room.');
  endSession(s, 'You left the room. Press Join to connect again.');
}

function endSession(s, message = null, failed = false) {
  if (session === s) session = null;
  clearTimeout(s.retryTimer);
  clearTimeout(s.iceTimer);
  closePeer(s, 'The connection ended before the transfer finished.');
  if (s.ws) {
    s.ws.onopen = s.ws.onmessage = s.ws.onclose = null;
    if (s.ws.readyState === WebSocket.CONNECTING || s.ws.readyState === WebSocket.OPEN) s.ws.close();
  }
  setState('idle', failed);
  if (message) setStatus(message);
}

function signal(s, message) {
  if (s.ws?.readyState === WebSocket.OPEN) s.ws.send(JSON.stringify(message));
}

// Back in the room after a reconnection. The same person there (or nobody yet: they are reconnecting too)
// keeps the peer connection; anyone else means starting over as the newcomer.
function rejoined(s, peer) {
  s.reconnecting = false;
  logLine(s.resuming ? `Back in room “${s.room}”.` : `Joined room “${s.room}” again.`);
  s.resuming = false;
  if (s.pc && (!peer || peer === s.peerNick)) {
    if (s.dc?.readyState === 'open') showConnected(s);
    else setStatus(`Back on the server. Connecting directly to ${peerName(s)}…`);
    if (!peer) logLine(`Waiting for ${peerName(s)} to come back to the server.`);
    restartIceIfBroken(s);
    return;
  }
  if (s.pc) closePeer(s, `${capitalise(peerName(s))} is no longer in the room.`);
  s.peerNick = peer;
  $('peer').textContent = peer || 'nobody yet';
  if (peer) {
    setState('pairing');
    setStatus(`Joined room “${s.room}” with ${peerName(s)}. Connecting directly…`);
  } else {
    setState('waiting');
    setStatus(`Joined room “${s.room}”. Waiting for someone to join with the same room code…`);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Messages from the server

async function handleSignal(s, message) {
  if (session !== s) return;
  switch (message.type) {
    case 'joined':
      s.token = typeof message.session === 'string' ? message.session : null;
      s.serverIceServers = usableIceServers(message.iceServers);
      if (s.joinedOnce) {
        rejoined(s, typeof message.peer === 'string' ? message.peer : '');
        break;
      }
      s.joinedOnce = true;
      s.peerNick = typeof message.peer === 'string' ? message.peer : '';
      if (s.peerNick) {
        logLine(`Joined room “${s.room}”. ${peerName(s)} is already here.`);
        $('peer').textContent = s.peerNick;
        setState('pairing');
        setStatus(`Joined room “${s.room}” with ${peerName(s)}. Connecting directly…`);
      } else {
        logLine(`Joined room “${s.room}”. You are the first one here.`);
        setState('waiting');
        setStatus(`Joined room “${s.room}”. Waiting for someone to join with the same room code…`);
      }
      if (s.serverIceServers.length) logLine('The server offers a relay (TURN) in case a direct connection fails.');
      break;

    case 'peer-joined':
      // The same person back after the server lost us both (a restart): the peer connection goes on.
      if (s.pc && s.pc.connectionState !== 'closed' && message.peer === s.peerNick) {
        logLine(`${capitalise(peerName(s))} is back on the server.`);
        restartIceIfBroken(s);
        break;
      }
      s.peerNick = typeof message.peer === 'string' ? message.peer : '';
      $('peer').textContent = s.peerNick || '(no name)';
      logLine(`${capitalise(peerName(s))} joined the room.`);
      await makeOffer(s);
      break;

    case 'offer':
      if (message.restart === true && s.pc && s.pc.signalingState === 'stable') {
        logLine(`${capitalise(peerName(s))} is restoring the direct connection (ICE restart).`);
        await s.pc.setRemoteDescription({ type: 'offer', sdp: message.sdp });
        await s.pc.setLocalDescription();
        signal(s, { type: 'answer', sdp: s.pc.localDescription.sdp });
        break;
      }
      logLine(`${capitalise(peerName(s))} sent a connection offer.`);
      await acceptOffer(s, message.sdp);
      break;

    case 'answer':
      logLine(`${capitalise(peerName(s))} answered the connection offer.`);
      if (!s.pc || s.pc.signalingState !== 'have-local-offer') return;
      await s.pc.setRemoteDescription({ type: 'answer', sdp: message.sdp });
      await addPendingCandidates(s);
      break;

    case 'candidate':
      noteCandidate(s);
      await addCandidate(s, message);
      break;

    case 'peer-away':
      logLine(`${capitalise(peerName(s))} lost the connection to the server; waiting for them to come back.`);
      break;

    case 'peer-back':
      logLine(`${capitalise(peerName(s))} is back on the server.`);
      restartIceIfBroken(s);
      break;

    case 'peer-left':
      logLine(`${capitalise(peerName(s))} left the room.`);
      closePeer(s, `${capitalise(peerName(s))} left before the transfer finished.`);
      setStatus(`${capitalise(peerName(s))} left. Waiting for someone to join room “${s.room}”…`);
      s.peerNick = '';
      $('peer').textContent = 'nobody yet';
      setState('waiting');
      break;

    case 'full':
      s.refused = true;
      logLine(`Room is full: two people are already in room “${s.room}”.`, true);
      endSession(s, `Room “${s.room}” is full. Choose another room code.`, true);
      break;

    case 'unauthorized':
      s.refused = true;
      if (s.password) {
        logLine('Wrong password.', true);
        setStatus('Wrong password. The server closed the connection; correct the password and press Join.');
      } else {
        logLine('This server needs a password.', true);
        setStatus('This server needs a password. Enter it and press Join.');
      }
      setState('idle', true);   // the server closes the connection; onclose ends the session
      break;

    case 'error': {
      if (s.resuming && message.reason === 'Session expired.') {
        // The server no longer holds our place (it restarted, or the wait ran out): join as anyone would.
        logLine('The server no longer knew this session; joining the room again.');
        s.token = null;
        sendJoin(s);
        break;
      }
      s.refused = true;
      const text = explainError(message.reason);
      logLine(text, true);
      endSession(s, text, true);
      break;
    }

    default:
      logLine(`Received a message of unknown type “${String(message.type)}”; ignored.`);
  }
}

// TURN (and STUN) servers the server hands out with "joined": only well-formed entries are taken.
function usableIceServers(list) {
  if (!Array.isArray(list)) return [];
  const strings = (v) => typeof v === 'string' ||
    (Array.isArray(v) && v.length > 0 && v.every((u) => typeof u === 'string'));
  return list.filter((e) => e && typeof e === 'object' && strings(e.urls)).map((e) => {
    const server = { urls: e.urls };
    if (typeof e.username === 'string') server.username = e.username;
    if (typeof e.credential === 'string') server.credential = e.credential;
    return server;
  });
}

// Candidates come in bursts; one log line counts them instead of flooding the list.
function noteCandidate(s) {
  s.candidateCount += 1;
  const text = `Received ${s.candidateCount} network address${s.candidateCount === 1 ? '' : 'es'} (ICE candidates) from ${peerName(s)}.`;
  if (!s.candidateLine || !s.candidateLine.isConnected) {
    s.candidateLine = logLine(text);
  } else {
    s.candidateLine.lastChild.textContent = text;
  }
}

// ---------------------------------------------------------------------------------------------------------
// The peer connection

function iceServersFor(s) {
  const own = s.ice ? [{ urls: s.ice.split(/[\s,]+/).filter(Boolean) }] : [];
  return [...s.serverIceServers, ...own];
}

function newPeerConnection(s) {
  if (s.serverIceServers.length) {
    try {
      return new RTCPeerConnection({ iceServers: iceServersFor(s) });
    } catch (err) {
      logLine(`The relay the server offered cannot be used (${err.message || err}); trying without it.`, true);
      s.serverIceServers = [];
    }
  }
  return new RTCPeerConnection({ iceServers: iceServersFor(s) });
}

function createPeer(s) {
  closePeer(s);
  const pc = newPeerConnection(s);
  s.pc = pc;
  s.everConnected = false;
  s.relayed = false;
  s.peerAcks = false;
  s.candidateLine = null;
  s.candidateCount = 0;
  pc.onicecandidate = (event) => {
    if (s.pc !== pc || !event.candidate || !event.candidate.candidate) return;
    signal(s, {
      type: 'candidate',
      candidate: event.candidate.candidate,
      sdpMid: event.candidate.sdpMid,
      sdpMLineIndex: event.candidate.sdpMLineIndex,
    });
  };
  pc.oniceconnectionstatechange = () => {
    if (s.pc !== pc || session !== s) return;
    clearTimeout(s.iceTimer);
    s.iceTimer = null;
    if (pc.iceConnectionState === 'failed') {
      restartIceIfBroken(s);
    } else if (pc.iceConnectionState === 'disconnected') {
      s.iceTimer = setTimeout(() => {
        s.iceTimer = null;
        if (s.pc === pc && session === s) restartIceIfBroken(s);
      }, ICE_GRACE_MS);
    }
  };
  pc.onconnectionstatechange = () => {
    if (s.pc !== pc || session !== s) return;
    if (pc.connectionState === 'connected') {
      s.everConnected = true;
      describeRoute(s, pc).catch(() => {});
      // The pair in use may change later (a better path found, or a fall back to the relay).
      const ice = pc.sctp?.transport?.iceTransport;
      if (ice && !ice.onselectedcandidatepairchange) {
        ice.onselectedcandidatepairchange = () => describeRoute(s, pc).catch(() => {});
      }
    } else if (pc.connectionState === 'failed' && s.everConnected) {
      setStatus(`The direct connection to ${peerName(s)} broke; trying to restore it…`);
    } else if (pc.connectionState === 'failed') {
      setState(document.body.dataset.state, true);
      setStatus(`Could not connect to ${peerName(s)}. If you are on different networks, a STUN server ` +
        '(under Advanced) may help; press Leave and Join to try again.');
    }
  };
  pc.ondatachannel = (event) => {
    if (s.pc === pc) attachChannel(s, event.channel);
  };
  setState('pairing');
  setStatus(`Connecting directly to ${peerName(s)}…`);
  return pc;
}

function closePeer(s, interruption = '') {
  if (s.outgoing) s.outgoing.fail(interruption || 'The transfer was stopped.');
  if (s.incoming) s.incoming.fail(interruption || 'The transfer was stopped.');
  const { pc, dc } = s;
  s.pc = null;
  s.dc = null;
  s.pendingCandidates = [];
  if (dc) dc.close();
  if (pc) pc.close();
  $('route').hidden = true;
  updateSendButton();
}

// A broken direct connection (ICE failed, or disconnected for ICE_GRACE_MS) gets new ICE credentials and a new
// offer from the side that made the first one, once the server can carry it; the other side answers.
function restartIceIfBroken(s) {
  const pc = s.pc;
  if (!pc || !s.offerer) return;
  const broken = pc.iceConnectionState === 'failed' ||
    (pc.iceConnectionState === 'disconnected' && !s.iceTimer);
  if (!broken) return;
  if (s.reconnecting || s.ws?.readyState !== WebSocket.OPEN) return;   // tried again once back on the server
  s.queue = s.queue.then(async () => {
    if (s.pc !== pc || session !== s || pc.signalingState !== 'stable') return;
    logLine(`The direct connection to ${peerName(s)} broke; restoring it (ICE restart).`);
    pc.restartIce();
    await pc.setLocalDescription();
    if (s.pc === pc) signal(s, { type: 'offer', sdp: pc.localDescription.sdp, restart: true });
  }).catch((err) => {
    if (session === s) logLine(`Could not restart the direct connection: ${err.message || err}`, true);
  });
}

async function makeOffer(s) {
  const pc = createPeer(s);
  s.offerer = true;
  attachChannel(s, pc.createDataChannel('file'));
  await pc.setLocalDescription();
  if (s.pc === pc) signal(s, { type: 'offer', sdp: pc.localDescription.sdp });
}

async function acceptOffer(s, sdp) {
  const pending = s.pendingCandidates;
  const pc = createPeer(s);
  s.offerer = false;
  s.pendingCandidates = pending;
  await pc.setRemoteDescription({ type: 'offer', sdp });
  await addPendingCandidates(s);
  await pc.setLocalDescription();
  if (s.pc === pc) signal(s, { type: 'answer', sdp: pc.localDescription.sdp });
}

async function addCandidate(s, message) {
  if (typeof message.candidate !== 'string') return;
  const candidate = {
    candidate: message.candidate.replace(/^a=/, ''),   // some stacks send the SDP attribute form
    sdpMid: typeof message.sdpMid === 'string' ? message.sdpMid : null,
    sdpMLineIndex: Number.isInteger(message.sdpMLineIndex) ? message.sdpMLineIndex : null,
  };
  if (candidate.sdpMid === null && candidate.sdpMLineIndex === null) candidate.sdpMLineIndex = 0;
  if (!s.pc || !s.pc.remoteDescription) {
    s.pendingCandidates.push(candidate);
    return;
  }
  await s.pc.addIceCandidate(candidate);
}

async function addPendingCandidates(s) {
  const pending = s.pendingCandidates;
  s.pendingCandidates = [];
  for (const candidate of pending) await s.pc?.addIceCandidate(candidate);
}

// Shows which pair of addresses carries the data, so that a relayed path is never a surprise.
async function describeRoute(s, pc) {
  const stats = await pc.getStats();
  if (s.pc !== pc) return;
  let pair = null;
  for (const report of stats.values()) {
    if (report.type === 'transport' && report.selectedCandidatePairId) pair = stats.get(report.selectedCandidatePairId);
  }
  if (!pair) {
    for (const report of stats.values()) {
      if (report.type === 'candidate-pair' && report.nominated && report.state === 'succeeded') pair = report;
    }
  }
  const local = pair && stats.get(pair.localCandidateId);
  const remote = pair && stats.get(pair.remoteCandidateId);
  if (!local || !remote) return;
  const kinds = { host: 'local address', srflx: 'public address', prflx: 'discovered address', relay: 'TURN relay' };
  // Browsers hide the address of a peer-reflexive remote candidate; the port is still shown.
  const address = (c) => c.address ?? c.ip ?? '';
  const describe = (c) => `${address(c) || '(address hidden)'}:${c.port} (${kinds[c.candidateType] || c.candidateType})`;
  s.relayed = local.candidateType === 'relay' || remote.candidateType === 'relay';
  const route = $('route');
  route.textContent = `Route: ${describe(local)} ↔ ${describe(remote)} over ${String(local.protocol).toUpperCase()}` +
    (s.relayed ? ', relayed' : ', direct');
  route.dataset.local = `${local.candidateType} ${address(local)}:${local.port}`;
  route.dataset.remote = `${remote.candidateType} ${address(remote)}:${remote.port}`;
  route.hidden = false;
  if (s.dc?.readyState === 'open') showConnected(s);
}

function showConnected(s) {
  const how = s.relayed ? `Connected to ${peerName(s)} through a relay (TURN)` : `Connected directly to ${peerName(s)}`;
  setStatus(`${how}. Choose a file and press Send, or wait for theirs.`);
}

// ---------------------------------------------------------------------------------------------------------
// The data channel and the file transfer

function attachChannel(s, dc) {
  s.dc = dc;
  dc.binaryType = 'arraybuffer';
  dc.bufferedAmountLowThreshold = LOW_WATER;
  dc.onopen = () => {
    if (s.dc !== dc || session !== s) return;
    sendJson(dc, { kind: 'hello', version: 2 });
    setState('connected');
    $('peer').textContent = s.peerNick || '(no name)';
    showConnected(s);
  };
  dc.onclose = () => {
    if (s.dc !== dc || session !== s) return;
    closePeer(s, 'The direct connection closed before the transfer finished.');
    setState('pairing', true);
    setStatus(`The direct connection to ${peerName(s)} closed.`);
  };
  dc.onmessage = (event) => {
    if (s.dc === dc) onChannelMessage(s, event.data);
  };
}

// Older peers leave out the id; their messages are about the one transfer under way.
const sameTransfer = (transfer, message) =>
  Boolean(transfer) && (message.id === undefined || message.id === transfer.id);

function onChannelMessage(s, data) {
  if (typeof data !== 'string') {
    s.incoming?.chunk(data);
    return;
  }
  let message;
  try {
    message = JSON.parse(data);
  } catch {
    return;
  }
  if (!message || typeof message !== 'object') return;
  switch (message.kind) {
    case 'hello':
      s.peerAcks = true;
      if (s.outgoing) s.outgoing.windowed = true;
      break;
    case 'file':
      startIncoming(s, message);
      break;
    case 'end':
      if (sameTransfer(s.incoming, message)) s.incoming.end(message);
      break;
    case 'progress':
    case 'received':
      if (sameTransfer(s.outgoing, message)) s.outgoing.handle(message);
      break;
    case 'stop':
      if (message.by === 'receiver' && sameTransfer(s.outgoing, message)) s.outgoing.handle(message);
      if (message.by === 'sender' && sameTransfer(s.incoming, message)) s.incoming.stop(message);
      break;
    default:
  }
}

// ----- receiving

function startIncoming(s, header) {
  if (s.incoming) s.incoming.fail('A new file arrived before this one was complete.');
  const inc = new Incoming(s.dc, header, { peer: peerName(s) });
  s.incoming = inc;
  $('recv-name').textContent = `${inc.name} (${formatSize(inc.size)}) from ${peerName(s)}`;
  $('recv-progress').value = 0;
  $('recv-progress').hidden = false;
  $('recv-hash').textContent = '';
  $('download').hidden = true;
  $('download').removeAttribute('download');
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = null;
  const canSave = 'showSaveFilePicker' in window;
  $('save-disk').hidden = !canSave;
  $('save-disk').disabled = false;
  setInfo('recv-info', 'Receiving…');
  if (canSave && inc.size >= LARGE_FILE) {
    logLine(`“${inc.name}” is large: “Save to disk while receiving” keeps it out of the browser’s memory.`);
  }
  const timer = setInterval(() => showReceiveProgress(inc), 100);
  inc.done.then((result) => {
    clearInterval(timer);
    if (s.incoming === inc) s.incoming = null;
    finishIncoming(s, inc, result);
  });
}

function showReceiveProgress(inc) {
  if (inc.result) return;
  $('recv-progress').value = inc.size ? Math.min(inc.received / inc.size, 1) : 1;
  const where = inc.writer ? ', saving to disk' : '';
  setInfo('recv-info', inc.finishing
    ? `Received ${formatSize(inc.size)}. Checking${inc.writer ? ' and saving' : ''}…`
    : `${formatSize(inc.received)} of ${formatSize(inc.size)}${where}`);
}

function finishIncoming(s, inc, result) {
  $('save-disk').hidden = true;
  if (result.hash) $('recv-hash').textContent = result.hash;
  if (!result.ok) {
    setInfo('recv-info', result.text, 'bad');
    return;
  }
  $('recv-progress').value = 1;
  const check = result.checked ? ' The SHA-256 matches the sender’s.' : '';
  const where = result.onDisk ? ' Saved to the file you chose.' : '';
  setInfo('recv-info', `Received ${formatSize(inc.size)} in ${formatDuration(result.ms)}.${check}${where}`, 'good');
  if (!inc.blob) return;
  downloadUrl = URL.createObjectURL(inc.blob);
  const link = $('download');
  link.href = downloadUrl;
  link.download = inc.name;
  link.textContent = `Save “${inc.name}” (${formatSize(inc.size)})`;
  link.hidden = false;
}

// "Save to disk while receiving": the parts kept so far are written first, then every part as it comes.
async function saveToDisk() {
  const inc = session?.incoming;
  if (!inc) return;
  $('save-disk').disabled = true;
  let writable;
  try {
    const handle = await window.showSaveFilePicker({ suggestedName: inc.name });
    writable = await handle.createWritable();
  } catch (err) {
    if (err?.name !== 'AbortError') logLine(`Could not open a file to save to: ${writeProblem(err)}.`, true);
    $('save-disk').disabled = false;   // they may choose again
    return;
  }
  if (inc.saveTo(writable)) {
    logLine(`Saving “${inc.name}” to disk while it arrives.`);
    return;
  }
  // It finished while the dialog was open: write the whole file there, unless it failed.
  const result = await inc.done;
  if (!result.ok || !inc.blob) {
    await writable.abort().catch(() => {});
    return;
  }
  try {
    await writable.write(inc.blob);
    await writable.close();
    logLine(`Saved “${inc.name}” to disk.`);
  } catch (err) {
    await writable.abort().catch(() => {});
    logLine(`Could not save “${inc.name}”: ${writeProblem(err)}.`, true);
  }
}

// ----- sending

function resetSendBox() {
  $('send-name').textContent = '';
  $('send-progress').value = 0;
  $('send-progress').hidden = true;
  $('send-hash').textContent = '';
  setInfo('send-info', '');
}

function updateSendButton() {
  const s = session;
  const open = Boolean(s && s.dc && s.dc.readyState === 'open');
  $('send').disabled = !open || Boolean(s.outgoing) || !$('file').files.length;
  $('send-hint').hidden = open;
  $('send').title = !s || (!open && !s.outgoing) ? 'Available once you are connected to the other person' : '';
}

function sendFile() {
  const s = session;
  const file = $('file').files[0];
  if (!s || !file || !s.dc || s.dc.readyState !== 'open' || s.outgoing) return;
  const out = new Outgoing(s.dc, file, {
    id: s.nextTransferId++, peer: peerName(s), windowed: s.peerAcks, maxMessageSize: s.pc?.sctp?.maxMessageSize,
  });
  s.outgoing = out;
  updateSendButton();
  resetSendBox();
  $('send-name').textContent = `${file.name} (${formatSize(file.size)}) to ${peerName(s)}`;
  $('send-progress').hidden = false;
  setInfo('send-info', 'Starting…');
  const timer = setInterval(() => showSendProgress(out), 100);
  out.done.then((result) => {
    clearInterval(timer);
    if (s.outgoing === out) s.outgoing = null;
    finishOutgoing(s, out, result);
  });
  out.run();
}

function showSendProgress(out) {
  if (out.result) return;
  const sent = out.sent;
  $('send-progress').value = out.size ? sent / out.size : 1;
  setInfo('send-info', out.allQueued && sent >= out.size
    ? `All sent. Waiting for ${out.peer} to check the file…`
    : `${formatSize(sent)} of ${formatSize(out.size)} sent`);
}

function finishOutgoing(s, out, result) {
  if (result.hash) $('send-hash').textContent = result.hash;
  if (!result.ok) {
    setInfo('send-info', result.text, 'bad');
  } else {
    $('send-progress').value = 1;
    const check = result.receiverHash ? ` ${capitalise(out.peer)} confirmed the same SHA-256.` : '';
    setInfo('send-info', `Delivered ${formatSize(out.size)} in ${formatDuration(result.ms)}.${check}`, 'good');
  }
  updateSendButton();
}

// ---------------------------------------------------------------------------------------------------------
// Start-up

// The server field: ?server= when given, else the server this page came from (it serves the page itself).
function prefill() {
  const params = new URLSearchParams(location.search);
  let server = params.get('server');
  if (!server && (location.protocol === 'http:' || location.protocol === 'https:')) {
    server = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}`;
  }
  $('server').value = server || 'ws://localhost:8080';
  if (params.get('room')) $('room').value = params.get('room');
  if (params.get('nick')) $('nick').value = params.get('nick');
}

$('join-form').addEventListener('submit', join);
$('leave').addEventListener('click', leave);
window.addEventListener('online', reconnectNow);
$('send').addEventListener('click', sendFile);
$('save-disk').addEventListener('click', () => { saveToDisk(); });
$('file').addEventListener('change', updateSendButton);
prefill();
setState('idle');
