// The file-transfer protocol on the data channel: its messages, limits and timings, shared by sender and receiver.
//
// Text messages are JSON; binary messages are the bytes of the file being sent, in order.
//   {"kind":"hello","version":2}                          sent by each side when the channel opens: "I acknowledge
//                                                         progress, take the hash at the end and understand stop"
//   {"kind":"file","id":I,"name":N,"size":S,"mime":M}     a file follows: S bytes of binary messages, then
//   {"kind":"end","id":I,"sha256":H}                      its SHA-256, computed while it was being sent
//   {"kind":"progress","id":I,"stored":B}                 receiver: B bytes are stored (in memory or on disk); sent
//                                                         as storing advances and at least once a second until done
//   {"kind":"received","id":I,"sha256":H,"size":S}        receiver: everything arrived; H is the hash it computed
//   {"kind":"stop","id":I,"by":"sender"|"receiver","reason":R}   either side gave up; R says why, in plain words
//
// Peers that never say hello are still served: they are sent files without a window (they do not acknowledge),
// and a "file" message that carries "sha256" itself (even null) is complete without an "end".

export const CHUNK_SIZE = 64 * 1024;          // one binary message, if the connection's SCTP allows it
export const FALLBACK_CHUNK_SIZE = 16 * 1024; // what every WebRTC stack delivers unsplit
export const READ_SIZE = 1024 * 1024;         // the sender reads the file in slices of this size
export const HIGH_WATER = 4 * 1024 * 1024;    // the sender stops queueing once this much waits in the channel...
export const LOW_WATER = 1024 * 1024;         // ...and goes on when it has drained to this
export const WINDOW = 16 * 1024 * 1024;       // sent but not yet stored, to a receiver that says how far it got
export const PART_SIZE = 1024 * 1024;         // the receiver groups chunks into Blob parts / disk writes of this size
export const STALL_MS = 30000;                // no progress from the other side for this long ends a transfer
export const TICK_MS = 1000;                  // watchdog and receiver heartbeat period

export function sendJson(dc, message) {
  if (dc.readyState !== 'open') return false;
  dc.send(JSON.stringify(message));
  return true;
}

export function capitalise(text) {
  return text.charAt(0).toUpperCase() + text.slice(1);
}
