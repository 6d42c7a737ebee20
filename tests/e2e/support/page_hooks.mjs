// Init scripts (for openClient) and CDP controls that put a page of the web client in situations a person meets:
// a save dialog and a disk (that may fill up), a clock that runs fast, a link that damages a byte, a network
// where only a relay gets through, a server that hands out TURN servers, and a page that hangs.
import { waitUntil } from './wait.mjs';

// showSaveFilePicker answers at once with a file in the page's origin-private file system, a real disk file with
// a real writable. While window.__diskRoom is a number, writes beyond that many bytes fail as on a full disk.
// window.__savedFileSha256(name) is the SHA-256 (crypto.subtle) of what ended up in that file.
export const saveDialogToDisk = {
  fn: () => {
    window.__diskRoom = null;
    window.showSaveFilePicker = async ({ suggestedName }) => {
      const root = await navigator.storage.getDirectory();
      const handle = await root.getFileHandle(suggestedName, { create: true });
      const room = window.__diskRoom;
      if (room === null) return handle;
      return {
        async createWritable() {
          const writable = await handle.createWritable();
          let written = 0;
          return {
            async write(data) {
              const size = data.size ?? data.byteLength;
              if (written + size > room) throw new DOMException('There is not enough space.', 'QuotaExceededError');
              written += size;
              return writable.write(data);
            },
            close: () => writable.close(),
            abort: (reason) => writable.abort(reason),
          };
        },
      };
    };
    window.__savedFileSha256 = async (name) => {
      const root = await navigator.storage.getDirectory();
      const file = await (await root.getFileHandle(name)).getFile();
      const digest = await crypto.subtle.digest('SHA-256', await file.arrayBuffer());
      const hex = Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
      return { size: file.size, sha256: hex };
    };
  },
};

// After window.__speedUpClock(factor), performance.now() runs `factor` times faster, so that "30 s without progress"
// comes within a second or two once progress really stops.
export const fastClock = {
  fn: () => {
    const now = performance.now.bind(performance);
    let from = 0;
    let factor = 1;
    performance.now = () => (now() - from) * factor + from;
    window.__speedUpClock = (f) => {
      from = now();
      factor = f;
    };
  },
};

// After window.__damageNextChunk = true, the next binary message the page sends has one byte changed on the way.
export const damagingLink = {
  fn: () => {
    window.__damageNextChunk = false;
    const send = RTCDataChannel.prototype.send;
    RTCDataChannel.prototype.send = function damaged(data) {
      if (window.__damageNextChunk && typeof data !== 'string' && data.byteLength > 0) {
        window.__damageNextChunk = false;
        const view = ArrayBuffer.isView(data) ? data : new Uint8Array(data);
        const copy = new Uint8Array(view.buffer.slice(view.byteOffset, view.byteOffset + view.byteLength));
        copy[copy.length >> 1] ^= 0x40;
        return send.call(this, copy);
      }
      return send.call(this, data);
    };
  },
};

// Every RTCPeerConnection the page makes is recorded (window.__peerConfigs) and may use relayed paths only.
export const relayOnlyNetwork = {
  fn: () => {
    window.__peerConfigs = [];
    const Native = RTCPeerConnection;
    window.RTCPeerConnection = class extends Native {
      constructor(config = {}) {
        window.__peerConfigs.push(JSON.parse(JSON.stringify(config)));
        super({ ...config, iceTransportPolicy: 'relay' });
      }
    };
  },
};

// The "joined" message the page receives carries `iceServers`, as a server that hands out TURN credentials sends it.
export function serverHandsOut(iceServers) {
  return {
    fn: (servers) => {
      let proto = WebSocket.prototype;   // WebSocket may be a recording subclass by now
      while (!Object.getOwnPropertyDescriptor(proto, 'onmessage')) proto = Object.getPrototypeOf(proto);
      const setter = Object.getOwnPropertyDescriptor(proto, 'onmessage').set;
      Object.defineProperty(WebSocket.prototype, 'onmessage', {
        configurable: true,
        set(handler) {
          setter.call(this, handler && ((event) => {
            let { data } = event;
            try {
              const message = JSON.parse(data);
              if (message.type === 'joined') data = JSON.stringify({ ...message, iceServers: servers });
            } catch { /* not JSON: as it came */ }
            handler.call(this, { data });
          }));
        },
      });
    },
    arg: iceServers,
  };
}

// Stops the page's JavaScript where it stands, as a hung tab; resolves with a function that lets it go on.
export async function hang(page) {
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Debugger.enable');
  let paused = false;
  cdp.once('Debugger.paused', () => { paused = true; });
  // The pause takes effect when the page next runs JavaScript; a request now and then makes sure one is pending.
  await waitUntil(async () => paused || (await cdp.send('Debugger.pause'), false), 10000, 'the page stops', 500);
  return async () => {
    await cdp.send('Debugger.resume');
    await cdp.detach();
  };
}
