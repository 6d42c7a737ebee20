// Transfers that outlive the signaling connection: two Chromium pages of the page the server serves move 64 MiB
// while the server restarts, or while one side's WebSocket is cut. Both must end verified, never show a
// failure, and be back in their room.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import {
  closeAll, deliveredFromPage, joinRoom, launchChromium, openClient, receivedInPage, routeOf, sendFileFromPage,
  waitForState,
} from './support/browser.mjs';
import { sha256 } from './support/node_peer.mjs';
import { freeLoopbackPort, startProcess, startServer, tempDir } from './support/server.mjs';
import { startTcpProxy } from './support/tcp_proxy.mjs';
import { waitUntil } from './support/wait.mjs';

const SIZE = 64 * 1024 * 1024;

// Remembers whether the page ever marked itself failed, and when its status last said it was reconnecting.
const watchFailures = {
  fn: () => {
    window.__everFailed = false;
    window.__statuses = [];
    window.addEventListener('DOMContentLoaded', () => {
      new MutationObserver(() => {
        if (document.body.classList.contains('failed')) window.__everFailed = true;
        const status = document.getElementById('status').textContent;
        if (window.__statuses.at(-1) !== status) window.__statuses.push(status);
      }).observe(document.body, { attributes: true, childList: true, subtree: true, characterData: true });
    });
  },
};

// The server's console says both members are in the one room (its latest join or resume line).
const bothInRoom = (server) => /\[[+~]\] (join|resume) \(rooms=1, clients=2\)\s*$/.test(server.output());

// Sends `file` (SIZE random bytes) from alice to bob under a new name; `interrupt` runs once bob has some of
// it. Returns the times in ms.
async function transfer(alice, bob, file, interrupt) {
  const name = `resume-${crypto.randomUUID().slice(0, 8)}.bin`;
  const alias = path.join(path.dirname(file.path), name);
  fs.linkSync(file.path, alias);
  const started = Date.now();
  await sendFileFromPage(alice, alias);
  let back = null;
  if (interrupt) {
    await bob.waitForFunction((n) => document.getElementById('recv-name').textContent.includes(n) &&
      document.getElementById('recv-progress').value > 0.01, name);
    back = await interrupt();
  }
  const got = await receivedInPage(bob, name, 60000);
  const sent = await deliveredFromPage(alice, 60000);
  assert.equal(got.hash, file.hash);
  assert.equal(sent.hash, file.hash);
  assert.match(got.info, /matches/);
  return { total: Date.now() - started, back };
}

async function checkPages(pages) {
  for (const page of pages) {
    assert.equal(await page.evaluate(() => window.__everFailed), false);
    // Chromium reports each refused reconnection attempt while the server is down; nothing else may appear.
    assert.deepEqual(page.errors.filter((e) => !/^WebSocket connection to '\S+' failed: /.test(e)), []);
    assert.equal(await page.evaluate(() => document.body.dataset.state), 'connected');
  }
}

// Two pages of the page `server` serves, in one room, connected to each other; bob's signaling goes to `bobUrl`.
async function connectedPair(browser, server, bobUrl = server.url) {
  const origin = server.url.replace(/^ws/, 'http');
  const room = `room-${crypto.randomUUID().slice(0, 8)}`;
  const alice = await openClient(browser, origin, { initScript: watchFailures });
  const bob = await openClient(browser, origin, { initScript: watchFailures });
  await joinRoom(alice, { server: server.url, room, nick: 'Alice' });
  await waitForState(alice, 'waiting');
  await joinRoom(bob, { server: bobUrl, room, nick: 'Bob' });
  await Promise.all([waitForState(alice, 'connected'), waitForState(bob, 'connected')]);
  return [alice, bob];
}

function randomFile(dir) {
  const data = crypto.randomBytes(SIZE);
  const file = { path: path.join(dir, 'data.bin'), hash: sha256(data) };
  fs.writeFileSync(file.path, data);
  return file;
}

test('a 64 MiB transfer survives a server restart and a cut WebSocket', { timeout: 150000 }, async (t) => {
  let server = await startServer();
  const proxy = await startTcpProxy(server.port);
  const browser = await launchChromium();
  const pages = [];
  const dir = tempDir('murva-e2e-resume-');
  const file = randomFile(dir);
  try {
    const [alice, bob] = await connectedPair(browser, server, proxy.url); // Bob's signaling goes through the proxy
    pages.push(alice, bob);

    const plain = await transfer(alice, bob, file, null);
    t.diagnostic(`uninterrupted: ${plain.total} ms`);

    // (a) The one server stops (SIGTERM) and starts again on its port: it forgets everything, so both pages
    // join again and keep their peer connection.
    const restarted = await transfer(alice, bob, file, async () => {
      const cut = Date.now();
      const port = server.port;
      await server.stop();
      server = await startServer({ port });
      await waitUntil(() => bothInRoom(server), 20000, 'both pages in their room on the restarted server');
      return Date.now() - cut;
    });
    t.diagnostic(`server restart: signaling back after ${restarted.back} ms; transfer ${restarted.total} ms`);
    await checkPages(pages);

    // (c) Bob's WebSocket is reset under it: the server holds his slot and he resumes it with his token.
    const resumesBefore = (server.output().match(/\[~\] resume/g) ?? []).length;
    const cutOff = await transfer(alice, bob, file, async () => {
      const cut = Date.now();
      proxy.cutAll();
      await waitUntil(() => (server.output().match(/\[~\] resume/g) ?? []).length > resumesBefore, 20000,
        'Bob resumed his slot');
      return Date.now() - cut;
    });
    t.diagnostic(`cut WebSocket: resumed after ${cutOff.back} ms; transfer ${cutOff.total} ms`);
    assert.ok(bothInRoom(server));
    await checkPages(pages);
    for (const page of pages) {
      const statuses = await page.evaluate(() => window.__statuses);
      assert.ok(!statuses.some((s) => /lost|left|failed|Could not/i.test(s)), statuses.join(' | '));
    }
    assert.ok((await bob.evaluate(() => window.__statuses)).includes('Reconnecting to the server…'));
  } finally {
    await closeAll(browser, pages);
    await proxy.close();
    await server.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// The UDP packets between the two ports the pair uses are dropped (in both directions) while `fn` runs, in this
// test's own network namespace; the server's TCP is untouched.
async function withPairBlocked(ports, fn) {
  const rules = [[ports[0], ports[1]], [ports[1], ports[0]]].map(([from, to]) =>
    ['INPUT', '-p', 'udp', '--sport', String(from), '--dport', String(to), '-j', 'DROP']);
  for (const rule of rules) execFileSync('iptables', ['-A', ...rule]);
  try {
    return await fn();
  } finally {
    for (const rule of rules) execFileSync('iptables', ['-D', ...rule]);
  }
}

const portOf = (candidate) => Number(candidate.split(':').at(-1));

test('a direct connection cut mid-transfer is restored by an ICE restart through the server', { timeout: 120000 },
  async (t) => {
    const server = await startServer();
    const browser = await launchChromium();
    const pages = [];
    const dir = tempDir('murva-e2e-ice-');
    const file = randomFile(dir);
    try {
      const [alice, bob] = await connectedPair(browser, server);
      pages.push(alice, bob);
      const before = await routeOf(alice);
      const ports = [portOf(before.local), portOf(before.remote)];
      const restarted = () => alice.evaluate(() => document.getElementById('log').textContent.includes('ICE restart'));
      let restoredAfter = 0;
      const { total } = await transfer(alice, bob, file, () => withPairBlocked(ports, async () => {
        const cut = Date.now();
        await waitUntil(restarted, 20000, 'Alice restarts ICE');
        // The restart gathers new ports, so the new pair gets through while the old one stays blocked.
        await alice.waitForFunction((old) => !document.getElementById('route').hidden &&
          document.getElementById('route').dataset.local !== old, before.local, { timeout: 20000 });
        restoredAfter = Date.now() - cut;
      }));
      t.diagnostic(`ICE restart: a new pair after ${restoredAfter} ms; transfer ${total} ms`);
      assert.ok(await bob.evaluate(() => document.getElementById('log').textContent.includes('ICE restart')));
      await checkPages(pages);
    } finally {
      await closeAll(browser, pages);
      await server.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

// How many times the page has been back in its room after losing the server.
const rejoins = (page) => page.evaluate(() =>
  [...document.querySelectorAll('#log li')].filter((li) => /Back in room|Joined room .* again\./.test(li.textContent))
    .length);

// The connections an instance had joined to a room, from its latest console line.
const joinedOn = (server) => Number([...server.output().matchAll(/\((?:rooms=\d+), clients=(\d+)\)/g)].at(-1)?.[1] ?? 0);

test('a 64 MiB transfer survives each of two instances behind HAProxy being drained and restarted in turn',
  { timeout: 150000 }, async (t) => {
    const dir = tempDir('murva-e2e-resume-cluster-');
    const running = [];
    const browser = await launchChromium();
    const pages = [];
    try {
      const redisPort = await freeLoopbackPort();
      running.push(await startProcess('/usr/bin/redis-server',
        ['--port', String(redisPort), '--bind', '127.0.0.1', '--save', '', '--appendonly', 'no'],
        { cwd: dir, port: redisPort }));
      const cluster = { redis: `redis://127.0.0.1:${redisPort}/0`, heartbeat_ms: 200, instance_timeout_ms: 1000 };
      const instances = [await startServer({ cluster }), await startServer({ cluster })];
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
${instances.map((s, i) => `    server s${i} 127.0.0.1:${s.port} check inter 200\n`).join('')}`);
      running.push(await startProcess('/usr/sbin/haproxy', ['-db', '-f', config], { cwd: dir, port: proxyPort }));
      const proxy = { url: `ws://127.0.0.1:${proxyPort}` };

      const [alice, bob] = await connectedPair(browser, proxy);
      pages.push(alice, bob);
      const file = randomFile(dir);
      const backTotal = async () => (await Promise.all(pages.map(rejoins))).reduce((a, b) => a + b, 0);
      let moved = 0;
      const { total, back } = await transfer(alice, bob, file, async () => {
        const times = [];
        for (let i = 0; i < instances.length; i += 1) {
          const before = await backTotal();
          const onIt = joinedOn(instances[i]);
          moved += onIt;
          const cut = Date.now();
          const { port } = instances[i];
          await instances[i].stop(); // SIGTERM: a drain
          instances[i] = await startServer({ cluster, port });
          await waitUntil(async () => (await backTotal()) >= before + onIt, 20000,
            `the ${onIt} page(s) of instance ${i} back in their room`);
          times.push(Date.now() - cut);
        }
        return times;
      });
      t.diagnostic(`cluster: signaling back after ${back.join(' ms, ')} ms (pages moved: ${moved}); transfer ${total} ms`);
      assert.ok(moved >= 2); // every page was on a drained instance at least once
      await checkPages(pages);
      // Both are in their one room, and Redis holds nothing of a session any more.
      const keys = execFileSync('redis-cli', ['-p', String(redisPort), '--scan', '--pattern', 'murva:room:*']).toString();
      assert.equal(keys.trim().split('\n').length, 1);
      const held = execFileSync('redis-cli', ['-p', String(redisPort), '--scan', '--pattern', 'murva:*held*']).toString();
      assert.equal(held.trim(), '');
      const room = execFileSync('redis-cli', ['-p', String(redisPort), 'HGETALL', keys.trim()]).toString();
      assert.doesNotMatch(room, /^~$/m); // neither slot is held
      running.push(...instances);
    } finally {
      await closeAll(browser, pages);
      for (const process of running.reverse()) await process.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
