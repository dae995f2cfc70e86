// Frames of the lobby protocol: a 6-byte header (body length uint32 LE, kind uint16 LE)
// and the body. Shared by the TCP (Node) and WebSocket (browser) transports.

export const FrameKind = {
  Data: 0,
  Handshake: 1,
  ClientList: 2,
  Heartbeat: 3,
  ClientListLast: 4,
} as const;

export const MAX_FRAME_BODY = 134217728;

export interface Frame {
  kind: number;
  body: Uint8Array;
}

export function encodeFrame(kind: number, body: Uint8Array): Uint8Array {
  const out = new Uint8Array(6 + body.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, body.length, true);
  view.setUint16(4, kind, true);
  out.set(body, 6);
  return out;
}

// Cuts a byte stream into frames; bytes may arrive in any pieces.
export class FrameReader {
  private buf = new Uint8Array(0);

  feed(bytes: Uint8Array): Frame[] {
    const joined = new Uint8Array(this.buf.length + bytes.length);
    joined.set(this.buf, 0);
    joined.set(bytes, this.buf.length);
    const frames: Frame[] = [];
    let at = 0;
    while (joined.length - at >= 6) {
      const view = new DataView(joined.buffer, joined.byteOffset + at, 6);
      const len = view.getUint32(0, true);
      if (len > MAX_FRAME_BODY) throw new Error(`frame of ${len} bytes is over the limit`);
      if (joined.length - at - 6 < len) break;
      frames.push({ kind: view.getUint16(4, true), body: joined.slice(at + 6, at + 6 + len) });
      at += 6 + len;
    }
    this.buf = joined.slice(at);
    return frames;
  }
}
