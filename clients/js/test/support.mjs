// Test support: free ports, and the server and gateway binaries started for one test file.
// Environment: TESSIL_APP (server), TESSIL_GATEWAY (gateway).
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

async function waitListening(port) {
  for (let i = 0; i < 200; ++i) {
    const ok = await new Promise((resolve) => {
      const s = net.createConnection({ host: '127.0.0.1', port }, () => { s.destroy(); resolve(true); });
      s.on('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`nothing listens on ${port}`);
}

// Starts the lobby server and a gateway in front of it; stop() ends both.
export async function startLobby({ gatewayLimits = {}, web } = {}) {
  const dir = mkdtempSync(path.join(os.tmpdir(), 'tessil-js-'));
  const port = await freePort();
  const server = spawn(process.env.TESSIL_APP, ['--headless', '--start', '--port', String(port),
    '--instance', `js-${process.pid}-${port}`, '--log-dir', dir, '--workers', '2'], { stdio: 'ignore' });
  await waitListening(port);
  const config = path.join(dir, 'gateway.ini');
  writeFileSync(config, '[Limits]\n' + Object.entries(gatewayLimits).map(([k, v]) => `${k}=${v}\n`).join(''));
  const args = ['--listen', '127.0.0.1:0', '--server', `127.0.0.1:${port}`, '--config', config];
  if (web) args.push('--web', web);
  const gateway = spawn(process.env.TESSIL_GATEWAY, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  gateway.stderr.on('data', (d) => { stderr += d; });
  const gatewayPort = await new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error('no gateway line')), 10000);
    gateway.stdout.on('data', (d) => {
      out += d;
      const m = /ws:\/\/127\.0\.0\.1:(\d+)\//.exec(out);
      if (m) { clearTimeout(timer); resolve(Number(m[1])); }
    });
  });
  return {
    port,
    gatewayPort,
    wsUrl: `ws://127.0.0.1:${gatewayPort}/`,
    gatewayStderr: () => stderr,
    async stop() {
      const ended = (p) => new Promise((r) => (p.exitCode !== null ? r() : p.once('exit', r)));
      gateway.kill('SIGTERM');
      server.kill('SIGTERM');
      await Promise.all([ended(gateway), ended(server)]);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}
