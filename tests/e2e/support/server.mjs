// Runs the real murva-signal binary (and other daemons the tests need) on a free loopback port.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { waitUntil, withTimeout } from './wait.mjs';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');

export function serverBinary() {
  const binary = path.resolve(process.env.MURVA_SIGNAL_BINARY || path.join(repoRoot, 'build', 'murva-signal'));
  if (!fs.existsSync(binary)) throw new Error(`murva-signal binary not found at ${binary} (set MURVA_SIGNAL_BINARY)`);
  return binary;
}

export function tempDir(prefix = 'murva-e2e-') {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

export function freeLoopbackPort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function portAccepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.on('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.on('error', () => resolve(false));
  });
}

// A self-signed certificate for 127.0.0.1 and localhost, valid for a day.
export function makeCertificate(dir) {
  const certFile = path.join(dir, 'cert.pem');
  const keyFile = path.join(dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-keyout', keyFile, '-out', certFile, '-days', '1', '-subj', '/CN=localhost',
    '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1'], { stdio: 'ignore', timeout: 20000 });
  return { certFile, keyFile, cert: fs.readFileSync(certFile) };
}

// Starts the server and resolves once its port accepts connections. `tls` is the result of makeCertificate;
// `turn` and `cluster`, when given, are the configuration's objects; `env` is added to the server's environment.
// `port`: the port of a server stopped before, to start it again where its clients look for it.
export async function startServer({
  password = '', allowTurn = true, tls = null, turn = null, cluster = null, env = {}, port: wantedPort = 0,
} = {}) {
  const dir = tempDir();
  const port = wantedPort || await freeLoopbackPort();
  const config = {
    port,
    bind_address: '127.0.0.1',
    password,
    log_level: 'warning',
    allow_turn: allowTurn,
    max_connections: 64,
    max_connections_per_ip: 32,
    max_rooms: 16,
    drain_timeout_ms: 0, // a stop closes at once: no test waits for a drain
    max_message_size: 65536,
    connection_timeout_ms: 0,
    tls: { enabled: Boolean(tls), cert_file: tls?.certFile ?? '', key_file: tls?.keyFile ?? '', key_password: '' },
  };
  if (turn) config.turn = turn;
  if (cluster) config.cluster = cluster;
  const configFile = path.join(dir, 'murva-signal.json');
  fs.writeFileSync(configFile, JSON.stringify(config, null, 2));

  const childEnv = { ...process.env };
  delete childEnv.MURVA_SIGNAL_PASSWORD;      // the file alone decides the password
  delete childEnv.MURVA_SIGNAL_TURN_SECRET;   // and the TURN secret, unless `env` says otherwise
  Object.assign(childEnv, env);
  const removeDir = () => fs.rmSync(dir, { recursive: true, force: true });
  const child = await startProcess(serverBinary(), [configFile], { cwd: dir, env: childEnv, port, onStop: removeDir });
  return { ...child, url: `${tls ? 'wss' : 'ws'}://127.0.0.1:${port}` };
}

// Runs `binary` and resolves once it accepts TCP connections on 127.0.0.1:`port`. stop() ends it (SIGTERM, then
// SIGKILL) and then calls onStop.
export async function startProcess(binary, args, { cwd, env = process.env, port, onStop = () => {} }) {
  const child = spawn(binary, args, { cwd, env, stdio: ['ignore', 'pipe', 'pipe'] });
  const name = path.basename(binary);
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  let exited = false;
  const exit = new Promise((resolve) => {
    child.on('exit', (code, signal) => { exited = true; resolve({ code, signal }); });
    child.on('error', (err) => { output += `${err}\n`; exited = true; resolve({ error: err }); });
  });

  const handle = {
    port,
    pid: child.pid,
    output: () => output,
    async stop() {
      if (!exited) {
        process.kill(child.pid, 'SIGTERM');
        try {
          await withTimeout(exit, 5000, `${name} (pid ${child.pid}) to exit`);
        } catch {
          process.kill(child.pid, 'SIGKILL');
          await withTimeout(exit, 5000, `${name} (pid ${child.pid}) to die`);
        }
      }
      onStop();
    },
  };
  try {
    await waitUntil(async () => exited || (await portAccepts(port)), 10000, `${name} listens on ${port}`, 50);
    if (exited) throw new Error(`${name} exited at start:\n${output}`);
  } catch (err) {
    await handle.stop();
    throw err;
  }
  return handle;
}
