// A TURN server (coturn) on loopback with one long-term user, for pages that must reach each other through a relay.
import fs from 'node:fs';
import path from 'node:path';
import { freeLoopbackPort, startProcess, tempDir } from './server.mjs';

export const TURNSERVER = process.env.MURVA_TURNSERVER || '/usr/bin/turnserver';

// Resolves with { url, username, credential, stop() } once the server listens.
export async function startTurnServer() {
  const dir = tempDir('murva-e2e-turn-');
  const port = await freeLoopbackPort();
  const username = 'murva';
  const credential = `pw-${Math.random().toString(36).slice(2)}`;
  const args = ['-n', '--listening-ip=127.0.0.1', '--relay-ip=127.0.0.1', `--listening-port=${port}`,
    '--min-port=40000', '--max-port=40999', '--lt-cred-mech', `--user=${username}:${credential}`, '--realm=murva.test',
    '--allow-loopback-peers', '--no-tls', '--no-dtls', '--no-cli', '--log-file=stdout', '--simple-log',
    `--pidfile=${path.join(dir, 'turnserver.pid')}`, `--userdb=${path.join(dir, 'turndb')}`];
  const child = await startProcess(TURNSERVER, args, {
    cwd: dir, port, onStop: () => fs.rmSync(dir, { recursive: true, force: true }),
  });
  return { ...child, url: `turn:127.0.0.1:${port}`, username, credential };
}

let restTurnServers = 0;

// A coturn on 127.0.0.1 that checks TURN REST credentials (what murva-signal hands out in "joined") against
// `secret`, with UDP and TCP, no TLS. It relays from 127.0.0.2: were the relay address the peers' own 127.0.0.1,
// coturn's per-address permissions would also let direct checks between the peers through. Its log (-v: every
// allocation with its username) is in output().
export async function startRestTurnServer({ secret, realm = 'test' }) {
  const dir = tempDir('murva-e2e-turn-');
  const port = await freeLoopbackPort();
  const relayPorts = 20000 + 100 * (restTurnServers++ % 50); // below the ephemeral range; one block per coturn
  const turn = await startProcess(TURNSERVER, [
    '-n', '--no-cli', '-v', '--log-file=stdout', '--listening-ip=127.0.0.1', '--relay-ip=127.0.0.2',
    `--listening-port=${port}`, `--min-port=${relayPorts}`, `--max-port=${relayPorts + 99}`,
    '--use-auth-secret', `--static-auth-secret=${secret}`, `--realm=${realm}`, '--no-tls', '--no-dtls',
    '--allow-loopback-peers', `--pidfile=${path.join(dir, 'turnserver.pid')}`, `--db=${path.join(dir, 'turndb')}`,
  ], { cwd: dir, port, onStop: () => fs.rmSync(dir, { recursive: true, force: true }) });
  return { ...turn, url: `turn:127.0.0.1:${port}?transport=udp` };
}
