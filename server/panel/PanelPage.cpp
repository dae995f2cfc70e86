// The control panel's page (see PanelPage.h): the window's controls, texts and counters laid
// out for a browser (no fixed pixel positions), a running/stopped badge, the log with each
// line's UTC time, and live tables of users and rooms with a Kick button; fed by the
// /events stream and /api/users, /api/rooms. Any thread.
#include "server/panel/PanelPage.h"

namespace tessil {

namespace {

constexpr std::string_view kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tessil Svc Sever 1.6.0</title>
<style>
  * { box-sizing: border-box; }
  html, body { margin: 0; height: 100%; }
  body { font: 14px "Segoe UI", "Liberation Sans", Arial, sans-serif; color: #1d2733;
         background: #eef1f5; display: flex; flex-direction: column; min-width: 320px; }
  header { display: flex; flex-wrap: wrap; align-items: center; gap: 8px 16px;
           padding: 10px 16px; background: #1f3a5a; color: #fff; }
  header h1 { font-size: 16px; margin: 0; flex: 1 1 auto; min-width: 0; overflow: hidden;
              text-overflow: ellipsis; white-space: nowrap; }
  .badge { padding: 3px 10px; border-radius: 12px; font-weight: 600; font-size: 12px;
           text-transform: uppercase; letter-spacing: .04em; }
  .badge.running { background: #2e9d5b; } .badge.stopped { background: #b33a3a; }
  #Status { font-size: 12px; opacity: .8; }
  button { font: inherit; padding: 6px 14px; border-radius: 4px; border: 1px solid #9aa7b6;
           background: #fff; cursor: pointer; }
  button:hover:enabled { border-color: #1f6fd1; background: #eaf2fd; }
  button:disabled { color: #8a94a0; background: #e4e7eb; cursor: default; }
  header button { background: #b33a3a; color: #fff; border-color: #8f2c2c; }
  main { flex: 1 1 auto; display: grid; gap: 12px; padding: 12px 16px; min-height: 0;
         grid-template-columns: minmax(0, 1fr) minmax(0, 1fr);
         grid-template-rows: auto minmax(0, 1fr); }
  section { background: #fff; border: 1px solid #ccd3dc; border-radius: 6px; padding: 10px;
            min-width: 0; min-height: 0; display: flex; flex-direction: column; }
  section h2 { font-size: 13px; margin: 0 0 8px; color: #4a5868; text-transform: uppercase;
               letter-spacing: .05em; }
  #Controls { grid-column: 1 / -1; flex-direction: row; flex-wrap: wrap; align-items: center;
              gap: 10px 18px; }
  .buttons { display: flex; flex-wrap: wrap; gap: 8px; }
  .bold { font-weight: 600; }
  label.check { display: inline-flex; align-items: center; gap: 6px; white-space: nowrap; }
  .counters { display: flex; flex-wrap: wrap; gap: 6px 18px; }
  .counter { display: inline-flex; gap: 6px; white-space: nowrap; }
  .counter .value { font-variant-numeric: tabular-nums; min-width: 2ch; }
  #LogSection { min-height: 200px; }
  textarea { flex: 1 1 auto; width: 100%; min-height: 160px; resize: none; white-space: pre;
             overflow: auto; font: 12px/1.45 "DejaVu Sans Mono", Consolas, monospace;
             border: 1px solid #ccd3dc; border-radius: 4px; padding: 6px; background: #fbfcfd; }
  #Tables { gap: 12px; overflow: auto; }
  .table { overflow: auto; max-height: 100%; }
  table { border-collapse: collapse; width: 100%; font-size: 12px; }
  th, td { text-align: left; padding: 3px 6px; border-bottom: 1px solid #e3e7ec;
           white-space: nowrap; }
  th { color: #4a5868; font-weight: 600; position: sticky; top: 0; background: #fff; }
  td button { padding: 1px 8px; font-size: 12px; }
  .empty { color: #8a94a0; font-style: italic; }
  #Cluster { font-size: 12px; }
  body.closed main { opacity: .45; pointer-events: none; }
  @media (max-width: 900px) {
    main { grid-template-columns: minmax(0, 1fr); grid-template-rows: auto minmax(240px, 1fr) auto; }
  }
</style>
</head>
<body>
<header>
  <h1 id="Caption">Tessil Svc Sever 1.6.0</h1>
  <span id="State" class="badge stopped">stopped</span>
  <span id="Status">connecting…</span>
  <button type="button" id="Close" title="Close the server process">Close</button>
</header>
<main>
  <section id="Controls" aria-label="Controls">
    <div class="buttons">
      <button type="button" id="StartBtn" class="bold">START</button>
      <button type="button" id="StopBtn" class="bold">STOP</button>
      <button type="button" id="Button2" class="bold">HALT</button>
      <button type="button" id="Button1">CLS</button>
    </div>
    <label class="check"><input type="checkbox" id="LogDispCheck">View Log</label>
    <div class="counters">
      <span class="counter"><span id="Label2" class="bold">Process :</span><span id="processCnt" class="value">0</span></span>
      <span class="counter"><span id="Label1" class="bold">Connected :</span><span id="ConLabel" class="value">0</span></span>
      <span class="counter"><span id="NetConLabel" class="bold">Net Connected :</span><span id="NetConCnt" class="value">0</span></span>
      <span class="counter"><span id="Label3" class="bold">Room:</span><span id="RoomCnt" class="value">0</span></span>
    </div>
    <span id="Cluster" hidden></span>
  </section>
  <section id="LogSection">
    <h2>Log</h2>
    <textarea id="LogMemo" readonly wrap="off" aria-label="Log"></textarea>
  </section>
  <section id="Tables">
    <div>
      <h2>Users</h2>
      <div class="table"><table id="Users">
        <thead><tr><th>ID</th><th>Game</th><th>Room</th><th>State</th><th>Address</th><th>Since (UTC)</th><th></th></tr></thead>
        <tbody></tbody></table></div>
    </div>
    <div>
      <h2>Rooms</h2>
      <div class="table"><table id="Rooms">
        <thead><tr><th>No.</th><th>Master</th><th>Subject</th><th>Type</th><th>State</th><th>Members</th></tr></thead>
        <tbody></tbody></table></div>
    </div>
  </section>
</main>
<script>
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const memo = $('LogMemo');
  const maxLines = 5000;
  let lines = [];
  let closed = false;

  async function press(path, params) {
    const u = new URL(path, location.href);
    for (const [k, v] of Object.entries(params || {})) u.searchParams.set(k, v);
    try {
      const r = await fetch(u, { method: 'POST', headers: { 'X-Tessil-Panel': '1' } });
      if (r.ok) {
        const body = await r.json();
        if (body.caption) show(body);
      }
      refreshTables();
    } catch (e) { /* the stream reports a lost server */ }
  }
  function show(v) {
    $('Caption').textContent = v.caption;
    $('processCnt').textContent = String(v.process);
    $('ConLabel').textContent = String(v.connected);
    $('NetConCnt').textContent = String(v.netConnected);
    $('RoomCnt').textContent = String(v.room);
    $('Cluster').textContent = v.cluster || '';
    $('Cluster').hidden = !v.cluster;
    $('LogDispCheck').checked = !!v.viewLog;
    $('StopBtn').disabled = !v.stopEnabled;
    const state = $('State');
    state.textContent = v.running ? 'running' : 'stopped';
    state.className = 'badge ' + (v.running ? 'running' : 'stopped');
    if (v.closed && !closed) {
      closed = true;
      document.body.classList.add('closed');
      $('Status').textContent = 'closed';
      $('Close').disabled = true;
      events.close();
    }
  }
  // "13:51:32.123 [#12 127.0.0.1:50312] text": the time (UTC) and the connection, if any.
  function format(text, meta) {
    const t = meta && meta.t ? meta.t.slice(11, 23) + ' ' : '';
    const c = meta && meta.c ? '[' + meta.c + '] ' : '';
    return t + c + text;
  }
  function formatAll(m) { return m.log.map((text, i) => format(text, (m.meta || [])[i])); }
  function setLines(list) {
    lines = list.slice(-maxLines);
    memo.value = lines.join('\n');
    memo.scrollTop = memo.scrollHeight;
  }
  function addLines(list) {
    const atEnd = memo.scrollTop + memo.clientHeight >= memo.scrollHeight - 4;
    lines.push(...list);
    if (lines.length > maxLines) {
      lines = lines.slice(-maxLines);
      memo.value = lines.join('\n');
    } else {
      memo.value += (memo.value.length ? '\n' : '') + list.join('\n');
    }
    if (atEnd) memo.scrollTop = memo.scrollHeight;
  }
  function cell(tr, text) {
    const td = document.createElement('td');
    td.textContent = text;
    tr.appendChild(td);
    return td;
  }
  function fill(id, rows, columns, action) {
    const body = $(id).tBodies[0];
    body.replaceChildren();
    if (!rows.length) {
      const tr = body.insertRow();
      const td = cell(tr, 'none');
      td.colSpan = columns + (action ? 1 : 0);
      td.className = 'empty';
      return;
    }
    for (const row of rows) {
      const tr = body.insertRow();
      for (const text of row.cells) cell(tr, text);
      if (action) action(tr, row);
    }
  }
  const states = ['lobby', 'in room', 'ready', 'playing', 'finished'];
  async function refreshTables() {
    try {
      const [users, rooms] = await Promise.all([
        fetch('/api/users').then((r) => r.json()),
        fetch('/api/rooms').then((r) => r.json()),
      ]);
      // In cluster mode each row names its node.
      const at = (text, node) => (node ? text + ' @' + node : text);
      fill('Users', users.map((u) => ({ id: u.id, cells: [at(u.id, u.node), u.gcode, u.room > 0 ? String(u.room) : '',
        states[u.state] || String(u.state), u.address, u.since.slice(11, 19)] })), 6,
      (tr, row) => {
        const b = document.createElement('button');
        b.type = 'button';
        b.textContent = 'Kick';
        b.className = 'kick';
        b.dataset.id = row.id;
        b.onclick = () => press('/api/kick', { usrid: row.id });
        tr.insertCell().appendChild(b);
      });
      fill('Rooms', rooms.map((r) => ({ cells: [at(String(r.number), r.node), r.master, r.subject,
        r.type === 0 ? 'open' : 'closed', String(r.state), r.members.join(', ')] })), 6);
    } catch (e) { /* retried on the next tick */ }
  }

  $('StartBtn').onclick = () => press('/api/start');
  $('StopBtn').onclick = () => press('/api/stop');
  $('Button2').onclick = () => press('/api/halt');
  $('Button1').onclick = () => press('/api/cls');
  $('LogDispCheck').onchange = (e) => press('/api/viewlog', { on: e.target.checked ? '1' : '0' });
  $('Close').onclick = () => press('/api/close');

  const events = new EventSource('/events');
  events.addEventListener('state', (e) => {
    const s = JSON.parse(e.data);
    show(s.view);
    setLines(formatAll(s));
    if (!closed) $('Status').textContent = 'live';
  });
  events.addEventListener('view', (e) => show(JSON.parse(e.data)));
  events.addEventListener('log', (e) => addLines(formatAll(JSON.parse(e.data))));
  events.addEventListener('cls', () => setLines([]));
  events.onerror = () => { if (!closed) $('Status').textContent = 'connection lost; retrying…'; };
  refreshTables();
  setInterval(() => { if (!closed) refreshTables(); }, 1000);
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view PanelPageHtml() {
    return kPage;
}

}  // namespace tessil
