// The web lobby's logic: log in, who is online, rooms (list, create, enter, leave), chat,
// and the game's ready and start, over a WebSocket to tessil-gateway.
import { connectWebSocket } from './tessil-client/index.js';

const $ = (id) => document.getElementById(id);
const gatewayUrl = new URLSearchParams(location.search).get('gateway') ||
  `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`;
let client = null;
let me = '';
let room = 0;

function status(text) { $('status').textContent = text; }
function line(text) {
  const div = document.createElement('div');
  div.textContent = text;
  $('chat').append(div);
  $('chat').scrollTop = $('chat').scrollHeight;
}

async function refresh() {
  const users = await client.userList();
  $('users').replaceChildren(...users.map((u) => {
    const li = document.createElement('li');
    li.textContent = `${u.userid}${Number(u.roomno) > 0 ? ` (room ${u.roomno})` : ''}`;
    return li;
  }));
  const rooms = await client.roomList(-1);
  $('rooms').replaceChildren(...rooms.map((r) => {
    const li = document.createElement('li');
    li.textContent = `${r.subect} by ${r.master} (${r.player.length}) `;
    const enter = document.createElement('button');
    enter.textContent = 'Enter';
    enter.dataset.room = r.roomNo;
    enter.disabled = room > 0;
    enter.onclick = () => enterRoom(Number(r.roomNo));
    li.append(enter);
    return li;
  }));
}

function showRoom(no, master) {
  room = no;
  $('room').style.display = no > 0 ? 'block' : 'none';
  $('roomNo').textContent = no > 0 ? String(no) : '';
  $('role').textContent = master ? '(master)' : '';
  $('askReadyBtn').disabled = !master;
  $('game').textContent = '';
  if (no === 0) $('chat').replaceChildren();
}

async function enterRoom(no) {
  await client.enterRoom(no);
  showRoom(no, false);
  line(`you entered room ${no}`);
  await refresh();
}

function onMessage(r) {
  switch (r.cmd) {
    case 'USRIN': line(`${String(r.data).split(':')[1]} came in`); refresh(); break;
    case 'USROUT': if (!String(r.data).endsWith(me)) line(`${String(r.data).split(': ')[1]} left`); refresh(); break;
    case 'CHGMAS': showRoom(room, true); line('you are the master now'); break;
    case 'DELROOM': showRoom(0, false); refresh(); break;
    case 'USRMSGALL': if (r.code === 'E000' && r.data !== '메시지 발송완료') line(String(r.data)); break;
    case 'REQRDY': line('the master asks everybody to get ready'); break;
    case 'READYOK': line(`${r.data} is ready`); break;
    case 'STARTOK': if (r.data === '게임시작') $('game').textContent = 'Game started: 게임시작'; break;
    default: break;
  }
}

$('loginBtn').onclick = async () => {
  me = $('name').value.trim();
  if (!me) return;
  try {
    status(`connecting to ${gatewayUrl}`);
    client = await connectWebSocket(gatewayUrl);
    client.onMessage(onMessage);
    client.onClose((why) => status(`disconnected: ${why}`));
    await client.handshake({ id: 'web-lobby', user: me });
    await client.login(me, '', 'WEB');
    status(`logged in as ${me}`);
    $('login').style.display = 'none';
    $('lobby').style.display = 'block';
    await refresh();
  } catch (e) {
    status(`cannot log in: ${e.message}`);
  }
};
$('makeBtn').onclick = async () => {
  const no = await client.makeRoom($('subject').value || 'room', { gamecode: 'WEB' });
  showRoom(no, true);
  line(`you made room ${no}`);
  await refresh();
};
$('refreshBtn').onclick = () => refresh();
$('sayBtn').onclick = async () => {
  const text = $('say').value;
  if (!text || room === 0) return;
  $('say').value = '';
  // Chat events do not name the sender, so the name travels in the text.
  await client.say(room, `${me}: ${text}`);
  line(`${me}: ${text}`);
};
$('askReadyBtn').onclick = () => client.askReady(room);
$('readyBtn').onclick = () => client.report('READYOK');
$('leaveBtn').onclick = async () => {
  await client.exitRoom();
  showRoom(0, false);
  await refresh();
};
