// A TCP proxy on loopback in front of a server, whose connections a test can cut (a reset, as a network that
// went away looks to both ends).
import net from 'node:net';

export async function startTcpProxy(targetPort) {
  const pairs = new Set();
  const server = net.createServer((client) => {
    const upstream = net.connect({ host: '127.0.0.1', port: targetPort });
    const pair = { client, upstream };
    pairs.add(pair);
    const end = () => {
      pairs.delete(pair);
      client.destroy();
      upstream.destroy();
    };
    client.on('error', end).on('close', end);
    upstream.on('error', end).on('close', end);
    client.pipe(upstream);
    upstream.pipe(client);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    url: `ws://127.0.0.1:${server.address().port}`,
    // Resets every connection open now; new ones go through as before.
    cutAll() {
      for (const { client, upstream } of pairs) {
        client.resetAndDestroy();
        upstream.resetAndDestroy();
      }
      pairs.clear();
    },
    close() {
      this.cutAll();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}
