// Two libdatachannel peers meet through the real murva-signal and move a file over a data channel.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, describe, test } from 'node:test';
import nodeDataChannel from 'node-datachannel';
import { transferFile, withPeers } from './support/node_peer.mjs';
import { makeCertificate, tempDir } from './support/server.mjs';
import { injectRelay } from './support/relay.mjs';

const MiB = 1024 * 1024;

async function transfer(t, sender, receiver, size) {
  const { sent, got, pair } = await transferFile(sender, receiver, size);
  // Direct over loopback; the remote side shows as peer-reflexive when its checks beat its candidate message.
  assert.match(pair.local, /^host 127\.0\.0\.1:/);
  assert.match(pair.remote, /^(host|prflx) 127\.0\.0\.1:/);
  t.diagnostic(`${size} bytes ${sender.name} -> ${receiver.name} in ${sent.ms} ms; pair ${pair.local} <-> ${pair.remote}`);
  return { sent, got, pair };
}

describe('two libdatachannel peers', () => {
  let certDir;
  let tls;
  before(() => {
    certDir = tempDir('murva-e2e-cert-');
    tls = makeCertificate(certDir);
  });
  after(() => {
    nodeDataChannel.cleanup();
    fs.rmSync(certDir, { recursive: true, force: true });
  });

  test('join one room over ws and transfer 1 MiB of random data', { timeout: 60000 }, async (t) => {
    await withPeers({}, {}, async ({ make }) => {
      const alice = make('alice');
      const bob = make('bob');
      assert.deepEqual(await alice.join(), { type: 'joined', peer: '' });
      assert.deepEqual(await bob.join(), { type: 'joined', peer: 'alice' });
      await alice.ws.waitForMessage((m) => m.type === 'peer-joined' && m.peer === 'bob', 5000, 'peer-joined');
      await transfer(t, alice, bob, MiB);
      // and back the other way on the same connection
      await transfer(t, bob, alice, 256 * 1024);
    });
  });

  test('transfer over wss with the test certificate trusted explicitly', { timeout: 60000 }, async (t) => {
    await withPeers({ tls }, { ca: tls.cert }, async ({ server, make }) => {
      assert.match(server.url, /^wss:/);
      const alice = make('alice');
      const bob = make('bob');
      await alice.join();
      assert.equal((await bob.join()).type, 'joined');
      await transfer(t, alice, bob, MiB);
    });
  });

  test('a server with a join password admits the right one and closes on a wrong one', { timeout: 60000 }, async (t) => {
    await withPeers({ password: 's3cret pass' }, {}, async ({ make }) => {
      const intruder = make('intruder', { password: 's3cret' });
      assert.deepEqual(await intruder.join(), { type: 'unauthorized' });
      await intruder.ws.closed;   // bounded by the test's timeout; the server closes, not us
      assert.equal(intruder.ws.closedByServer, true);

      const nopass = make('nopass');
      assert.deepEqual(await nopass.join(), { type: 'unauthorized' });
      await nopass.ws.closed;
      assert.equal(nopass.ws.closedByServer, true);

      const alice = make('alice', { password: 's3cret pass' });
      const bob = make('bob', { password: 's3cret pass' });
      assert.deepEqual(await alice.join(), { type: 'joined', peer: '' });
      assert.deepEqual(await bob.join(), { type: 'joined', peer: 'alice' });
      await transfer(t, alice, bob, MiB);
    });
  });

  test("with allow_turn false the sender's relay candidates never reach the receiver", { timeout: 60000 }, async (t) => {
    await withPeers({ allowTurn: false }, {}, async ({ make }) => {
      const alice = make('alice', { rewrite: injectRelay });
      const bob = make('bob');
      await alice.join();
      await bob.join();
      await transfer(t, alice, bob, MiB);
      assert.ok(alice.sent.filter((text) => text.includes('typ relay')).length >= 2, 'the sender did inject');
      const offers = bob.received.filter((text) => JSON.parse(text).type === 'offer');
      assert.equal(offers.length, 1);
      assert.ok(bob.received.some((text) => JSON.parse(text).type === 'candidate'), 'host candidates still arrive');
      for (const text of bob.received) assert.ok(!text.includes('typ relay'), `relay leaked: ${text.slice(0, 200)}`);
      assert.ok(!bob.pc.remoteDescription().sdp.includes('typ relay'));
    });
  });

  test('with allow_turn true the same injected relay candidates do arrive', { timeout: 60000 }, async (t) => {
    await withPeers({ allowTurn: true }, {}, async ({ make }) => {
      const alice = make('alice', { rewrite: injectRelay });
      const bob = make('bob');
      await alice.join();
      await bob.join();
      await transfer(t, alice, bob, 64 * 1024);
      const relayed = bob.received.filter((text) => text.includes('typ relay')).map((text) => JSON.parse(text).type);
      assert.deepEqual(relayed.sort(), ['candidate', 'offer']);
    });
  });
});
