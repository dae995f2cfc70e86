// The lobby client over any byte transport: handshake, login, requests that resolve with
// their reply, and every reply and event delivered to listeners. The same commands as the
// C++ library; the TCP transport is in node.ts, the WebSocket one in websocket.ts.
import { encodeFrame, Frame, FrameKind, FrameReader } from './frames.js';
import { decodeReply, encodeIdentity, encodeRequest, Identity, Reply, verdictText } from './messages.js';

// What carries the bytes: a TCP socket, or a WebSocket to tessil-gateway.
export interface Transport {
  send(bytes: Uint8Array): void;
  close(): void;
  onData: (bytes: Uint8Array) => void;
  onClose: (why: string) => void;
}

export class LobbyError extends Error {
  constructor(message: string, readonly reply?: Reply) {
    super(message);
  }
}

type Waiter = { want: Set<string>; resolve: (r: Reply) => void; reject: (e: Error) => void; timer: ReturnType<typeof setTimeout> };

// The cmds that answer a request: its own word, plus the word some commands answer with.
function answers(cmd: string): Set<string> {
  const word = cmd.trim().toUpperCase();
  if (word === 'LOGOUT' || word === 'LOGOUTREQ') return new Set(['LOGIN', 'LOGOUT']);
  if (word === 'REQRESET') return new Set(['REQRESET', 'RESETGAME']);
  return new Set([word]);
}

export class LobbyClient {
  private reader = new FrameReader();
  private waiters: Waiter[] = [];
  private listeners: Array<(r: Reply) => void> = [];
  private frameWaiters: Array<{ kind: number; resolve: (f: Frame) => void }> = [];
  private closedWhy: string | null = null;
  private closeListeners: Array<(why: string) => void> = [];
  timeoutMs = 5000;

  constructor(private readonly transport: Transport) {
    transport.onData = (bytes) => this.receive(bytes);
    transport.onClose = (why) => this.closed(why);
  }

  // Every reply and event, in arrival order.
  onMessage(listener: (r: Reply) => void): void {
    this.listeners.push(listener);
  }
  onClose(listener: (why: string) => void): void {
    this.closeListeners.push(listener);
  }
  get isClosed(): boolean {
    return this.closedWhy !== null;
  }

  // Sends the identity; resolves once the verdict and AUTHOK have both come (either order).
  async handshake(who: Identity = { id: 'tessil-js' }): Promise<void> {
    const verdict = this.nextFrame(FrameKind.Handshake);
    const authOk = this.waitFor('AUTHOK');
    this.transport.send(encodeFrame(FrameKind.Handshake, encodeIdentity(who)));
    const text = verdictText((await verdict).body);
    if (!text.startsWith('T')) throw new LobbyError(`handshake refused: ${text}`);
    await authOk;
  }

  // Sends a request without waiting.
  send(cmd: string, fields: Record<string, unknown> = {}): void {
    if (this.closedWhy !== null) throw new LobbyError(`connection closed: ${this.closedWhy}`);
    this.transport.send(encodeFrame(FrameKind.Data, encodeRequest({ cmd, ...fields })));
  }

  // Sends a request and resolves with its reply (any code); rejects on time-out or close.
  request(cmd: string, fields: Record<string, unknown> = {}): Promise<Reply> {
    const reply = this.waitFor(...answers(cmd));
    this.send(cmd, fields);
    return reply;
  }

  // Resolves with the next reply or event whose cmd is one of these.
  waitFor(...cmds: string[]): Promise<Reply> {
    return new Promise((resolve, reject) => {
      if (this.closedWhy !== null) return reject(new LobbyError(`connection closed: ${this.closedWhy}`));
      const w: Waiter = {
        want: new Set(cmds.map((c) => c.toUpperCase())),
        resolve,
        reject,
        timer: setTimeout(() => {
          this.waiters = this.waiters.filter((x) => x !== w);
          reject(new LobbyError(`no ${cmds.join(' or ')} within ${this.timeoutMs} ms`));
        }, this.timeoutMs),
      };
      this.waiters.push(w);
    });
  }

  heartbeat(): Promise<void> {
    const echo = this.nextFrame(FrameKind.Heartbeat);
    this.transport.send(encodeFrame(FrameKind.Heartbeat, new Uint8Array(0)));
    return echo.then(() => undefined);
  }

  close(): void {
    this.transport.close();
  }

  // The commands, with their fields (docs/protocol.md). Each resolves with the reply.
  async login(usrid: string, pass: string, gcode: string): Promise<Reply> {
    return this.expectOk(await this.request('LOGIN', { usrid, pass, gcode }));
  }
  logout(usrid: string, pass = ''): Promise<Reply> {
    return this.request('LOGOUT', { usrid, pass });
  }
  async userList(): Promise<Array<Record<string, unknown>>> {
    return (await this.expectOk(await this.request('USRLIST'))).data as Array<Record<string, unknown>>;
  }
  async findUser(usrid: string): Promise<Array<Record<string, unknown>>> {
    return (await this.expectOk(await this.request('FINDUSER', { usrid }))).data as Array<Record<string, unknown>>;
  }
  async roomList(roomNo = -1): Promise<Array<Record<string, unknown>>> {
    return (await this.expectOk(await this.request('ROOMLIST', { roomNo }))).data as Array<Record<string, unknown>>;
  }
  // Resolves with the new room's number.
  async makeRoom(subject: string, opts: { pass?: string; roomtype?: 'OPEN' | 'CLOSE'; roomterm?: string; gamecode?: string } = {}): Promise<number> {
    const r = await this.request('MAKEROOM', {
      pass: opts.pass ?? '', subject, roomtype: opts.roomtype ?? 'OPEN', roomterm: opts.roomterm ?? 'CONT', gamecode: opts.gamecode ?? 'G1',
    });
    return Number(this.expectOk(r).data);
  }
  async enterRoom(roomNo: number, pass = '', gamecode = 'G1'): Promise<Reply> {
    return this.expectOk(await this.request('ENTERROOM', { roomNo, pass, gamecode }));
  }
  async exitRoom(roomNo = 0, pass = '', gamecode = ''): Promise<Reply> {
    return this.expectOk(await this.request('EXITROOM', { roomNo, pass, gamecode }));
  }
  // Chat to the room; the event the others get carries the text with its blanks removed
  // and without the sender's ID.
  async say(roomNo: number, mesg: string): Promise<Reply> {
    return this.expectOk(await this.request('USRMSGALL', { roomNo, mesg }));
  }
  async tell(usrid: string, mesg: string): Promise<Reply> {
    return this.expectOk(await this.request('USRMSG', { usrid, mesg }));
  }
  // The master's requests and the members' reports have no reply of their own on success:
  // they resolve with the broadcast the sender receives too.
  askReady(roomNo: number): Promise<Reply> {
    return this.request('REQRDY', { roomNo, pass: '', gamecode: '' });
  }
  askStart(roomNo: number): Promise<Reply> {
    return this.request('REQSTART', { roomNo, pass: '', gamecode: '' });
  }
  askStop(roomNo: number): Promise<Reply> {
    return this.request('REQSTOP', { roomNo, pass: '', gamecode: '' });
  }
  report(word: 'READYOK' | 'STARTOK' | 'STOPOK' | 'ENDOK'): Promise<Reply> {
    return this.request(word);
  }
  reset(): Promise<Reply> {
    return this.request('REQRESET');
  }

  private expectOk(r: Reply): Reply {
    if (r.code !== 'E000') throw new LobbyError(`${r.cmd} refused: ${r.code} ${String(r.data)}`, r);
    return r;
  }

  private nextFrame(kind: number): Promise<Frame> {
    return new Promise((resolve, reject) => {
      if (this.closedWhy !== null) return reject(new LobbyError(`connection closed: ${this.closedWhy}`));
      this.frameWaiters.push({ kind, resolve });
    });
  }

  private receive(bytes: Uint8Array): void {
    let frames: Frame[];
    try {
      frames = this.reader.feed(bytes);
    } catch (e) {
      this.transport.close();
      return;
    }
    for (const f of frames) {
      if (f.kind !== FrameKind.Data) {
        const i = this.frameWaiters.findIndex((w) => w.kind === f.kind);
        if (i >= 0) this.frameWaiters.splice(i, 1)[0].resolve(f);
        continue;
      }
      const reply = decodeReply(f.body);
      for (const l of this.listeners) l(reply);
      const i = this.waiters.findIndex((w) => w.want.has(reply.cmd.trim().toUpperCase()));
      if (i >= 0) {
        const w = this.waiters.splice(i, 1)[0];
        clearTimeout(w.timer);
        w.resolve(reply);
      }
    }
  }

  private closed(why: string): void {
    if (this.closedWhy !== null) return;
    this.closedWhy = why;
    for (const w of this.waiters) {
      clearTimeout(w.timer);
      w.reject(new LobbyError(`connection closed: ${why}`));
    }
    this.waiters = [];
    for (const l of this.closeListeners) l(why);
  }
}
