// TURN through a real coturn: the short-lived credentials a server hands out in "joined" get a relay-only
// libdatachannel pair through it, stop working when they expire, and fail against another secret.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { after, before, describe, test } from 'node:test';
import { promisify } from 'node:util';
import nodeDataChannel from 'node-datachannel';
import { NodePeer, transferFile, withPeers } from './support/node_peer.mjs';
import { startServer } from './support/server.mjs';
import { startRestTurnServer } from './support/turn.mjs';

const MiB = 1024 * 1024;
const SECRET = 'e2e turn secret';

const turnConfig = (turn, extra = {}) => ({ urls: [turn.url], secret: SECRET, ttl_seconds: 3600, ...extra });

// node-datachannel 0.33.4's cleanup() can crash when it runs long after relay-only connections closed, so each
// test that made them ends with it, right after its peers are closed.
async function thenCleanUp(body) {
  try {
    return await body();
  } finally {
    nodeDataChannel.cleanup();
  }
}

// The first credential of a "joined" from the server at `url` (a lone member: no peer connection is made).
async function credentialFrom(url) {
  const peer = new NodePeer('probe', { url, room: `probe-${Date.now()}-${Math.random()}` });
  try {
    const reply = await peer.join();
    assert.equal(reply.iceServers?.length, 1, JSON.stringify(reply));
    return reply.iceServers[0];
  } finally {
    await peer.close();
  }
}

// turnutils_uclient allocates on coturn with `credential` (client-to-client, one message); resolves with its
// exit code and output.
async function uclient(turn, { username, credential }) {
  try {
    const { stdout, stderr } = await promisify(execFile)('turnutils_uclient',
      ['-n', '1', '-u', username, '-w', credential, '-y', '-e', '127.0.0.1', '-p', String(turn.port), '127.0.0.1'],
      { timeout: 20000 });
    return { code: 0, output: stdout + stderr };
  } catch (err) {
    return { code: err.code ?? err.signal, output: `${err.stdout ?? ''}${err.stderr ?? ''}` };
  }
}

const isRelay = (candidate) => / typ relay /.test(candidate);

describe('TURN credentials from joined, checked by coturn', () => {
  let turn;
  before(async () => {
    turn = await startRestTurnServer({ secret: SECRET });
  });
  after(async () => {
    await turn?.stop();
  });

  test('a relay-only pair moves 1 MiB through coturn with the joined credentials', { timeout: 90000 }, async (t) => {
    await thenCleanUp(async () => {
      const direct = await withPeers({}, {}, async ({ make }) => {
        const alice = make('alice');
        const bob = make('bob');
        await alice.join();
        await bob.join();
        assert.deepEqual(alice.iceServers, [], 'no turn key: no iceServers');
        return transferFile(alice, bob, MiB);
      });

      const relayed = await withPeers({ turn: turnConfig(turn) }, { relayOnly: true }, async ({ make }) => {
        const alice = make('alice');
        const bob = make('bob');
        await alice.join();
        await bob.join();
        assert.notEqual(alice.iceServers[0].username, bob.iceServers[0].username);
        const result = await transferFile(alice, bob, MiB);

        // Setting the policy proves nothing by itself: every candidate and the pair in use must be relayed.
        for (const peer of [alice, bob]) {
          assert.ok(peer.localCandidates.length > 0, `${peer.name} gathered candidates`);
          assert.ok(peer.localCandidates.every(isRelay), `${peer.name}: ${peer.localCandidates.join(' | ')}`);
          const received = peer.received.map((text) => JSON.parse(text)).filter((m) => m.type === 'candidate');
          assert.ok(received.length > 0 && received.every((m) => isRelay(m.candidate)),
            `${peer.name} received relay candidates only`);
          const pair = peer.selectedPair();
          assert.match(pair.local, /^relay 127\.0\.0\.2:/, `${peer.name}: ${pair.local}`);
          assert.match(pair.remote, /^relay 127\.0\.0\.2:/, `${peer.name}: ${pair.remote}`);
          // coturn allocated for exactly the username this peer was given.
          assert.ok(turn.output().includes(`username=<${peer.iceServers[0].username}>`), `${peer.name}'s allocation`);
        }
        return result;
      });
      t.diagnostic(`1 MiB direct ${direct.sent.ms} ms (${direct.pair.local} <-> ${direct.pair.remote}); ` +
        `relayed through coturn ${relayed.sent.ms} ms (${relayed.pair.local} <-> ${relayed.pair.remote})`);
    });
  });

  test('coturn accepts a fresh credential and refuses it once its ttl has run out', { timeout: 60000 }, async () => {
    const lasting = await startServer({ turn: turnConfig(turn) });
    const shortLived = await startServer({ turn: turnConfig(turn, { ttl_seconds: 1 }) });
    try {
      const accepted = await uclient(turn, await credentialFrom(lasting.url));
      assert.equal(accepted.code, 0, accepted.output);

      const expiring = await credentialFrom(shortLived.url);
      // Valid through the second of its expiry (coturn compares whole seconds), so 2 s later it has expired.
      await new Promise((resolve) => setTimeout(resolve, 2100));
      const refused = await uclient(turn, expiring);
      assert.notEqual(refused.code, 0, refused.output);
      assert.match(refused.output, /Cannot complete Allocation/);
    } finally {
      await lasting.stop();
      await shortLived.stop();
    }
  });

  test('with another secret on coturn the relay-only pair never connects', { timeout: 60000 }, async () => {
    const other = await startRestTurnServer({ secret: 'not the secret the server signs with' });
    try {
      await thenCleanUp(() => withPeers({ turn: turnConfig(other) }, { relayOnly: true }, async ({ make }) => {
        const alice = make('alice');
        const bob = make('bob');
        await alice.join();
        await bob.join();
        await assert.rejects(alice.channelOpen(8000), /timed out/);
        assert.equal(bob.dc?.isOpen() ?? false, false);
        assert.deepEqual([...alice.localCandidates, ...bob.localCandidates], [], 'no relay was allocated');
        assert.doesNotMatch(other.output(), /ALLOCATE processed, success/);
        assert.match(other.output(), /401/);
      }));
    } finally {
      await other.stop();
    }
  });
});
