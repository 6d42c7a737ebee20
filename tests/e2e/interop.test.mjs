// A Chromium page of the web client and a libdatachannel peer meet through the real murva-signal and move
// files both ways, with either of them offering; and relay candidates are filtered between the two stacks.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { after, before, describe, test } from 'node:test';
import nodeDataChannel from 'node-datachannel';
import {
  closeAll, deliveredFromPage, joinRoom, launchChromium, openClient, receivedInPage, routeOf, sendFileFromPage,
  serveWeb, waitForState,
} from './support/browser.mjs';
import { NodePeer, sha256 } from './support/node_peer.mjs';
import { injectRelay, injectRelayInPage } from './support/relay.mjs';
import { startServer } from './support/server.mjs';

const MiB = 1024 * 1024;

async function pageToNode(t, page, peer, size) {
  const data = crypto.randomBytes(size);
  const started = Date.now();
  await sendFileFromPage(page, 'to-node.bin', data);
  const got = await peer.nextFile();
  await deliveredFromPage(page);
  assert.equal(got.name, 'to-node.bin');
  assert.equal(got.size, size);
  assert.equal(got.sha256, sha256(data));
  assert.equal(got.senderHash, got.sha256, 'the page announced the right SHA-256');
  const pair = peer.selectedPair();
  assert.match(pair.local, /^host 127\.0\.0\.1:/);
  assert.match(pair.remote, /^(host|prflx) 127\.0\.0\.1:/);
  t.diagnostic(`Chromium -> libdatachannel: ${size} bytes in ${Date.now() - started} ms; pair ${pair.local} <-> ${pair.remote}`);
}

async function nodeToPage(t, peer, page, size) {
  const data = crypto.randomBytes(size);
  const sent = await peer.sendFile(data, 'to-page.bin');
  const got = await receivedInPage(page, 'to-page.bin');
  assert.equal(got.hash, sha256(data));
  assert.equal(sent.receiverHash, sha256(data), 'the page confirmed the right SHA-256');
  assert.match(got.info, /matches/);
  const route = await routeOf(page);
  assert.match(route.local, /^host 127\.0\.0\.1:/);
  assert.match(route.remote, /^(host 127\.0\.0\.1|prflx (127\.0\.0\.1)?):\d+$/);
  t.diagnostic(`libdatachannel -> Chromium: ${size} bytes in ${sent.ms} ms; pair ${route.local} <-> ${route.remote}`);
}

describe('a Chromium page and a libdatachannel peer', () => {
  let web;
  let browser;
  before(async () => {
    web = await serveWeb();
    browser = await launchChromium();
  });
  after(async () => {
    await closeAll(browser);
    await web?.close();
    nodeDataChannel.cleanup();
  });

  // Runs one server, one page and one node peer in a fresh room for `body`, always stopping all of them.
  async function session(serverOptions, { pageInit, peerOptions = {} }, body) {
    const server = await startServer(serverOptions);
    const room = `mixed-${crypto.randomUUID().slice(0, 8)}`;
    const peer = new NodePeer('node', { url: server.url, room, ...peerOptions });
    let page;
    try {
      page = await openClient(browser, web.origin, { initScript: pageInit });
      await body({ server, room, page, peer });
      assert.deepEqual(page.errors, []);
    } finally {
      await peer.close();
      if (page) await closeAll(null, [page]);
      await server.stop();
    }
  }

  test('the page offers; files go both ways', { timeout: 90000 }, async (t) => {
    await session({}, {}, async ({ server, room, page, peer }) => {
      await joinRoom(page, { server: server.url, room, nick: 'Page' });
      await waitForState(page, 'waiting');
      assert.deepEqual(await peer.join(), { type: 'joined', peer: 'Page' });
      await Promise.all([peer.channelOpen(), waitForState(page, 'connected')]);
      assert.equal(await page.locator('#peer').textContent(), 'node');
      await pageToNode(t, page, peer, MiB);
      await nodeToPage(t, peer, page, MiB);
    });
  });

  test('the libdatachannel peer offers; files go both ways', { timeout: 90000 }, async (t) => {
    await session({}, {}, async ({ server, room, page, peer }) => {
      assert.deepEqual(await peer.join(), { type: 'joined', peer: '' });
      await joinRoom(page, { server: server.url, room, nick: 'Page' });
      await Promise.all([peer.channelOpen(), waitForState(page, 'connected')]);
      assert.ok(peer.sent.some((text) => JSON.parse(text).type === 'offer'), 'the node peer made the offer');
      await nodeToPage(t, peer, page, MiB);
      await pageToNode(t, page, peer, MiB);
    });
  });

  test('allow_turn false: relay lines injected by the page never reach the libdatachannel peer', { timeout: 90000 }, async (t) => {
    await session({ allowTurn: false }, { pageInit: injectRelayInPage }, async ({ server, room, page, peer }) => {
      await joinRoom(page, { server: server.url, room, nick: 'Page' });
      await waitForState(page, 'waiting');
      await peer.join();
      await Promise.all([peer.channelOpen(), waitForState(page, 'connected')]);
      await pageToNode(t, page, peer, MiB);
      assert.equal(await page.evaluate(() => window.__injected), 2, 'the page did inject a line and a candidate');
      assert.ok(peer.received.some((text) => JSON.parse(text).type === 'offer'));
      for (const text of peer.received) assert.ok(!text.includes('typ relay'), `relay leaked: ${text.slice(0, 200)}`);
      assert.ok(!peer.pc.remoteDescription().sdp.includes('typ relay'));
    });
  });

  test('allow_turn false: relay lines injected by the libdatachannel peer never reach the page', { timeout: 90000 }, async (t) => {
    await session({ allowTurn: false }, { peerOptions: { rewrite: injectRelay } }, async ({ server, room, page, peer }) => {
      await peer.join();
      await joinRoom(page, { server: server.url, room, nick: 'Page' });
      await Promise.all([peer.channelOpen(), waitForState(page, 'connected')]);
      await nodeToPage(t, peer, page, MiB);
      assert.ok(peer.sent.filter((text) => text.includes('typ relay')).length >= 2, 'the node peer did inject');
      const signals = await page.evaluate(() => window.__signals);
      assert.ok(signals.some((text) => JSON.parse(text).type === 'offer'));
      assert.ok(signals.some((text) => JSON.parse(text).type === 'candidate'));
      for (const text of signals) assert.ok(!text.includes('typ relay'), `relay leaked: ${text.slice(0, 200)}`);
    });
  });
});
