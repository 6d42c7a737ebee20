// Two headless Chromium pages of the web client meet through the real murva-signal and move files.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  closeAll, deliveredFromPage, joinRoom, launchChromium, openClient, receivedInPage, rendererProcesses,
  resetPeakMemory, routeOf, sendFileFromPage, serveWeb, state, text, waitForState,
} from './support/browser.mjs';
import { sha256 } from './support/node_peer.mjs';
import {
  damagingLink, fastClock, hang, relayOnlyNetwork, saveDialogToDisk, serverHandsOut,
} from './support/page_hooks.mjs';
import { makeCertificate, startServer, tempDir } from './support/server.mjs';
import { startRestTurnServer, startTurnServer } from './support/turn.mjs';

const MiB = 1024 * 1024;

// `relayed`: the pair must be two TURN relay candidates of the coturn at 127.0.0.2; otherwise a direct one.
async function pageTransfer(t, sender, receiver, size, label, { relayed = false } = {}) {
  const data = crypto.randomBytes(size);
  const name = `random-${crypto.randomUUID().slice(0, 8)}.bin`;
  const started = Date.now();
  await sendFileFromPage(sender, name, data);
  const got = await receivedInPage(receiver, name);
  const sent = await deliveredFromPage(sender);
  const ms = Date.now() - started;
  assert.equal(got.hash, sha256(data));
  assert.equal(sent.hash, sha256(data));
  assert.equal(sent.progress, 1);
  assert.match(got.info, /matches/);
  const route = await routeOf(sender);
  if (relayed) {
    assert.match(route.local, /^relay 127\.0\.0\.2:\d+$/);
    assert.match(route.remote, /^relay 127\.0\.0\.2:\d+$/);
  } else {
    assert.match(route.local, /^host 127\.0\.0\.1:/);
    // Chromium does not tell the address of a peer-reflexive remote candidate.
    assert.match(route.remote, /^(host 127\.0\.0\.1|prflx (127\.0\.0\.1)?):\d+$/);
  }
  t.diagnostic(`${label}: ${size} bytes in ${ms} ms (click to confirmation); pair ${route.local} <-> ${route.remote}`);
}

const logText = (page) => text(page, '#log');

// Two pages of `browser` in one room of `server`, connected to each other.
async function connectedPair(browser, origin, server, { aliceInit, bobInit, ice = '' } = {}) {
  const room = `room-${crypto.randomUUID().slice(0, 8)}`;
  const alice = await openClient(browser, origin, { initScript: aliceInit });
  const bob = await openClient(browser, origin, { initScript: bobInit });
  await joinRoom(alice, { server: server.url, room, nick: 'Alice', ice });
  await waitForState(alice, 'waiting');
  await joinRoom(bob, { server: server.url, room, nick: 'Bob', ice });
  await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
  return [alice, bob];
}

// Waits until the page's send or receive box ('send' | 'recv') shows how the transfer of `name` ended.
async function outcome(page, box, name, timeout = 60000) {
  await page.waitForFunction(([b, n]) => document.getElementById(`${b}-name`).textContent.includes(n) &&
    /\b(good|bad)\b/.test(document.getElementById(`${b}-info`).className), [box, name], { timeout });
  return page.evaluate((b) => ({
    ok: document.getElementById(`${b}-info`).classList.contains('good'),
    info: document.getElementById(`${b}-info`).textContent,
    hash: document.getElementById(`${b}-hash`).textContent,
  }), box);
}

// How the transfer of `name` ended on both sides: [sender's box, receiver's box].
const outcomes = (sender, receiver, name) =>
  Promise.all([outcome(sender, 'send', name), outcome(receiver, 'recv', name)]);

// Waits until the page is receiving `name` and has some of it.
function receiving(page, name) {
  return page.waitForFunction((n) => document.getElementById('recv-name').textContent.includes(n) &&
    document.getElementById('recv-progress').value > 0.002, name);
}

// A file of random bytes on disk, written a MiB at a time; returns its SHA-256.
function writeRandomFile(file, size) {
  const hash = crypto.createHash('sha256');
  const fd = fs.openSync(file, 'w');
  try {
    for (let written = 0; written < size; written += MiB) {
      const block = crypto.randomBytes(Math.min(MiB, size - written));
      hash.update(block);
      fs.writeSync(fd, block);
    }
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

// Forces every RTCPeerConnection of the page to relay only, leaving its iceServers to the client; records the
// configurations and the candidates gathered.
const relayOnlyPage = {
  fn: () => {
    window.__rtcConfigs = [];
    window.__localCandidates = [];
    const Native = window.RTCPeerConnection;
    window.RTCPeerConnection = class extends Native {
      constructor(config = {}, ...rest) {
        super({ ...config, iceTransportPolicy: 'relay' }, ...rest);
        window.__rtcConfigs.push(config);
        this.addEventListener('icecandidate', (event) => {
          if (event.candidate?.candidate) window.__localCandidates.push(event.candidate.candidate);
        });
      }
    };
  },
};

describe('two Chromium pages of the web client', () => {
  let web;
  let certDir;
  before(async () => {
    web = await serveWeb();
    certDir = tempDir('murva-e2e-cert-');
  });
  after(async () => {
    await web?.close();
    fs.rmSync(certDir, { recursive: true, force: true });
  });
  // Another name for the same file, so that each transfer of it can be told apart on the page.
  const alias = (file, name) => {
    const link = path.join(certDir, name);
    fs.linkSync(file, link);
    return link;
  };

  test('meet over ws, transfer both ways, refuse a third, start over after leaving', { timeout: 120000 }, async (t) => {
    const server = await startServer();
    const browser = await launchChromium();
    const pages = [];
    try {
      const room = `room-${crypto.randomUUID().slice(0, 8)}`;
      // The page and its files come from the signaling server's own port, and point back at it.
      const own = server.url.replace(/^ws:/, 'http:');
      const alice = await openClient(browser, own);
      const bob = await openClient(browser, own);
      const carol = await openClient(browser, own);
      pages.push(alice, bob, carol);
      assert.equal(await state(alice), 'idle');
      assert.equal(await alice.inputValue('#server'), server.url);

      await joinRoom(alice, { server: server.url, room, nick: 'Alice' });
      await waitForState(alice, 'waiting');
      assert.match(await text(alice, '#status'), /Waiting for someone/);
      assert.match(await logText(alice), /first one here/);

      await joinRoom(bob, { server: server.url, room, nick: 'Bob' });
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      assert.equal(await text(alice, '#peer'), 'Bob');
      assert.equal(await text(bob, '#peer'), 'Alice');
      assert.match(await logText(bob), /“Alice” is already here/);
      assert.match(await logText(alice), /“Bob” joined the room/);
      assert.match(await logText(alice), /answered the connection offer/);
      assert.match(await logText(bob), /sent a connection offer/);

      await pageTransfer(t, alice, bob, MiB, 'Chromium -> Chromium');
      await pageTransfer(t, bob, alice, 300 * 1024 + 7, 'Chromium -> Chromium, back');
      await pageTransfer(t, alice, bob, 0, 'Chromium -> Chromium, an empty file');

      await joinRoom(carol, { server: server.url, room, nick: 'Carol' });
      await carol.waitForFunction(() => /Room is full/.test(document.getElementById('log').textContent));
      assert.equal(await state(carol), 'idle');
      assert.match(await text(carol, '#status'), /is full/);

      await joinRoom(carol, { server: server.url, room: 'x'.repeat(129), nick: 'Carol' });
      await carol.waitForFunction(() => /room code is too long/.test(document.getElementById('status').textContent));
      assert.equal(await state(carol), 'idle');

      // Bob leaves; Alice is told and waits; Bob starts over and they connect again.
      await bob.click('#leave');
      await waitForState(bob, 'idle');
      await waitForState(alice, 'waiting');
      assert.match(await logText(alice), /“Bob” left the room/);
      assert.match(await text(alice, '#status'), /left\. Waiting/);
      assert.equal(await text(alice, '#peer'), 'nobody yet');

      await joinRoom(bob, { server: server.url, room, nick: 'Bob again' });
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      assert.equal(await text(alice, '#peer'), 'Bob again');
      await pageTransfer(t, bob, alice, 200 * 1024, 'Chromium -> Chromium after starting over');

      // Now the one who offered leaves and comes back: the one who stayed offers this time.
      await alice.click('#leave');
      await waitForState(bob, 'waiting');
      await joinRoom(alice, { server: server.url, room, nick: 'Alice' });
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      assert.match(await logText(alice), /“Bob again” is already here/);
      await pageTransfer(t, alice, bob, 100 * 1024, 'Chromium -> Chromium after the offerer started over');

      // Closing the tab is leaving too.
      for (const page of pages) assert.deepEqual(page.errors, []);
      await bob.context().close();
      await waitForState(alice, 'waiting');
      assert.match(await logText(alice), /“Bob again” left the room/);
      assert.deepEqual(alice.errors, []);
    } finally {
      await closeAll(browser, pages);
      await server.stop();
    }
  });

  test('meet over wss with a self-signed certificate and transfer 1 MiB', { timeout: 90000 }, async (t) => {
    const tls = makeCertificate(certDir);
    const server = await startServer({ tls });
    const browser = await launchChromium({ ignoreCertificateErrors: true });
    const pages = [];
    try {
      assert.match(server.url, /^wss:/);
      const room = 'tls-room';
      const alice = await openClient(browser, web.origin);
      const bob = await openClient(browser, web.origin);
      pages.push(alice, bob);
      await joinRoom(alice, { server: server.url, room, nick: 'Alice' });
      await waitForState(alice, 'waiting');
      await joinRoom(bob, { server: server.url, room, nick: 'Bob' });
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      await pageTransfer(t, alice, bob, MiB, 'Chromium -> Chromium over wss signaling');
      for (const page of pages) assert.deepEqual(page.errors, []);
    } finally {
      await closeAll(browser, pages);
      await server.stop();
    }
  });

  test('a password server: a wrong password is refused and closed, the right one transfers', { timeout: 90000 }, async (t) => {
    const server = await startServer({ password: 'open sesame' });
    const browser = await launchChromium();
    const pages = [];
    try {
      const room = 'guarded';
      const mallory = await openClient(browser, web.origin);
      const alice = await openClient(browser, web.origin);
      const bob = await openClient(browser, web.origin);
      pages.push(mallory, alice, bob);

      await joinRoom(mallory, { server: server.url, room, nick: 'Mallory', password: 'sesame' });
      await mallory.waitForFunction(() => window.__socketClosed, null, { timeout: 10000 });
      assert.equal(await state(mallory), 'idle');
      assert.match(await logText(mallory), /Wrong password/);
      assert.match(await text(mallory, '#status'), /Wrong password/);
      assert.deepEqual(await mallory.evaluate(() => window.__signals), ['{"type":"unauthorized"}']);

      await joinRoom(mallory, { server: server.url, room, nick: 'Mallory', password: '' });
      await mallory.waitForFunction(() => /needs a password/.test(document.getElementById('status').textContent));

      await joinRoom(alice, { server: server.url, room, nick: 'Alice', password: 'open sesame' });
      await waitForState(alice, 'waiting');
      await joinRoom(bob, { server: server.url, room, nick: 'Bob', password: 'open sesame' });
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      await pageTransfer(t, bob, alice, MiB, 'Chromium -> Chromium on a password server');
      for (const page of pages) assert.deepEqual(page.errors, []);
    } finally {
      await closeAll(browser, pages);
      await server.stop();
    }
  });

  test('256 MiB from disk: hashed while streaming, memory stays far below the file, both pages keep answering',
    { timeout: 180000 }, async (t) => {
      const big = { path: path.join(certDir, 'large-random.bin'), size: 256 * MiB };
      big.hash = writeRandomFile(big.path, big.size);
      const server = await startServer();
      const browser = await launchChromium();
      const pages = [];
      try {
        pages.push(...await connectedPair(browser, server.url.replace(/^ws:/, 'http:'), server));
        const [alice, bob] = pages;
        const before = rendererProcesses();
        assert.ok(before.size >= 2, 'a renderer process per page');
        resetPeakMemory(before.keys());
        for (const page of pages) await page.evaluate(() => { window.__longestTask = 0; });

        const started = Date.now();
        await sendFileFromPage(alice, big.path);
        const got = await receivedInPage(bob, path.basename(big.path), 150000);
        const sent = await deliveredFromPage(alice);
        const ms = Date.now() - started;
        const after = rendererProcesses();
        const busiest = await Promise.all(pages.map((page) => page.evaluate(() => window.__longestTask)));
        assert.equal(got.hash, big.hash);
        assert.equal(sent.hash, big.hash);
        assert.match(got.info, /matches/);
        const growth = [...before].map(([pid, { rss }]) => (after.get(pid)?.peak ?? 0) - rss);
        t.diagnostic(`256 MiB in ${ms} ms (${(big.size / MiB / (ms / 1000)).toFixed(1)} MiB/s); renderer peak growth ` +
          `${growth.map((b) => `${(b / MiB).toFixed(0)} MiB`).join(', ')}; longest task ${busiest.join(' / ')} ms`);
        // Holding the file (or a copy of it) in either page would show here as at least its size; what does show is
        // received chunks the garbage collector has not got to yet, a bounded amount whatever the file's size.
        for (const bytes of growth) assert.ok(bytes < big.size / 2, `a renderer grew by ${bytes} bytes`);
        // No task may hold a page for long (the whole file used to be copied in one); on a busy machine a task of a
        // few milliseconds can still be stretched to a few hundred.
        for (const busy of busiest) assert.ok(busy < 1000, `a page did not answer for ${busy} ms during the transfer`);
        for (const page of pages) assert.deepEqual(page.errors, []);
      } finally {
        await closeAll(browser, pages);
        await server.stop();
        fs.rmSync(big.path, { force: true });
      }
    });

  test('the incremental SHA-256 agrees with crypto.subtle, however the bytes come', { timeout: 60000 }, async () => {
    const browser = await launchChromium();
    const pages = [];
    try {
      const page = await openClient(browser, web.origin);
      pages.push(page);
      const wrong = await page.evaluate(async () => {
        const { Sha256 } = await import('/sha256.js');
        const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
        const failures = [];
        // Around the 55/56/64-byte padding edges, and around 64 KiB and 1 MiB pieces (chunk and read sizes).
        const sizes = [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000, 65535, 65536, 65537, 1048576 + 3];
        const splits = [Infinity, 1, 7, 63, 64, 65, 65536 + 1, 1048576];
        for (const size of sizes) {
          const data = new Uint8Array(size);
          for (let i = 0; i < size; i += 65536) crypto.getRandomValues(data.subarray(i, i + 65536));
          const want = hex(new Uint8Array(await crypto.subtle.digest('SHA-256', data)));
          for (const split of splits) {
            if (split === 1 && size > 70000) continue;
            const hash = new Sha256();
            for (let at = 0; at < size; at += split) hash.update(data.subarray(at, at + split));
            if (hash.hex() !== want) failures.push(`${size} bytes in pieces of ${split}`);
          }
          const odd = new Sha256();   // uneven pieces that straddle block edges differently each time
          for (let at = 0, n = 1; at < size; at += n, n = (n * 7 + 3) % 5000 + 1) odd.update(data.subarray(at, at + n));
          if (odd.hex() !== want) failures.push(`${size} bytes in uneven pieces`);
        }
        return failures;
      });
      assert.deepEqual(wrong, []);

      // Past 2^32 bits (512 MiB) the message length needs its high word: a repeated MiB plus an odd tail.
      const block = crypto.randomBytes(MiB);
      const tail = block.subarray(0, 1027);
      const expected = crypto.createHash('sha256');
      for (let i = 0; i < 512; i++) expected.update(block);
      expected.update(tail);
      const got = await page.evaluate(async ({ blockBase64, tailLength }) => {
        const { Sha256 } = await import('/sha256.js');
        const bytes = Uint8Array.from(atob(blockBase64), (c) => c.charCodeAt(0));
        const hash = new Sha256();
        for (let i = 0; i < 512; i++) hash.update(bytes);
        return hash.update(bytes.subarray(0, tailLength)).hex();
      }, { blockBase64: block.toString('base64'), tailLength: tail.length });
      assert.equal(got, expected.digest('hex'));
      assert.deepEqual(page.errors, []);
    } finally {
      await closeAll(browser, pages);
    }
  });

  test('saving to disk while receiving; a full disk and a damaged file are told to both sides; then one goes through',
    { timeout: 120000 }, async () => {
      const mid = { path: path.join(certDir, 'mid-random.bin'), size: 32 * MiB };
      mid.hash = writeRandomFile(mid.path, mid.size);
      const server = await startServer();
      const browser = await launchChromium();
      const pages = [];
      try {
        const hooks = { aliceInit: damagingLink, bobInit: saveDialogToDisk };
        pages.push(...await connectedPair(browser, web.origin, server, hooks));
        const [alice, bob] = pages;
        // Sends `name` and has Bob choose "Save to disk while receiving" while Alice is held mid-file.
        const sendSavingMidway = async (name) => {
          await sendFileFromPage(alice, alias(mid.path, name));
          await receiving(bob, name);
          const resume = await hang(alice);
          try {
            await bob.click('#save-disk');
            await bob.locator('#log', { hasText: `Saving “${name}” to disk while it arrives` }).waitFor();
          } finally {
            await resume();
          }
          return outcomes(alice, bob, name);
        };

        await alice.evaluate(() => { window.__damageNextChunk = true; });
        await sendFileFromPage(alice, 'damaged.bin', crypto.randomBytes(MiB));
        let [sent, got] = await outcomes(alice, bob, 'damaged.bin');
        assert.match(got.info, /differs from the sender’s: it is damaged and was not kept/);
        assert.match(sent.info, /receiver computed a different SHA-256: the file arrived damaged/);
        assert.equal(await bob.locator('#download').isHidden(), true, 'a damaged file is not offered');

        await bob.evaluate(() => { window.__diskRoom = 3 * 1024 * 1024; });
        [sent, got] = await sendSavingMidway('disk-full.bin');
        assert.equal(got.ok, false);
        assert.match(got.info, /^Could not save the file: the disk is full\./);
        assert.match(sent.info, /^“Bob” stopped the transfer: the file could not be saved \(the disk is full\)\.$/);

        await bob.evaluate(() => { window.__diskRoom = null; });
        [sent, got] = await sendSavingMidway('to-disk.bin');
        assert.equal(sent.ok, true, sent.info);
        assert.equal(got.ok, true, got.info);
        assert.match(got.info, /matches the sender’s\. Saved to the file you chose\./);
        const saved = await bob.evaluate(() => window.__savedFileSha256('to-disk.bin'));
        assert.deepEqual(saved, { size: mid.size, sha256: mid.hash });
        assert.equal(got.hash, mid.hash);
        for (const page of pages) assert.deepEqual(page.errors, []);
      } finally {
        await closeAll(browser, pages);
        await server.stop();
      }
    });

  test('a 3 GiB file streams at once; when a page hangs or the file changes mid-transfer, both sides say why',
    { timeout: 120000 }, async () => {
      // Sparse: takes no room on disk and reads as zeros.
      const huge = path.join(certDir, 'huge-sparse.bin');
      fs.closeSync(fs.openSync(huge, 'w'));
      fs.truncateSync(huge, 3 * 1024 * MiB);
      const server = await startServer();
      const browser = await launchChromium();
      const pages = [];
      try {
        pages.push(...await connectedPair(browser, web.origin, server, { aliceInit: fastClock, bobInit: fastClock }));
        const [alice, bob] = pages;
        const cases = [
          { name: 'receiver-hangs.bin', hung: bob, hungBox: 'recv', other: alice, otherBox: 'send',
            gaveUp: /^“Bob” stopped answering \(nothing for \d+ s\), so the transfer was stopped\.$/,
            told: /^“Alice” stopped the transfer: no answer for \d+ s\.$/ },
          { name: 'sender-hangs.bin', hung: alice, hungBox: 'send', other: bob, otherBox: 'recv',
            gaveUp: /^“Alice” stopped sending \(nothing for \d+ s\), so the transfer was stopped\.$/,
            told: /^“Bob” stopped the transfer: no data arrived for \d+ s\.$/ },
        ];
        for (const c of cases) {
          await sendFileFromPage(alice, alias(huge, c.name));
          await receiving(bob, c.name);
          const resume = await hang(c.hung);
          try {
            await c.other.evaluate(() => window.__speedUpClock(30));
            const gaveUp = await outcome(c.other, c.otherBox, c.name, 10000);
            assert.match(gaveUp.info, c.gaveUp);
          } finally {
            await resume();
          }
          const told = await outcome(c.hung, c.hungBox, c.name, 10000);
          assert.match(told.info, c.told);
        }

        const changing = alias(huge, 'changes.bin');
        await sendFileFromPage(alice, changing);
        await receiving(bob, 'changes.bin');
        fs.truncateSync(changing, 0);
        const [sent, got] = await outcomes(alice, bob, 'changes.bin');
        assert.match(sent.info, /^The file could not be read \(.+\)\.$/);
        assert.match(got.info, /^“Alice” stopped the transfer: the file could not be read\.$/);
        for (const page of pages) assert.deepEqual(page.errors, []);
      } finally {
        await closeAll(browser, pages);
        await server.stop();
      }
    });

  test('TURN servers handed out on joining are used with the STUN server from Advanced, and a relayed path says so',
    { timeout: 90000 }, async () => {
      const turn = await startTurnServer();
      const server = await startServer();
      const browser = await launchChromium();
      const pages = [];
      try {
        const handedOut = [{ urls: [turn.url], username: turn.username, credential: turn.credential }];
        const stun = `stun:127.0.0.1:${turn.port}`;
        const init = [relayOnlyNetwork, serverHandsOut(handedOut)];
        pages.push(...await connectedPair(browser, web.origin, server, { aliceInit: init, bobInit: init, ice: stun }));
        const [alice, bob] = pages;
        for (const page of pages) {
          const [config] = await page.evaluate(() => window.__peerConfigs);
          assert.deepEqual(config.iceServers, [...handedOut, { urls: [stun] }]);
          assert.match((await routeOf(page)).local, /^relay 127\.0\.0\.1:\d+$/);
          await page.locator('#status', { hasText: 'through a relay (TURN)' }).waitFor();
          assert.match(await logText(page), /The server offers a relay \(TURN\)/);
        }
        const data = crypto.randomBytes(MiB);
        await sendFileFromPage(bob, 'relayed.bin', data);
        const got = await receivedInPage(alice, 'relayed.bin');
        assert.equal(got.hash, sha256(data));
        assert.equal((await deliveredFromPage(bob)).hash, sha256(data));
        for (const page of pages) assert.deepEqual(page.errors, []);
      } finally {
        await closeAll(browser, pages);
        await server.stop();
        await turn.stop();
      }
    });

  test('the server field is the page’s own origin (ws: for http, wss: for https) unless ?server= names one',
    { timeout: 60000 }, async () => {
      const secureWeb = await serveWeb({ tls: makeCertificate(certDir) });
      const browser = await launchChromium({ ignoreCertificateErrors: true });
      const pages = [];
      try {
        const port = (origin) => new URL(origin).port;
        const cases = [
          { origin: web.origin, query: '', server: `ws://127.0.0.1:${port(web.origin)}` },
          { origin: secureWeb.origin, query: '', server: `wss://127.0.0.1:${port(secureWeb.origin)}` },
          { origin: web.origin, query: `?server=${encodeURIComponent('wss://signal.example:8443')}&room=r`,
            server: 'wss://signal.example:8443' },
        ];
        for (const c of cases) {
          const page = await openClient(browser, c.origin, { query: c.query });
          pages.push(page);
          assert.equal(await page.inputValue('#server'), c.server, `${c.origin}/${c.query}`);
          assert.deepEqual(page.errors, []);
        }
      } finally {
        await closeAll(browser, pages);
        await secureWeb.close();
      }
    });

  // Needs the web client that hands the iceServers of "joined" to its RTCPeerConnection.
  test('a relay-only pair goes through coturn with the TURN credentials from joined', { timeout: 90000 }, async (t) => {
    const secret = 'browser turn secret';
    const turn = await startRestTurnServer({ secret });
    const server = await startServer({ turn: { urls: [turn.url], secret, ttl_seconds: 600 } });
    const browser = await launchChromium();
    const pages = [];
    try {
      const alice = await openClient(browser, web.origin, { initScript: relayOnlyPage });
      const bob = await openClient(browser, web.origin, { initScript: relayOnlyPage });
      pages.push(alice, bob);
      await joinRoom(alice, { server: server.url, room: 'relayed', nick: 'Alice' });
      await waitForState(alice, 'waiting');
      await joinRoom(bob, { server: server.url, room: 'relayed', nick: 'Bob' });
      const usernames = [];
      for (const page of [alice, bob]) {
        await page.waitForFunction(() => window.__signals.length > 0);
        const joined = JSON.parse((await page.evaluate(() => window.__signals))[0]);
        usernames.push(joined.iceServers[0].username);
        await page.waitForFunction(() => window.__rtcConfigs.length > 0);
        const configs = await page.evaluate(() => window.__rtcConfigs);
        assert.ok(configs.some((c) => (c.iceServers ?? []).some((s) => s.username === usernames.at(-1))),
          `the client hands the iceServers of its "joined" to RTCPeerConnection: ${JSON.stringify(configs)}`);
      }
      await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
      await pageTransfer(t, alice, bob, MiB, 'Chromium -> Chromium relayed through coturn', { relayed: true });

      for (const [i, page] of [alice, bob].entries()) {
        const candidates = await page.evaluate(() => window.__localCandidates);
        assert.ok(candidates.length > 0 && candidates.every((c) => / typ relay /.test(c)), candidates.join(' | '));
        assert.ok(turn.output().includes(`username=<${usernames[i]}>`), 'coturn allocated with that credential');
        assert.deepEqual(page.errors, []);
      }
    } finally {
      await closeAll(browser, pages);
      await server.stop();
      await turn.stop();
    }
  });
});
