// Browser test of the control panel: starts TessilServiceApp with its panel on a free
// port, opens the page in headless Chromium, presses START, connects a game client with
// tessil-cli that opens a room, watches the counters, the log and the users and rooms
// tables, checks that no part of the page overlaps another at 1280x800 and 800x600, kicks
// the user, then presses STOP, CLS and Close.
// Environment: TESSIL_APP, TESSIL_CLI (executables), CHROMIUM (browser), SCREENSHOT
// (optional path for a picture of the page while a client is connected).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const app = process.env.TESSIL_APP;
const cli = process.env.TESSIL_CLI;
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// Starts the app and resolves with its panel URL once it printed it.
function startApp(args, env = {}) {
  const child = spawn(app, args, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  let out = '';
  let err = '';
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no panel line; stderr: ${err}`)), 15000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/Control panel: (http:\/\/\S+)/);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
    child.stderr.on('data', (d) => { err += d; });
    child.on('exit', () => reject(new Error(`app exited early; stderr: ${err}`)));
  });
  return { child, url, exited, stderr: () => err };
}

// Runs tessil-cli with a script on standard input; resolves with its output.
function runCli(port, script) {
  return new Promise((resolve) => {
    const child = spawn(cli, [`127.0.0.1:${port}`], { stdio: ['pipe', 'pipe', 'pipe'] });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { out += d; });
    child.on('exit', (code) => resolve({ code, out }));
    child.stdin.end(script);
  });
}

const text = (page, id) => page.locator(`#${id}`).textContent();
// The log's lines without their "13:51:32.123 " time and "[#1 127.0.0.1:5000] " connection.
const memo = async (page) => (await page.locator('#LogMemo').inputValue())
  .split('\n').map((l) => l.replace(/^\d\d:\d\d:\d\d\.\d{3} (\[[^\]]*\] )?/, '')).join('\n');
const rawMemo = (page) => page.locator('#LogMemo').inputValue();
const rows = (page, id) => page.locator(`#${id} tbody tr`).allTextContents();

// No two of the panel's visible parts overlap, and none leaves the window's width.
async function assertNoOverlap(page, size) {
  await page.setViewportSize(size);
  const boxes = await page.evaluate(() => {
    const ids = ['Caption', 'State', 'Close', 'StartBtn', 'StopBtn', 'Button2', 'Button1',
      'LogDispCheck', 'Label2', 'processCnt', 'Label1', 'ConLabel', 'NetConLabel', 'NetConCnt',
      'Label3', 'RoomCnt', 'LogMemo', 'Users', 'Rooms'];
    return ids.map((id) => {
      const el = document.getElementById(id);
      // The check box with its label; a table by the box that scrolls it.
      const target = id === 'LogDispCheck' || id === 'Users' || id === 'Rooms' ? el.parentElement : el;
      const r = target.getBoundingClientRect();
      return { id, x: r.left, y: r.top, w: r.width, h: r.height };
    });
  });
  for (const b of boxes) {
    assert.ok(b.w > 0 && b.h > 0, `${b.id} is not shown at ${size.width}x${size.height}`);
    assert.ok(b.x >= 0 && b.x + b.w <= size.width + 0.5, `${b.id} leaves the window at ${size.width}x${size.height}`);
  }
  for (let i = 0; i < boxes.length; ++i) {
    for (let j = i + 1; j < boxes.length; ++j) {
      const a = boxes[i];
      const b = boxes[j];
      const overlap = a.x < b.x + b.w - 0.5 && b.x < a.x + a.w - 0.5 && a.y < b.y + b.h - 0.5 && b.y < a.y + a.h - 0.5;
      assert.ok(!overlap, `${a.id} overlaps ${b.id} at ${size.width}x${size.height}: ${JSON.stringify([a, b])}`);
    }
  }
}

async function until(what, fn, timeout = 10000) {
  const end = Date.now() + timeout;
  let last;
  while (Date.now() < end) {
    last = await fn();
    if (last) return last;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail(`timed out waiting for ${what} (last: ${JSON.stringify(last)})`);
}

test('the panel drives the server end to end', { timeout: 120000 }, async () => {
  const logDir = mkdtempSync(path.join(os.tmpdir(), 'tessil-panel-'));
  const gamePort = await freePort();
  const proc = startApp(['--panel', '127.0.0.1:0', '--port', String(gamePort),
    '--instance', `panel-browser-${process.pid}`, '--log-dir', logDir, '--workers', '2']);
  const browser = await chromium.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  try {
    const url = await proc.url;
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    await page.goto(url);
    assert.equal(await page.title(), 'Tessil Svc Sever 1.6.0');
    assert.equal(await text(page, 'Caption'), 'Tessil Svc Sever 1.6.0');
    await until('the live stream', async () => (await text(page, 'Status')) === 'live');
    for (const [id, label] of [['StartBtn', 'START'], ['StopBtn', 'STOP'], ['Button2', 'HALT'],
      ['Button1', 'CLS'], ['Label2', 'Process :'], ['Label1', 'Connected :'],
      ['NetConLabel', 'Net Connected :'], ['Label3', 'Room:']]) {
      assert.equal(await text(page, id), label);
    }
    assert.equal(await text(page, 'State'), 'stopped');

    await page.click('#StartBtn');
    await until('"Start" in the log', async () => (await memo(page)).split('\n').includes('Start'));
    await until('the running state', async () => (await text(page, 'State')) === 'running');
    assert.match(await rawMemo(page), /^\d\d:\d\d:\d\d\.\d{3} Start$/m);

    // A client logs in, opens a room and stays until it is kicked.
    const client = runCli(gamePort, [
      'handshake',
      'LOGIN usrid=browser pass=1 gcode=G1',
      'wait LOGIN',
      '{"cmd":"MAKEROOM","pass":"","subject":"Friday","roomtype":"OPEN","roomterm":"CONT","gamecode":"G1"}',
      'wait MAKEROOM',
      'sleep 20000',
      'quit',
      '',
    ].join('\n'));
    await until('Connected : 1', async () => (await text(page, 'ConLabel')) === '1');
    await until('Net Connected : 1', async () => (await text(page, 'NetConCnt')) === '1');
    await until('the request in the log', async () =>
      (await memo(page)).includes('{"cmd":"LOGIN","usrid":"browser","pass":"***"'));
    assert.ok(!(await rawMemo(page)).includes('"pass":"1"'), 'a password is shown');
    await until('Process : 2', async () => (await text(page, 'processCnt')) === '2');
    await until('the user in the table', async () => (await rows(page, 'Users')).some((r) => r.startsWith('browserG1')));
    await until('the room in the table', async () => (await rows(page, 'Rooms')).some((r) => r.includes("Friday")));
    const userRow = (await rows(page, 'Users')).find((r) => r.startsWith('browser'));
    assert.match(userRow, /^browserG1\d+in room127\.0\.0\.1:\d+\d\d:\d\d:\d\dKick$/);

    await assertNoOverlap(page, { width: 1280, height: 800 });
    await assertNoOverlap(page, { width: 800, height: 600 });
    await page.setViewportSize({ width: 1280, height: 800 });
    if (process.env.SCREENSHOT) await page.screenshot({ path: process.env.SCREENSHOT });

    // Kick: the user is logged out, its room goes with it, and its connection closes.
    await page.click('#Users button.kick[data-id="browser"]');
    await until('the user gone', async () => (await rows(page, 'Users')).join() === 'none');
    await until('the room gone', async () => (await rows(page, 'Rooms')).join() === 'none');
    await until('Connected : 0', async () => (await text(page, 'ConLabel')) === '0');
    await until('Net Connected : 0', async () => (await text(page, 'NetConCnt')) === '0');
    const done = await client;
    assert.match(done.out, /"code":"E000"/);

    await page.click('#StopBtn');
    await until('"Stop" in the log', async () => {
      const lines = (await memo(page)).split('\n');
      return lines.at(-2) === 'Disconnect All connection' && lines.at(-1) === 'Stop';
    });
    await until('the stopped state', async () => (await text(page, 'State')) === 'stopped');

    await page.click('#Button1');
    await until('an empty log', async () => (await memo(page)) === '');

    await page.click('#Close');
    await until('the closed page', async () => (await text(page, 'Status')) === 'closed');
    const exit = await Promise.race([proc.exited,
      new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 15000).unref())]);
    assert.deepEqual(exit, { code: 0, signal: null }, proc.stderr());
  } finally {
    await browser.close();
    if (proc.child.exitCode === null && proc.child.signalCode === null) proc.child.kill('SIGKILL');
    rmSync(logDir, { recursive: true, force: true });
  }
});

test('a panel with a token serves the page and its buttons only with the token', { timeout: 60000 }, async () => {
  const logDir = mkdtempSync(path.join(os.tmpdir(), 'tessil-panel-'));
  const gamePort = await freePort();
  const proc = startApp(['--panel', '127.0.0.1:0', '--port', String(gamePort),
    '--instance', `panel-token-${process.pid}`, '--log-dir', logDir, '--workers', '2'],
  { TESSIL_PANEL_TOKEN: 'pa55' });
  const browser = await chromium.launch({ executablePath: browserPath, args: ['--no-sandbox', '--disable-gpu'] });
  try {
    const url = await proc.url;
    // Without the token nothing is served, in the address or not.
    assert.equal((await fetch(url)).status, 401);
    assert.equal((await fetch(`${url}?token=pa55`)).status, 401);

    // The browser's login prompt: any user name, the token as the password.
    const context = await browser.newContext({ httpCredentials: { username: 'operator', password: 'pa55' } });
    const page = await context.newPage();
    await page.goto(url);
    await until('the live stream', async () => (await text(page, 'Status')) === 'live');
    await page.click('#StartBtn');
    await until('"Start" in the log', async () => (await memo(page)).split('\n').includes('Start'));
    await page.click('#Close');
    const exit = await Promise.race([proc.exited,
      new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 15000).unref())]);
    assert.deepEqual(exit, { code: 0, signal: null }, proc.stderr());
  } finally {
    await browser.close();
    if (proc.child.exitCode === null && proc.child.signalCode === null) proc.child.kill('SIGKILL');
    rmSync(logDir, { recursive: true, force: true });
  }
});
