// The TCP transport for Node: one socket to the lobby server.
import * as net from 'node:net';
import { LobbyClient, Transport } from './client.js';

export function connectTcp(host: string, port: number): Promise<LobbyClient> {
  return new Promise((resolve, reject) => {
    const socket = net.createConnection({ host, port });
    socket.setNoDelay(true);
    const transport: Transport = {
      send: (bytes) => socket.write(bytes),
      close: () => socket.end(),
      onData: () => {},
      onClose: () => {},
    };
    socket.once('connect', () => resolve(new LobbyClient(transport)));
    socket.once('error', (e: Error) => reject(e));
    socket.on('data', (d: Uint8Array) => transport.onData(d));
    socket.on('close', () => transport.onClose('closed'));
  });
}

export * from './index.js';
