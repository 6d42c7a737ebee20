// Incremental SHA-256 (FIPS 180-4): bytes are fed in pieces of any size as a file streams by, which
// crypto.subtle.digest (one whole buffer at a time) cannot do without holding the whole file.

const K = new Int32Array([
  0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
  0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
  0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
  0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
  0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
  0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
  0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
  0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
]);

const INITIAL = [0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19];

// Runs the compression function over the 64-byte blocks bytes[from, to); `to - from` is a multiple of 64.
// The message schedule is built as the rounds need it, and Ch/Maj use their two-operation forms.
function compress(h, w, bytes, from, to) {
  let h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6], h7 = h[7];
  for (let p = from; p < to; p += 64) {
    let a = h0, b = h1, c = h2, d = h3, e = h4, f = h5, g = h6, hh = h7;
    for (let i = 0; i < 64; i++) {
      let wi;
      if (i < 16) {
        const q = p + i * 4;
        wi = (bytes[q] << 24) | (bytes[q + 1] << 16) | (bytes[q + 2] << 8) | bytes[q + 3];
      } else {
        const x = w[i - 15], y = w[i - 2];
        const s0 = ((x >>> 7) | (x << 25)) ^ ((x >>> 18) | (x << 14)) ^ (x >>> 3);
        const s1 = ((y >>> 17) | (y << 15)) ^ ((y >>> 19) | (y << 13)) ^ (y >>> 10);
        wi = (s0 + s1 + w[i - 16] + w[i - 7]) | 0;
      }
      w[i] = wi;
      const S1 = ((e >>> 6) | (e << 26)) ^ ((e >>> 11) | (e << 21)) ^ ((e >>> 25) | (e << 7));
      const t1 = (hh + S1 + (g ^ (e & (f ^ g))) + K[i] + wi) | 0;
      const S0 = ((a >>> 2) | (a << 30)) ^ ((a >>> 13) | (a << 19)) ^ ((a >>> 22) | (a << 10));
      const t2 = (S0 + ((a & b) | (c & (a | b)))) | 0;
      hh = g; g = f; f = e; e = (d + t1) | 0; d = c; c = b; b = a; a = (t1 + t2) | 0;
    }
    h0 = (h0 + a) | 0; h1 = (h1 + b) | 0; h2 = (h2 + c) | 0; h3 = (h3 + d) | 0;
    h4 = (h4 + e) | 0; h5 = (h5 + f) | 0; h6 = (h6 + g) | 0; h7 = (h7 + hh) | 0;
  }
  h[0] = h0; h[1] = h1; h[2] = h2; h[3] = h3; h[4] = h4; h[5] = h5; h[6] = h6; h[7] = h7;
}

function asBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  return new Uint8Array(data);
}

export class Sha256 {
  #h = Int32Array.from(INITIAL);
  #w = new Int32Array(64);
  #block = new Uint8Array(64);   // the bytes of a block not yet complete
  #blockLength = 0;
  #total = 0;                    // bytes fed so far (exact up to 2^53)
  #digest = null;

  // Feeds more bytes (Uint8Array, any ArrayBufferView or ArrayBuffer); returns this.
  update(data) {
    if (this.#digest) throw new Error('Sha256: update after digest');
    const bytes = asBytes(data);
    const n = bytes.length;
    this.#total += n;
    let offset = 0;
    if (this.#blockLength > 0) {
      offset = Math.min(64 - this.#blockLength, n);
      this.#block.set(bytes.subarray(0, offset), this.#blockLength);
      this.#blockLength += offset;
      if (this.#blockLength < 64) return this;
      compress(this.#h, this.#w, this.#block, 0, 64);
      this.#blockLength = 0;
    }
    const whole = offset + Math.floor((n - offset) / 64) * 64;
    if (whole > offset) compress(this.#h, this.#w, bytes, offset, whole);
    if (whole < n) {
      this.#block.set(bytes.subarray(whole), 0);
      this.#blockLength = n - whole;
    }
    return this;
  }

  // The 32-byte digest of everything fed; no more updates after it.
  digest() {
    if (this.#digest) return this.#digest.slice();
    const tail = new Uint8Array(this.#blockLength < 56 ? 64 : 128);
    tail.set(this.#block.subarray(0, this.#blockLength));
    tail[this.#blockLength] = 0x80;
    // The message length in bits, big-endian in the last 8 bytes; * 8 and / 2^29 are exact in doubles.
    const view = new DataView(tail.buffer);
    view.setUint32(tail.length - 8, Math.floor(this.#total / 0x20000000) >>> 0);
    view.setUint32(tail.length - 4, (this.#total * 8) >>> 0);
    compress(this.#h, this.#w, tail, 0, tail.length);
    const out = new Uint8Array(32);
    const outView = new DataView(out.buffer);
    for (let i = 0; i < 8; i++) outView.setInt32(i * 4, this.#h[i]);
    this.#digest = out;
    return out.slice();
  }

  hex() {
    return Array.from(this.digest(), (b) => b.toString(16).padStart(2, '0')).join('');
  }
}
