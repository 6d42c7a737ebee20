// Headless Debian Chromium through playwright-core, a static file server for web/ on loopback, and what a page's
// renderer process uses.
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { repoRoot } from './server.mjs';
import { withTimeout } from './wait.mjs';

export const CHROMIUM = process.env.MURVA_CHROMIUM || '/usr/bin/chromium';
const WEB_DIR = path.join(repoRoot, 'web');
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css', '.png': 'image/png' };

// The Content-Security-Policy the page must work under: nothing but its own files, no inline code, no eval.
export const PAGE_CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src data:; " +
  "connect-src 'self' ws: wss:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// Serves web/ on 127.0.0.1 under PAGE_CSP, over https when `tls` (from makeCertificate) is given.
export async function serveWeb({ tls = null } = {}) {
  const handler = (request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://x').pathname).replace(/^\/+/, '') || 'index.html';
    const file = path.join(WEB_DIR, path.normalize(name));
    if (!file.startsWith(WEB_DIR + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {
      'content-type': TYPES[path.extname(file)] || 'application/octet-stream',
      'cache-control': 'no-store',
      'content-security-policy': PAGE_CSP,
    });
    fs.createReadStream(file).pipe(response);
  };
  const server = tls
    ? https.createServer({ cert: tls.cert, key: fs.readFileSync(tls.keyFile) }, handler)
    : http.createServer(handler);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    origin: `${tls ? 'https' : 'http'}://127.0.0.1:${server.address().port}`,
    close: () => {
      server.closeAllConnections();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

// Playwright gives every launch a fresh temporary profile (--user-data-dir) and removes it on close.
export async function launchChromium({ ignoreCertificateErrors = false } = {}) {
  const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--allow-loopback-in-peer-connection', '--use-fake-ui-for-media-stream'];
  if (ignoreCertificateErrors) args.push('--ignore-certificate-errors');
  return chromium.launch({ executablePath: CHROMIUM, headless: true, args, timeout: 30000 });
}

// Records, without touching the client, every signaling text the page receives and whether its socket closed,
// and reports any Content-Security-Policy violation as a console error (which fails the test).
function recordSignaling() {
  document.addEventListener('securitypolicyviolation', (event) => {
    console.error(`CSP violation: ${event.violatedDirective} blocked ${event.blockedURI || '(inline)'}`);
  });
  // The longest the page's main thread was busy at a stretch, since the test last set it to 0.
  window.__longestTask = 0;
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.__longestTask = Math.max(window.__longestTask, entry.duration);
  }).observe({ type: 'longtask' });
  window.__signals = [];
  window.__socketClosed = false;
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (event) => window.__signals.push(String(event.data)));
      this.addEventListener('close', () => { window.__socketClosed = true; });
    }
  };
}

// A page of the web client in its own browser context. `initScript` ({ fn, arg }, or a list of them) runs before
// the client; `query` is appended to the page's address.
export async function openClient(browser, origin, { initScript, query = '' } = {}) {
  const context = await browser.newContext({ acceptDownloads: false });
  context.setDefaultTimeout(20000);
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (err) => page.errors.push(String(err)));
  page.on('console', (msg) => { if (msg.type() === 'error') page.errors.push(msg.text()); });
  await page.addInitScript(recordSignaling);
  for (const script of [initScript ?? []].flat()) await page.addInitScript(script.fn, script.arg);
  await page.goto(`${origin}/index.html${query}`);
  return page;
}

export async function joinRoom(page, { server, room, nick, password = '', ice = '' }) {
  if (ice) {
    await page.click('summary');   // Advanced
    await page.fill('#ice', ice);
  }
  await page.fill('#server', server);
  await page.fill('#room', room);
  await page.fill('#nick', nick);
  await page.fill('#password', password);
  await page.click('#join');
}

export const state = (page) => page.evaluate(() => document.body.dataset.state);
export const text = (page, selector) => page.locator(selector).textContent();

export function waitForState(page, wanted, timeout = 15000) {
  return page.waitForFunction((w) => document.body.dataset.state === w, wanted, { timeout });
}

// Chooses `data` (a Buffer named `name`), or the file at the path `name` when no data is given, and sends it.
export async function sendFileFromPage(page, name, data) {
  await page.setInputFiles('#file', data ? { name, mimeType: 'application/octet-stream', buffer: data } : name);
  await page.waitForFunction(() => !document.getElementById('send').disabled, null, { timeout: 15000 });
  await page.click('#send');
}

// Waits for the page to finish receiving the file called `name` and returns what it shows.
export async function receivedInPage(page, name, timeout = 30000) {
  await page.waitForFunction((wanted) => {
    const link = document.getElementById('download');
    return !link.hidden && link.getAttribute('download') === wanted;
  }, name, { timeout });
  return page.evaluate(() => ({
    hash: document.getElementById('recv-hash').textContent,
    name: document.getElementById('recv-name').textContent,
    info: document.getElementById('recv-info').textContent,
    infoClass: document.getElementById('recv-info').className,
    download: document.getElementById('download').getAttribute('download'),
  }));
}

// Waits for the sender's page to show the receiver's confirmation.
export async function deliveredFromPage(page, timeout = 30000) {
  await page.waitForFunction(() => document.getElementById('send-info').className.includes('good'), null, { timeout });
  return page.evaluate(() => ({
    hash: document.getElementById('send-hash').textContent,
    info: document.getElementById('send-info').textContent,
    progress: document.getElementById('send-progress').value,
  }));
}

// The candidate pair the page shows as its route: { local: "host 127.0.0.1:p", remote: ... }.
export async function routeOf(page, timeout = 10000) {
  await page.waitForFunction(() => !document.getElementById('route').hidden, null, { timeout });
  return page.evaluate(() => ({ ...document.getElementById('route').dataset, text: document.getElementById('route').textContent }));
}

export async function closeAll(browser, pages = []) {
  for (const page of pages) await withTimeout(page.context().close(), 10000, 'closing a browser context').catch(() => {});
  if (browser) await withTimeout(browser.close(), 15000, 'closing Chromium');
}

// Chromium renderer processes below this test process, with their resident and peak resident memory in bytes.
export function rendererProcesses() {
  const parentOf = new Map();
  const stats = new Map();
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
      parentOf.set(Number(name), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch { /* gone */ }
  }
  const mine = (pid) => {
    for (let p = parentOf.get(pid); p > 1; p = parentOf.get(p)) if (p === process.pid) return true;
    return false;
  };
  for (const pid of parentOf.keys()) {
    try {
      if (!mine(pid) || !fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer')) continue;
      const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
      const kib = (key) => Number(status.match(new RegExp(`^${key}:\\s+(\\d+) kB`, 'm'))?.[1] ?? NaN) * 1024;
      stats.set(pid, { rss: kib('VmRSS'), peak: kib('VmHWM') });
    } catch { /* gone */ }
  }
  return stats;
}

// Starts a new peak (VmHWM) for each process: from now on `peak` is the most it used after this call.
export function resetPeakMemory(pids) {
  for (const pid of pids) fs.writeFileSync(`/proc/${pid}/clear_refs`, '5');
}
