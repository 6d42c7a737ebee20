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
