// The control panel's page (see PanelPage.h): the server window drawn at its own size with
// the same controls and texts, fed by the /events stream. Any thread.
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
  html, body { margin: 0; height: 100%; background: #dfe3e8; }
  body { display: flex; align-items: center; justify-content: center;
         font: 9pt "Segoe UI", "Liberation Sans", Arial, sans-serif; color: #000; }
  .frame { background: #f0f0f0; border: 1px solid #6b7a8f; box-shadow: 0 6px 24px #0004; }
  .title { height: 30px; display: flex; align-items: center; background: #fff;
           border-bottom: 1px solid #d8d8d8; user-select: none; }
  .title .icon { width: 16px; height: 16px; margin: 0 8px; border-radius: 3px;
                 background: linear-gradient(135deg, #2d7dd2, #1b4f8a); }
  .title .caption { flex: 1; white-space: nowrap; overflow: hidden; }
  .title button { width: 46px; height: 30px; border: 0; background: transparent;
                  font: 14px "Segoe UI", "Liberation Sans", Arial, sans-serif; cursor: default; }
  .title button:disabled { color: #999; }
  .title #Close:hover { background: #e81123; color: #fff; }
  .client { position: relative; width: 282px; height: 293px; }
  .client > * { position: absolute; box-sizing: border-box; margin: 0; }
  .client button { font: inherit; padding: 0; background: #e1e1e1; border: 1px solid #adadad; }
  .client button:hover:enabled { background: #e5f1fb; border-color: #0078d7; }
  .client button:active:enabled { background: #cce4f7; }
  .client button:disabled { color: #838383; border-color: #bfbfbf; background: #ccc; }
  .client .bold { font-weight: bold; }
  label.check { display: flex; align-items: center; gap: 4px; }
  label.check input { margin: 0; }
  textarea { font: inherit; resize: none; white-space: pre; overflow-y: scroll;
             overflow-x: auto; border: 1px solid #7a7a7a; background: #fff; padding: 1px 2px; }
  .status { text-align: center; font-size: 8pt; color: #555; padding: 4px 0 6px; }
  body.closed .client { opacity: .45; pointer-events: none; }
</style>
</head>
<body>
<div class="frame" id="Window">
  <div class="title">
    <span class="icon"></span>
    <span class="caption" id="Caption">Tessil Svc Sever 1.6.0</span>
    <button type="button" disabled title="Minimize">&#8211;</button>
    <button type="button" id="Close" title="Close">&#10005;</button>
  </div>
  <div class="client">
    <button type="button" id="StartBtn" class="bold" style="left:8px;top:8px;width:102px;height:25px">START</button>
    <button type="button" id="StopBtn" class="bold" style="left:113px;top:8px;width:103px;height:25px">STOP</button>
    <button type="button" id="Button2" class="bold" style="left:219px;top:8px;width:56px;height:25px">HALT</button>
    <label class="check" style="left:10px;top:39px;width:97px;height:17px"><input type="checkbox" id="LogDispCheck">View Log</label>
    <span id="Label2" class="bold" style="left:132px;top:41px">Process :</span>
    <span id="processCnt" class="bold" style="left:186px;top:41px">0</span>
    <textarea id="LogMemo" readonly wrap="off" style="left:9px;top:60px;width:262px;height:183px" aria-label="Log"></textarea>
    <span id="Label1" class="bold" style="left:13px;top:250px">Connected :</span>
    <span id="ConLabel" class="bold" style="left:111px;top:250px">0</span>
    <button type="button" id="Button1" style="left:234px;top:249px;width:37px;height:19px">CLS</button>
    <span id="NetConLabel" class="bold" style="left:13px;top:269px">Net Connected :</span>
    <span id="NetConCnt" class="bold" style="left:111px;top:269px">0</span>
    <span id="Label3" class="bold" style="left:166px;top:269px">Room:</span>
    <span id="RoomCnt" class="bold" style="left:212px;top:269px">0</span>
  </div>
  <div class="status" id="Status">connecting…</div>
  <div class="status" id="Cluster" hidden></div>
</div>
<script>
'use strict';
(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  const memo = $('LogMemo');
  const maxLines = 5000;
  let lines = [];
  let closed = false;

  function withToken(path, params) {
    const u = new URL(path, location.href);
    for (const [k, v] of Object.entries(params || {})) u.searchParams.set(k, v);
    if (token) u.searchParams.set('token', token);
    return u.toString();
  }
  async function press(path, params) {
    const headers = { 'X-Tessil-Panel': '1' };
    if (token) headers['Authorization'] = 'Bearer ' + token;
    try {
      const r = await fetch(withToken(path, params), { method: 'POST', headers });
      if (r.ok) show(await r.json());
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
    if (v.closed && !closed) {
      closed = true;
      document.body.classList.add('closed');
      $('Status').textContent = 'closed';
      $('Close').disabled = true;
      events.close();
    }
  }
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

  $('StartBtn').onclick = () => press('/api/start');
  $('StopBtn').onclick = () => press('/api/stop');
  $('Button2').onclick = () => press('/api/halt');
  $('Button1').onclick = () => press('/api/cls');
  $('LogDispCheck').onchange = (e) => press('/api/viewlog', { on: e.target.checked ? '1' : '0' });
  $('Close').onclick = () => press('/api/close');

  const events = new EventSource(withToken('/events'));
  events.addEventListener('state', (e) => {
    const s = JSON.parse(e.data);
    show(s.view);
    setLines(s.log);
    if (!closed) $('Status').textContent = 'live';
  });
  events.addEventListener('view', (e) => show(JSON.parse(e.data)));
  events.addEventListener('log', (e) => addLines(JSON.parse(e.data).log));
  events.addEventListener('cls', () => setLines([]));
  events.onerror = () => { if (!closed) $('Status').textContent = 'connection to the server lost; retrying…'; };
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
