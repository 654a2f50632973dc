// A caller sent to a door server by the npm rlogin client, the way an open-source BBS's door
// server module connects: node rlogin_caller.js PORT CLIENT_USER SERVER_USER TERMINAL_TYPE
// The terminal this runs on is the caller's: its keys go to the server, the server's bytes are shown.
'use strict';
const RLogin = require('rlogin');

const [port, clientUser, serverUser, terminalType] = process.argv.slice(2);
const rlogin = new RLogin({
  clientUsername: clientUser,
  serverUsername: serverUser,
  host: '127.0.0.1',
  port: Number(port),
  terminalType: terminalType,
  terminalSpeed: 38400,
});
rlogin.on('error', (err) => {
  process.stderr.write(`rlogin error: ${err}\n`);
  process.exit(2);
});
rlogin.on('connect', (ok) => {
  if (!ok) {
    process.stderr.write('rlogin: the server refused the handshake\n');
    process.exit(3);
  }
  if (process.stdin.isTTY) process.stdin.setRawMode(true);
  process.stdin.on('data', (keys) => rlogin.send(keys));
});
rlogin.on('data', (data) => process.stdout.write(data));
rlogin.on('disconnect', () => process.stdout.write('\r\n[disconnected]\r\n', () => process.exit(0)));
rlogin.connect();
