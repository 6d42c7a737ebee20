// Bounded waiting: every wait in these tests ends with a result or an error naming what did not happen.
export function withTimeout(promise, timeoutMs, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${timeoutMs} ms ${what}`)), timeoutMs);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

export async function waitUntil(condition, timeoutMs, what, intervalMs = 20) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() >= deadline) throw new Error(`timed out after ${timeoutMs} ms waiting until ${what}`);
    await new Promise((resolve) => setTimeout(resolve, intervalMs));
  }
}
