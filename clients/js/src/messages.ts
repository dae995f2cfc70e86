// Requests and replies of the lobby protocol: a request body is "TXT" and the Base64 of the
// UTF-8 JSON; a reply body is Base64 (with CR LF breaks) of UTF-8 JSON.

const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder();

export interface Reply {
  cmd: string;
  code: string;
  // A text, or for lists the parsed array (for replies that are not valid JSON: the text).
  data: unknown;
  // The decoded JSON text as the server sent it.
  text: string;
}

export interface Identity {
  id: string;
  user?: string;
  password?: string;
  version?: string;
}

function toBase64(bytes: Uint8Array): string {
  let s = '';
  for (const b of bytes) s += String.fromCharCode(b);
  return btoa(s);
}

function fromBase64(text: string): Uint8Array {
  const s = atob(text.replace(/[^A-Za-z0-9+/=]/g, ''));
  const out = new Uint8Array(s.length);
  for (let i = 0; i < s.length; ++i) out[i] = s.charCodeAt(i);
  return out;
}

export function encodeRequest(request: Record<string, unknown>): Uint8Array {
  return utf8.encode('TXT' + toBase64(utf8.encode(JSON.stringify(request))));
}

export function decodeReply(body: Uint8Array): Reply {
  const text = fromUtf8.decode(fromBase64(fromUtf8.decode(body)));
  try {
    const json = JSON.parse(text) as Record<string, unknown>;
    // The logout notice spells its keys in capitals.
    const cmd = String(json.cmd ?? json.CMD ?? '');
    const code = String(json.code ?? json.CODE ?? '');
    return { cmd, code, data: 'data' in json ? json.data : json.DATA, text };
  } catch {
    const cmd = /"cmd":"([^"]*)"/.exec(text)?.[1] ?? '';
    const code = /"code":"([^"]*)"/.exec(text)?.[1] ?? '';
    return { cmd, code, data: text, text };
  }
}

export function encodeIdentity(who: Identity): Uint8Array {
  const parts = [who.id, who.user ?? '', who.password ?? '', who.version ?? '1.0'];
  return utf8.encode(parts.map((p) => p + '\0').join(''));
}

export function verdictText(body: Uint8Array): string {
  return fromUtf8.decode(body);
}
