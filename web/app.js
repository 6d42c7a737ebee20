// murva file transfer: meets the other person in a room of the signaling server, opens a direct WebRTC
// connection to them and moves files over one RTCDataChannel. The server only carries the offer, the answer
// and the ICE candidates; file data never passes through it.
//
// Who offers: the member that was in the room first (it is told "peer-joined") creates the offer and the data
// channel; the newcomer answers. Either side may send files once the channel is open.
//
// On the data channel, text messages are JSON:
//   {"kind":"file","name":N,"size":S,"mime":M,"sha256":H}  announces a file; S bytes of binary messages follow
//   {"kind":"received","sha256":H,"size":S}                the receiver's reply once the whole file arrived

const CHUNK_SIZE = 16 * 1024;      // small enough for every WebRTC stack to deliver unsplit
const HIGH_WATER = 1024 * 1024;    // stop queueing once this much waits in the channel's buffer...
const LOW_WATER = 256 * 1024;      // ...and go on when it has drained to this

const $ = (id) => document.getElementById(id);

// The current session; callbacks of an older one (after Leave or a failure) check this and do nothing.
let session = null;
let downloadUrl = null;

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

async function sha256Hex(buffer) {
  if (!globalThis.crypto?.subtle) return null;  // only in secure contexts (https, localhost)
  const digest = await crypto.subtle.digest('SHA-256', buffer);
  return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
}

const NO_HASH = 'not available: open this page over https or from localhost';

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

  let ws;
  try {
    ws = new WebSocket(url);
  } catch {
    setState('idle', true);
    setStatus(`“${url}” is not a usable server address.`);
    return;
  }

  const s = {
    ws, url, room, nick, password, ice,
    opened: false, refused: false,
    peerNick: '', pc: null, dc: null, pendingCandidates: [], candidateLine: null, candidateCount: 0,
    queue: Promise.resolve(), outgoing: null, incoming: null,
  };
  session = s;
  setState('connecting');
  setStatus(`Connecting to ${url}…`);

  ws.onopen = () => {
    if (session !== s) return;
    s.opened = true;
    logLine('Connected to the server.');
    setStatus(`Connected to the server. Joining room “${room}”…`);
    const message = { type: 'join', room, nick };
    if (password) message.password = password;
    signal(s, message);
  };
  ws.onmessage = (event) => {
    if (session !== s || typeof event.data !== 'string') return;
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
    if (session !== s) return;
    if (!s.opened) {
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
}

function leave() {
  if (!session) return;
  const s = session;
  logLine('You left the room.');
  endSession(s, 'You left the room. Press Join to connect again.');
}

function endSession(s, message = null, failed = false) {
  if (session === s) session = null;
  closePeer(s, 'The connection ended before the transfer finished.');
  s.ws.onopen = s.ws.onmessage = s.ws.onclose = null;
  if (s.ws.readyState === WebSocket.CONNECTING || s.ws.readyState === WebSocket.OPEN) s.ws.close();
  setState('idle', failed);
  if (message) setStatus(message);
}

function signal(s, message) {
  if (s.ws.readyState === WebSocket.OPEN) s.ws.send(JSON.stringify(message));
}

// ---------------------------------------------------------------------------------------------------------
// Messages from the server

async function handleSignal(s, message) {
  if (session !== s) return;
  switch (message.type) {
    case 'joined':
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
      break;

    case 'peer-joined':
      s.peerNick = typeof message.peer === 'string' ? message.peer : '';
      $('peer').textContent = s.peerNick || '(no name)';
      logLine(`${capitalise(peerName(s))} joined the room.`);
      await makeOffer(s);
      break;

    case 'offer':
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

function capitalise(text) {
  return text.charAt(0).toUpperCase() + text.slice(1);
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

function createPeer(s) {
  closePeer(s);
  const pc = new RTCPeerConnection({ iceServers: s.ice ? [{ urls: s.ice.split(/[\s,]+/).filter(Boolean) }] : [] });
  s.pc = pc;
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
  pc.onconnectionstatechange = () => {
    if (s.pc !== pc || session !== s) return;
    if (pc.connectionState === 'connected') {
      describeRoute(pc).catch(() => {});
    } else if (pc.connectionState === 'failed') {
      setState(document.body.dataset.state, true);
      setStatus(`Could not connect directly to ${peerName(s)}. If you are on different networks, a STUN server ` +
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
  if (s.outgoing) finishOutgoing(s, null, interruption);
  if (s.incoming) {
    setInfo('recv-info', interruption, 'bad');
    s.incoming = null;
  }
  const { pc, dc } = s;
  s.pc = null;
  s.dc = null;
  s.pendingCandidates = [];
  if (dc) dc.close();
  if (pc) pc.close();
  $('route').hidden = true;
  updateSendButton();
}

async function makeOffer(s) {
  const pc = createPeer(s);
  attachChannel(s, pc.createDataChannel('file'));
  await pc.setLocalDescription();
  if (s.pc === pc) signal(s, { type: 'offer', sdp: pc.localDescription.sdp });
}

async function acceptOffer(s, sdp) {
  const pending = s.pendingCandidates;
  const pc = createPeer(s);
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
async function describeRoute(pc) {
  const stats = await pc.getStats();
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
  const route = $('route');
  route.textContent = `Route: ${describe(local)} ↔ ${describe(remote)} over ${String(local.protocol).toUpperCase()}` +
    (local.candidateType === 'relay' || remote.candidateType === 'relay' ? ', relayed' : ', direct');
  route.dataset.local = `${local.candidateType} ${address(local)}:${local.port}`;
  route.dataset.remote = `${remote.candidateType} ${address(remote)}:${remote.port}`;
  route.hidden = false;
}

// ---------------------------------------------------------------------------------------------------------
// The data channel and the file transfer

function attachChannel(s, dc) {
  s.dc = dc;
  dc.binaryType = 'arraybuffer';
  dc.bufferedAmountLowThreshold = LOW_WATER;
  dc.onopen = () => {
    if (s.dc !== dc || session !== s) return;
    setState('connected');
    $('peer').textContent = s.peerNick || '(no name)';
    setStatus(`Connected directly to ${peerName(s)}. Choose a file and press Send, or wait for theirs.`);
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

function onChannelMessage(s, data) {
  if (typeof data === 'string') {
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      return;
    }
    if (message.kind === 'file') startIncoming(s, message);
    else if (message.kind === 'received' && s.outgoing) finishOutgoing(s, message.sha256);
    return;
  }
  const inc = s.incoming;
  if (!inc) return;
  inc.chunks.push(data);
  inc.received += data.byteLength;
  $('recv-progress').value = inc.size ? Math.min(inc.received / inc.size, 1) : 1;
  if (inc.received >= inc.size) finishIncoming(s, inc);
  else if (performance.now() - inc.shown > 100) {
    inc.shown = performance.now();
    setInfo('recv-info', `${formatSize(inc.received)} of ${formatSize(inc.size)}`);
  }
}

function startIncoming(s, header) {
  const size = Number.isSafeInteger(header.size) && header.size >= 0 ? header.size : 0;
  const name = typeof header.name === 'string' && header.name ? header.name : 'received-file';
  const inc = {
    name, size, mime: typeof header.mime === 'string' ? header.mime : '',
    senderHash: typeof header.sha256 === 'string' ? header.sha256 : null,
    chunks: [], received: 0, started: performance.now(), shown: 0,
  };
  s.incoming = inc;
  $('recv-name').textContent = `${name} (${formatSize(size)}) from ${peerName(s)}`;
  $('recv-progress').value = 0;
  $('recv-progress').hidden = false;
  $('recv-hash').textContent = '';
  $('download').hidden = true;
  setInfo('recv-info', 'Receiving…');
  if (size === 0) finishIncoming(s, inc);
}

async function finishIncoming(s, inc) {
  s.incoming = null;
  const elapsed = performance.now() - inc.started;
  const blob = new Blob(inc.chunks, { type: inc.mime || 'application/octet-stream' });
  inc.chunks = [];
  $('recv-progress').value = 1;
  setInfo('recv-info', 'Checking…');
  const hash = await sha256Hex(await blob.arrayBuffer());
  $('recv-hash').textContent = hash ?? NO_HASH;

  const sizeOk = inc.received === inc.size;
  if (!sizeOk) {
    setInfo('recv-info', `Received ${formatSize(inc.received)} but ${formatSize(inc.size)} were announced: the file is damaged.`, 'bad');
  } else if (hash && inc.senderHash && hash !== inc.senderHash) {
    setInfo('recv-info', `Received ${formatSize(inc.size)}, but its SHA-256 differs from the sender's: the file is damaged.`, 'bad');
  } else {
    const check = hash && inc.senderHash ? ' The SHA-256 matches the sender’s.' : '';
    setInfo('recv-info', `Received ${formatSize(inc.size)} in ${formatDuration(elapsed)}.${check}`, 'good');
  }

  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = URL.createObjectURL(blob);
  const link = $('download');
  link.href = downloadUrl;
  link.download = inc.name;
  link.textContent = `Save “${inc.name}” (${formatSize(inc.size)})`;
  link.hidden = false;

  if (s.dc && s.dc.readyState === 'open') s.dc.send(JSON.stringify({ kind: 'received', sha256: hash, size: inc.received }));
}

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
  if (!s || (!open && !s.outgoing)) {
    $('send').title = 'Available once you are connected to the other person';
  } else {
    $('send').title = '';
  }
}

function waitForDrain(dc) {
  return new Promise((resolve) => {
    const done = () => {
      dc.removeEventListener('bufferedamountlow', done);
      dc.removeEventListener('close', done);
      resolve();
    };
    dc.addEventListener('bufferedamountlow', done);
    dc.addEventListener('close', done);
  });
}

async function sendFile() {
  const s = session;
  const file = $('file').files[0];
  if (!s || !file || !s.dc || s.dc.readyState !== 'open' || s.outgoing) return;
  const dc = s.dc;
  const out = { name: file.name, size: file.size, queued: 0, started: 0, timer: 0, dc };
  s.outgoing = out;
  updateSendButton();
  resetSendBox();
  $('send-name').textContent = `${file.name} (${formatSize(file.size)}) to ${peerName(s)}`;
  $('send-progress').hidden = false;
  setInfo('send-info', 'Reading the file and computing its SHA-256…');

  const data = await file.arrayBuffer();
  out.sha256 = await sha256Hex(data);
  $('send-hash').textContent = out.sha256 ?? NO_HASH;
  if (s.outgoing !== out) return;   // interrupted while reading
  if (dc.readyState !== 'open') return finishOutgoing(s, null, 'The connection closed before the transfer started.');

  dc.send(JSON.stringify({ kind: 'file', name: file.name, size: file.size, mime: file.type, sha256: out.sha256 }));
  out.started = performance.now();
  out.timer = setInterval(() => showSendProgress(out), 100);
  for (let offset = 0; offset < data.byteLength; offset += CHUNK_SIZE) {
    if (dc.bufferedAmount > HIGH_WATER) await waitForDrain(dc);
    if (s.outgoing !== out) return;
    if (dc.readyState !== 'open') return finishOutgoing(s, null, 'The connection closed during the transfer.');
    dc.send(data.slice(offset, offset + CHUNK_SIZE));
    out.queued = Math.min(offset + CHUNK_SIZE, data.byteLength);
  }
  showSendProgress(out);
}

function showSendProgress(out) {
  const sent = Math.max(0, out.queued - out.dc.bufferedAmount);
  $('send-progress').value = out.size ? sent / out.size : 1;
  setInfo('send-info', sent < out.size
    ? `${formatSize(sent)} of ${formatSize(out.size)} sent`
    : 'All sent. Waiting for the other side to confirm…');
}

// Ends the current outgoing transfer: with the receiver's hash when it confirmed, or with a reason it stopped.
function finishOutgoing(s, receiverHash, failure = '') {
  const out = s.outgoing;
  s.outgoing = null;
  clearInterval(out.timer);
  if (failure) {
    setInfo('send-info', failure, 'bad');
  } else {
    const elapsed = performance.now() - out.started;
    $('send-progress').value = 1;
    if (out.sha256 && receiverHash && receiverHash !== out.sha256) {
      setInfo('send-info', `Delivered, but the receiver computed a different SHA-256: the file arrived damaged.`, 'bad');
    } else {
      const check = out.sha256 && receiverHash ? ` ${capitalise(peerName(s))} confirmed the same SHA-256.` : '';
      setInfo('send-info', `Delivered ${formatSize(out.size)} in ${formatDuration(elapsed)}.${check}`, 'good');
    }
  }
  updateSendButton();
}

// ---------------------------------------------------------------------------------------------------------
// Start-up

function prefill() {
  const params = new URLSearchParams(location.search);
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  $('server').value = params.get('server') || `${scheme}://${location.hostname || 'localhost'}:8080`;
  if (params.get('room')) $('room').value = params.get('room');
  if (params.get('nick')) $('nick').value = params.get('nick');
}

$('join-form').addEventListener('submit', join);
$('leave').addEventListener('click', leave);
$('send').addEventListener('click', () => sendFile().catch((err) => {
  if (session?.outgoing) finishOutgoing(session, null, `Sending failed: ${err.message || err}`);
}));
$('file').addEventListener('change', updateSendButton);
prefill();
setState('idle');
