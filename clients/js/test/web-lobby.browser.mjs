// The web lobby page (examples/web-lobby) in headless Chromium against the real server
// through the gateway: two people log in, see each other, make and enter a room, chat, get
// ready and see the game start. Saves a screenshot to SCREENSHOT.
// Environment: TESSIL_APP, TESSIL_GATEWAY, CHROMIUM, SCREENSHOT (optional).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { cpSync, mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { startLobby } from './support.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));

test('two people use the web lobby to meet, chat and start a game', { timeout: 120000 }, async () => {
  // The page and the built client, served by the gateway from one folder.
  const web = mkdtempSync(path.join(os.tmpdir(), 'tessil-web-'));
  cpSync(path.join(here, '../../../examples/web-lobby'), web, { recursive: true });
  cpSync(path.join(here, '../dist'), path.join(web, 'tessil-client'), { recursive: true });
  const profile = mkdtempSync(path.join(os.tmpdir(), 'tessil-chromium-'));
  const lobby = await startLobby({ web });
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width: 800, height: 640 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const url = `http://127.0.0.1:${lobby.gatewayPort}/`;
    const kim = await browser.newPage();
    const lee = await browser.newPage();
    for (const [page, name] of [[kim, 'kim'], [lee, 'lee']]) {
      await page.goto(url);
      await page.fill('#name', name);
      await page.click('#loginBtn');
      await page.locator('#status', { hasText: `logged in as ${name}` }).waitFor();
    }
    await kim.click('#refreshBtn');
    await kim.locator('#users li', { hasText: 'lee' }).waitFor();

    await kim.fill('#subject', 'web night');
    await kim.click('#makeBtn');
    await kim.locator('#role', { hasText: '(master)' }).waitFor();
    const roomNo = await kim.locator('#roomNo').textContent();
    await lee.click('#refreshBtn');
    await lee.locator(`#rooms button[data-room="${roomNo}"]`).click();
    await lee.locator('#roomNo', { hasText: roomNo }).waitFor();
    await kim.locator('#chat', { hasText: 'lee came in' }).waitFor();

    await lee.fill('#say', 'hello kim 안녕');
    await lee.click('#sayBtn');
    await kim.locator('#chat', { hasText: 'lee:hellokim안녕' }).waitFor();

    await kim.click('#askReadyBtn');
    await lee.locator('#chat', { hasText: 'the master asks everybody to get ready' }).waitFor();
    await lee.click('#readyBtn');
    await kim.click('#readyBtn');
    for (const page of [kim, lee]) {
      await page.locator('#game', { hasText: 'Game started' }).waitFor();
    }
    assert.match(await kim.locator('#users').textContent(), /lee \(room \d+\)/);
    if (process.env.SCREENSHOT) await kim.screenshot({ path: process.env.SCREENSHOT });
  } finally {
    await browser.close();
    await lobby.stop();
    rmSync(web, { recursive: true, force: true });
    rmSync(profile, { recursive: true, force: true });
  }
});
