// What a user of the image sees, against a server started from it on 127.0.0.1:PORT (admin listener on ADMIN_PORT):
// the web client's page and /healthz load, two WebSocket clients meet and relay, and once STOP_COMMAND has sent the
// stop signal the pair still relays while /readyz says draining, until the server closes both connections itself.
// Usage: node image_clients.mjs PORT ADMIN_PORT STOP_COMMAND [ARG...]
import { execFileSync } from 'node:child_process';
import { connectWebSocket } from '../e2e/support/ws.mjs';
import { withTimeout } from '../e2e/support/wait.mjs';

const [port, adminPort, ...stop] = process.argv.slice(2);
const base = `http://127.0.0.1:${port}`;
const check = (ok, what) => {
  if (!ok) throw new Error(what);
};

const page = await fetch(`${base}/`);
const html = await page.text();
check(page.status === 200 && /text\/html/.test(page.headers.get('content-type')) && /<script/i.test(html),
  `GET / gave ${page.status} ${page.headers.get('content-type')}`);
check((await fetch(`${base}/healthz`)).status === 200, 'GET /healthz did not answer 200');

const a = await connectWebSocket(`ws://127.0.0.1:${port}/`);
const b = await connectWebSocket(`ws://127.0.0.1:${port}/`);
const room = `image-${process.pid}`;
a.sendJson({ type: 'join', room, nick: 'Ann' });
await a.waitForMessage((m) => m.type === 'joined', 5000, 'A joined');
b.sendJson({ type: 'join', room, nick: 'Ben' });
const joined = await b.waitForMessage((m) => m.type === 'joined', 5000, 'B joined');
check(joined.peer === 'Ann', `B joined with peer ${JSON.stringify(joined.peer)}`);
await a.waitForMessage((m) => m.type === 'peer-joined' && m.peer === 'Ben', 5000, 'A told of Ben');
const offer = JSON.stringify({ type: 'offer', sdp: `v=0\r\no=- ${process.pid} 2 IN IP4 127.0.0.1\r\n` });
a.send(offer);
await b.waitForMessage((m) => m.type === 'offer', 5000, 'the offer at B');
check(b.texts.includes(offer), 'the offer arrived changed');

execFileSync(stop[0], stop.slice(1), { stdio: 'inherit' });
const ready = await withTimeout((async () => {
  for (;;) {
    const status = (await fetch(`http://127.0.0.1:${adminPort}/readyz`)).status;
    if (status === 503) return status;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
})(), 5000, 'waiting for /readyz to say draining');
check(ready === 503, '/readyz');
const answer = JSON.stringify({ type: 'answer', sdp: 'v=0\r\n' });
b.send(answer);
await a.waitForMessage((m) => m.type === 'answer', 5000, 'the answer at A during the drain');
await withTimeout(Promise.all([a.closed, b.closed]), 15000, 'the server closing both connections');
check(a.closedByServer && b.closedByServer, 'the connections were not closed by the server');
console.log('clients: page, healthz, join, relay and drain as expected');
