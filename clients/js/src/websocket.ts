// The WebSocket transport: binary messages to and from tessil-gateway, one frame per
// message. Works in browsers and in Node versions with a global WebSocket.
import { LobbyClient, Transport } from './client.js';

export function connectWebSocket(url: string): Promise<LobbyClient> {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url);
    ws.binaryType = 'arraybuffer';
    const transport: Transport = {
      send: (bytes) => ws.send(bytes),
      close: () => ws.close(),
      onData: () => {},
      onClose: () => {},
    };
    let open = false;
    ws.onopen = () => {
      open = true;
      resolve(new LobbyClient(transport));
    };
    ws.onerror = () => {
      if (!open) reject(new Error(`cannot connect to ${url}`));
    };
    ws.onmessage = (e) => transport.onData(new Uint8Array(e.data as ArrayBuffer));
    ws.onclose = (e) => {
      if (!open) reject(new Error(`cannot connect to ${url}`));
      transport.onClose(`closed (${e.code})`);
    };
  });
}
