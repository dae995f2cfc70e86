// The lobby client for browsers and Node: frames, messages, the client and the WebSocket
// transport. Node's TCP transport is in "tessil-client/node".
export * from './frames.js';
export * from './messages.js';
export * from './client.js';
export * from './websocket.js';
