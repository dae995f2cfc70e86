// The TypeScript client against the real server: over TCP, over WebSocket through the
// gateway, both in one room, and the gateway's refusals.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { connectTcp, connectWebSocket, encodeFrame, FrameKind } from '../dist/node.js';
import { startLobby } from './support.mjs';

let lobby;
before(async () => { lobby = await startLobby({ gatewayLimits: { GatewayConnectionsPerAddress: 4 } }); });
after(async () => { await lobby.stop(); });

async function player(how, name) {
  const c = how === 'tcp' ? await connectTcp('127.0.0.1', lobby.port) : await connectWebSocket(lobby.wsUrl);
  await c.handshake({ id: name });
  const r = await c.login(name, 'pw', 'G1');
  assert.equal(r.data, 'LOGIN 성공');
  return c;
}

for (const [how, other] of [['tcp', 'tcp'], ['ws', 'ws'], ['tcp', 'ws']]) {
  test(`a room made over ${how}, entered over ${other}: chat and a game start`, async () => {
    const kim = await player(how, `kim-${how}${other}`);
    const lee = await player(other, `lee-${how}${other}`);
    try {
      const room = await kim.makeRoom('js room');
      assert.ok(room >= 100000000, String(room));
      const listed = await lee.roomList(-1);
      assert.ok(listed.some((r) => r.roomNo === String(room) && r.subect === 'jsroom'), JSON.stringify(listed));

      const usrIn = kim.waitFor('USRIN');
      assert.equal((await lee.enterRoom(room)).data, '방입장 성공');
      assert.equal((await usrIn).data, `플레이어입장:lee-${how}${other}`);

      const heard = kim.waitFor('USRMSGALL');
      await lee.say(room, 'lee: 안녕 kim');
      assert.equal((await heard).data, 'lee:안녕kim');

      const leeAsked = lee.waitFor('REQRDY');
      assert.equal((await kim.askReady(room)).data, '게임시작준비요청');
      assert.equal((await leeAsked).data, '게임시작준비요청');
      const starts = [kim.waitFor('STARTOK'), lee.waitFor('STARTOK')];
      await lee.report('READYOK');
      await kim.report('READYOK');
      for (const s of await Promise.all(starts)) assert.equal(s.data, '게임시작');
    } finally {
      kim.close();
      lee.close();
    }
  });
}

test('errors come back as replies, and the logout notice is read despite its capitals', async () => {
  const c = await connectTcp('127.0.0.1', lobby.port);
  await c.handshake();
  assert.equal((await c.request('USRLIST')).code, 'E016');
  await c.login('solo', 'pw', 'G1');
  await assert.rejects(c.makeRoom('x', { roomtype: 'BOTH' }), /MAKEROOM refused: E018/);
  const bye = await c.logout('solo');
  assert.deepEqual([bye.cmd, bye.code, bye.data], ['LOGOUT', 'E000', []]);
  await new Promise((resolve) => c.onClose(resolve));
  assert.ok(c.isClosed);
});

test('the gateway closes a WebSocket that sends text or a broken frame', async () => {
  for (const bad of ['text, not binary', encodeFrame(FrameKind.Data, new Uint8Array(10)).slice(0, 12)]) {
    const ws = new WebSocket(lobby.wsUrl);
    ws.binaryType = 'arraybuffer';
    await new Promise((r) => { ws.onopen = r; });
    const closed = new Promise((r) => { ws.onclose = (e) => r(e.code); });
    ws.send(bad);
    assert.equal(await closed, 1008);
  }
});

test('the gateway refuses WebSockets past its per-address bound, and admits again after', async () => {
  const open = [];
  for (let i = 0; i < 4; ++i) open.push(await connectWebSocket(lobby.wsUrl));
  await assert.rejects(connectWebSocket(lobby.wsUrl), /cannot connect/);
  assert.match(lobby.gatewayStderr(), /GatewayConnectionsPerAddress \(4\) reached/);
  open.pop().close();
  await new Promise((r) => setTimeout(r, 200));
  const again = await connectWebSocket(lobby.wsUrl);
  await again.handshake();
  for (const c of [...open, again]) c.close();
});
