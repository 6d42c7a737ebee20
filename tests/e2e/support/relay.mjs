// A fabricated TURN relay candidate, for checking that a server with allow_turn false filters it out.
// Its address is loopback, so even a leak would send nothing off this machine.
export const RELAY_CANDIDATE = 'candidate:9 1 UDP 16777215 127.0.0.1 9 typ relay raddr 127.0.0.1 rport 9';

export function relayCandidateMessage() {
  return { type: 'candidate', candidate: RELAY_CANDIDATE, sdpMid: '0', sdpMLineIndex: 0 };
}

// The message with an "a=candidate:... typ relay" line added to its SDP, right after the first a=mid line.
export function withRelayLine(message) {
  const sdp = message.sdp.replace(/(a=mid:[^\r\n]*\r?\n)/, `$1a=${RELAY_CANDIDATE}\r\n`);
  if (sdp === message.sdp) throw new Error('no a=mid line to put the relay candidate after');
  return { ...message, sdp };
}

// For a node peer's `rewrite`: adds a relay line to its offer or answer and sends a relay candidate after it.
export function injectRelay(message) {
  if (message.type === 'offer' || message.type === 'answer') return [withRelayLine(message), relayCandidateMessage()];
  return [message];
}

// The same for a page, as an init script: wraps WebSocket.prototype.send before the client loads.
export const injectRelayInPage = {
  fn: (candidate) => {
    window.__injected = 0;
    const nativeSend = WebSocket.prototype.send;
    WebSocket.prototype.send = function send(data) {
      let message;
      try {
        message = JSON.parse(data);
      } catch {
        return nativeSend.call(this, data);
      }
      if ((message.type === 'offer' || message.type === 'answer') && typeof message.sdp === 'string') {
        message.sdp = message.sdp.replace(/(a=mid:[^\r\n]*\r?\n)/, `$1a=${candidate}\r\n`);
        nativeSend.call(this, JSON.stringify(message));
        nativeSend.call(this, JSON.stringify({ type: 'candidate', candidate, sdpMid: '0', sdpMLineIndex: 0 }));
        window.__injected += message.sdp.includes('typ relay') ? 2 : 1;
        return undefined;
      }
      return nativeSend.call(this, data);
    };
  },
  arg: RELAY_CANDIDATE,
};
