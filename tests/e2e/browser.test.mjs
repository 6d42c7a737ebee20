// Two headless Chromium pages of the web client meet through the real murva-signal and move files.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { after, before, describe, test } from 'node:test';
import {
  closeAll, deliveredFromPage, joinRoom, launchChromium, openClient, receivedInPage, routeOf, sendFileFromPage,
  serveWeb, state, text, waitForState,
} from './support/browser.mjs';
import { sha256 } from './support/node_peer.mjs';
import { makeCertificate, startServer, startTurnServer, tempDir } from './support/server.mjs';

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

  test('meet over ws, transfer both ways, refuse a third, start over after leaving', { timeout: 120000 }, async (t) => {
    const server = await startServer();
    const browser = await launchChromium();
    const pages = [];
    try {
      const room = `room-${crypto.randomUUID().slice(0, 8)}`;
      const alice = await openClient(browser, web.origin);
      const bob = await openClient(browser, web.origin);
      const carol = await openClient(browser, web.origin);
      pages.push(alice, bob, carol);
      assert.equal(await state(alice), 'idle');

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

  // Needs the web client that hands the iceServers of "joined" to its RTCPeerConnection.
  test('a relay-only pair goes through coturn with the TURN credentials from joined', { timeout: 90000 }, async (t) => {
    const secret = 'browser turn secret';
    const turn = await startTurnServer({ secret });
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
