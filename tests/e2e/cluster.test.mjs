// Two instances sharing rooms through a real redis-server, behind a real HAProxy balancing round robin: a
// node-datachannel pair whose members land on different instances meets and moves a file. The proxy's
// configuration is README.md's (health checks on /readyz).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import nodeDataChannel from 'node-datachannel';
import { NodePeer, transferFile } from './support/node_peer.mjs';
import { freeLoopbackPort, startProcess, startServer, tempDir } from './support/server.mjs';
import { waitUntil } from './support/wait.mjs';

after(() => nodeDataChannel.cleanup());

test('a pair split by round robin over two instances transfers 1 MiB', { timeout: 60000 }, async (t) => {
  const dir = tempDir('murva-e2e-cluster-');
  const running = [];
  try {
    const redisPort = await freeLoopbackPort();
    running.push(await startProcess('/usr/bin/redis-server',
      ['--port', String(redisPort), '--bind', '127.0.0.1', '--save', '', '--appendonly', 'no'],
      { cwd: dir, port: redisPort }));
    const cluster = { redis: `redis://127.0.0.1:${redisPort}/0`, heartbeat_ms: 200, instance_timeout_ms: 1000 };
    const instances = [await startServer({ cluster }), await startServer({ cluster })];
    running.push(...instances);

    const proxyPort = await freeLoopbackPort();
    const config = path.join(dir, 'haproxy.cfg');
    fs.writeFileSync(config, `defaults
    mode http
    timeout connect 5s
    timeout client 30s
    timeout server 30s
    timeout tunnel 60s
frontend in
    bind 127.0.0.1:${proxyPort}
    default_backend murva
backend murva
    balance roundrobin
    option httpchk GET /readyz
${instances.map((s, i) => `    server s${i} 127.0.0.1:${s.port} check inter 500\n`).join('')}`);
    running.push(await startProcess('/usr/sbin/haproxy', ['-db', '-f', config], { cwd: dir, port: proxyPort }));

    const url = `ws://127.0.0.1:${proxyPort}`;
    const alice = new NodePeer('alice', { url, room: 'split' });
    const bob = new NodePeer('bob', { url, room: 'split' });
    running.unshift({ stop: () => alice.close() }, { stop: () => bob.close() });
    assert.deepEqual(await alice.join(), { type: 'joined', peer: '' });
    assert.deepEqual(await bob.join(), { type: 'joined', peer: 'alice' });
    // Round robin put them on different instances: each prints one join.
    const joinLines = (instance) => instance.output().match(/\[\+\] join/g)?.length ?? 0;
    await waitUntil(() => instances.every((instance) => joinLines(instance) === 1), 5000, 'one join on each instance');
    await alice.ws.waitForMessage((m) => m.type === 'peer-joined' && m.peer === 'bob', 5000, 'peer-joined');

    const { sent } = await transferFile(alice, bob, 1024 * 1024);
    t.diagnostic(`1 MiB across instances in ${sent.ms} ms`);
  } finally {
    for (const process of running) await process.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
