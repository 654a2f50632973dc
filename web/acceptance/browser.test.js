// The web front door in a real browser: zelkit-launch serves the page and runs tunecraft for the
// WebSocket caller; Debian's chromium, headless, driven by puppeteer-core, reads the terminal, checks
// the notes the page laid out against the ones the door logged, presses keys and sees the call end.
//
//   ZELKIT_LAUNCH=.../zelkit-launch ZELKIT_TUNECRAFT=.../tunecraft [ZELKIT_SCREENSHOT=out.png] \
//     node --test acceptance/
// Skips only when there is no chromium to run (CHROMIUM, default /usr/bin/chromium). The call behind
// nginx doing TLS needs Debian's nginx (nginx-light) and openssl, which the set-up script installs.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { createConnection, createServer } from 'node:net';
import { existsSync, mkdtempSync, readFileSync, rmSync, mkdirSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';

import puppeteer from 'puppeteer-core';

const kChromium = process.env.CHROMIUM || '/usr/bin/chromium';
const kWaitMs = 20000;  // a guard against hangs only; every wait ends as soon as its condition holds
const kFrequencies = { C: 261.63, D: 293.66, E: 329.63 };

// zelkit-launch with a door in a fresh directory (AEnv added to the door's environment); resolves
// with the web page's port.
function StartLauncher(ADir, ADoor, AEnv = {}, AArgs = []) {
  const Launcher = spawn(process.env.ZELKIT_LAUNCH,
    ['--door', ADoor, '--port', '0', '--web', '0', '--max-calls', '1', ...AArgs],
    { cwd: ADir, stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...AEnv } });
  let Err = '';
  Launcher.stderr.on('data', (D) => { Err += D; });
  Launcher.LogText = () => Err;
  const Port = new Promise((Resolve, Reject) => {
    let Out = '';
    Launcher.stdout.on('data', (D) => {
      Out += D;
      const Match = /web page on http:\/\/127\.0\.0\.1:(\d+)\//.exec(Out);
      if (Match) Resolve(Number(Match[1]));
    });
    Launcher.on('exit', (Code) => Reject(new Error(`zelkit-launch ended (${Code}) before serving: ${Out}${Err}`)));
  });
  return { Launcher, Port };
}

function Exited(AChild) {
  return new Promise((Resolve) => {
    if (AChild.exitCode !== null || AChild.signalCode !== null) Resolve(AChild.exitCode);
    else AChild.on('exit', (Code) => Resolve(Code));
  });
}

// Debian's chromium, headless, with a fresh profile and nothing that reaches out to the network.
function LaunchBrowser(ADir, AArgs = []) {
  return puppeteer.launch({
    executablePath: kChromium,
    headless: true,
    userDataDir: join(ADir, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required', ...AArgs],
  });
}

// One call through the page: zelkit-launch with the door named by the environment variable
// ADoorVariable in a fresh directory, and a fresh browser; ABody gets both and the directory, and
// whatever it leaves running is ended afterwards. Skips when there is no chromium to run.
async function BrowserCall(T, ADoorVariable, ABody, AEnv = () => ({})) {
  if (!existsSync(kChromium)) {
    T.skip(`no browser at ${kChromium}`);
    return;
  }
  assert.ok(process.env.ZELKIT_LAUNCH && process.env[ADoorVariable], `ZELKIT_LAUNCH and ${ADoorVariable}`);
  const Dir = mkdtempSync(join(tmpdir(), 'zelkit-web-'));
  const { Launcher, Port } = StartLauncher(Dir, process.env[ADoorVariable], AEnv(Dir));
  let Browser = null;
  try {
    const Url = `http://127.0.0.1:${await Port}/`;
    Browser = await LaunchBrowser(Dir);
    await ABody({ Dir, Launcher, Url, Browser });
  } finally {
    if (Browser) await Browser.close();
    if (Launcher.exitCode === null && Launcher.signalCode === null) {
      Launcher.kill('SIGTERM');
      await Exited(Launcher);
    }
    rmSync(Dir, { recursive: true, force: true });
  }
}

test('a browser caller plays tunecraft and hears its notes', { timeout: 120000 }, (T) =>
  BrowserCall(T, 'ZELKIT_TUNECRAFT', async ({ Dir, Launcher, Url, Browser }) => {
    const Page = await Browser.newPage();
    await Page.setViewport({ width: 816, height: 550 });
    const Problems = [];
    Page.on('pageerror', (E) => Problems.push(String(E)));
    await Page.goto(Url, { waitUntil: 'load', timeout: kWaitMs });
    const Screen = () => Page.evaluate(() => window.zelkitPage.ScreenText());
    const Notes = () => Page.evaluate(() => window.zelkitPage.Scheduled);
    const WaitFor = (AFunction, AArg) => Page.waitForFunction(AFunction, { timeout: kWaitMs, polling: 50 }, AArg);

    // "Playing four notes", then four D4 sixteenth notes at T120: 0.125 s apart, 7/8 of that sounding.
    await WaitFor(() => window.zelkitPage.ScreenText().includes('Press any key to play some random notes'));
    assert.match(await Screen(), /^Playing four notes\s*$/m);
    const First = await Notes();
    assert.equal(First.length, 4, JSON.stringify(First));
    for (const [I, Note] of First.entries()) {
      assert.ok(Math.abs(Note.Frequency - 293.66) < 0.01, `note ${I}: ${Note.Frequency} Hz`);
      assert.ok(Math.abs(Note.Length - 0.125) < 1e-9 && Math.abs(Note.Duration - 0.109375) < 1e-9, JSON.stringify(Note));
      if (I > 0) assert.ok(Math.abs(Note.Start - First[I - 1].Start - 0.125) < 1e-6, `note ${I} starts ${Note.Start}`);
      assert.equal(Note.Music, 'T120O4D16');
    }

    // A key: ten notes from C4, D4 and E4, in the order of the door's own log.
    await Page.keyboard.press('x');
    await WaitFor(() => window.zelkitPage.ScreenText().includes('Your music has been played, press any key.'));
    await WaitFor(() => window.zelkitPage.Scheduled.length >= 14);
    const Logged = readFileSync(join(Dir, 'tunecraft.log'), 'latin1').split('\n').filter((L) => L);
    assert.equal(Logged.length, 14);
    const Random = (await Notes()).slice(4);
    assert.equal(Random.length, 10);
    for (const [I, Note] of Random.entries()) {
      const Want = /^\x1b\[NT120O4([CDE])16\x0e$/.exec(Logged[4 + I]);
      assert.ok(Want, `log line ${5 + I}: ${JSON.stringify(Logged[4 + I])}`);
      assert.ok(Math.abs(Note.Frequency - kFrequencies[Want[1]]) < 0.01, `random note ${I}: ${Note.Frequency} Hz, logged ${Want[1]}`);
      assert.ok(Math.abs(Note.Length - 0.125) < 1e-9, JSON.stringify(Note));
    }

    // Another key: the door ends and the page says so.
    await Page.keyboard.press('x');
    await WaitFor(() => window.zelkitPage.Ended);
    await WaitFor(() => window.zelkitPage.ScreenText().includes('The call has ended.'));
    assert.equal(await Page.$eval('#status', (E) => E.textContent), 'The call has ended.');
    assert.equal(await Page.$eval('#music', (E) => E.textContent), '\u266b 14 notes played, the last tune ' + /\[N(.*)\x0e/.exec(Logged[13])[1]);
    assert.deepEqual(Problems, []);
    if (process.env.ZELKIT_SCREENSHOT) {
      mkdirSync(dirname(process.env.ZELKIT_SCREENSHOT), { recursive: true });
      await Page.screenshot({ path: process.env.ZELKIT_SCREENSHOT });
    }
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
    assert.match(Launcher.LogText(), /node 1: door ended with exit code 0/);
  }));

// The launcher's test door echoes every byte it gets: what the page sends for keys comes back and
// shows what the page makes of the door's bytes, CP437 glyphs and PC colours included.
test('keys, glyphs and colours as a PC BBS terminal has them', { timeout: 120000 }, (T) =>
  BrowserCall(T, 'ZELKIT_TEST_DOOR', async ({ Launcher, Url, Browser }) => {
    const Page = await Browser.newPage();
    await Page.goto(Url, { waitUntil: 'load', timeout: kWaitMs });
    const WaitFor = (AFunction, AArg) => Page.waitForFunction(AFunction, { timeout: kWaitMs, polling: 50 }, AArg);
    const Cursor = () => Page.evaluate(() => window.zelkitPage.Cursor());
    const Row = (AY) => Page.evaluate((Y) => window.zelkitPage.ScreenText().split('\n')[Y], AY);
    await WaitFor(() => window.zelkitPage.ScreenText().includes('hello Guest 1 on node 1'));
    assert.deepEqual(await Page.evaluate(() => [window.zelkitPage.Cursor(), document.querySelector('.xterm-rows').children.length]),
      [{ X: 0, Y: 1 }, 25]);

    // Typed characters go out as CP437 bytes and come back as the same glyphs.
    await Page.keyboard.type('Hé╔═╗');
    await WaitFor(() => window.zelkitPage.ScreenText().split('\n')[1] === 'Hé╔═╗');
    // Cursor keys as ESC [ A-D, Backspace as BS, Home as ESC [ H: the echo moves the cursor.
    await Page.keyboard.press('ArrowUp');
    await WaitFor(() => window.zelkitPage.Cursor().Y === 0);
    assert.deepEqual(await Cursor(), { X: 5, Y: 0 });
    // The echo of each key comes back in order; a mark typed last shows where the cursor ended up.
    for (const Key of ['ArrowDown', 'ArrowLeft', 'ArrowLeft', 'ArrowRight', 'Backspace']) await Page.keyboard.press(Key);
    await Page.keyboard.type('*');
    await WaitFor(() => window.zelkitPage.ScreenText().split('\n')[1] === 'Hé╔*╗');
    assert.deepEqual(await Cursor(), { X: 4, Y: 1 });
    await Page.keyboard.press('Home');
    await WaitFor(() => window.zelkitPage.Cursor().X === 0 && window.zelkitPage.Cursor().Y === 0);

    // ESC [ 1 ; 3 1 m, bold red, shows as the PC's bright red; ESC [ 4 4 m as its blue background.
    await Page.keyboard.press('ArrowDown');
    await Page.keyboard.press('ArrowDown');
    await Page.keyboard.press('Escape');
    await Page.keyboard.type('[1;31;44mZ');
    await WaitFor(() => window.zelkitPage.ScreenText().split('\n')[2].startsWith('Z'));
    // The terminal draws on the next animation frame: wait for the glyph, then read its colours.
    const Colours = await (await WaitFor(() => {
      const Span = [...document.querySelectorAll('.xterm-rows span')].find((E) => E.textContent === 'Z');
      const Style = Span && getComputedStyle(Span);
      return Style ? [Style.color, Style.backgroundColor] : null;
    })).jsonValue();
    assert.deepEqual(Colours, ['rgb(255, 85, 85)', 'rgb(0, 0, 170)']);
    assert.equal(await Row(1), 'Hé╔*╗');

    await Page.keyboard.press('q');
    await WaitFor(() => window.zelkitPage.Ended);
    await WaitFor(() => /bye\s+The call has ended\./.test(window.zelkitPage.ScreenText()));
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
  }));

// The launcher's resident memory in kB, from /proc.
function RssKb(APid) {
  const Match = /VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${APid}/status`, 'latin1'));
  return Match ? Number(Match[1]) : -1;
}

// ZELKIT_FLOOD_MB sets the flood (default 20; 100 for the full measurement, see docs/testing.md).
const kFloodMb = Number(process.env.ZELKIT_FLOOD_MB || 20);
const kHeapBoundMb = 48;     // the tab's JS heap while the door floods
const kServerGrowthMb = 32;  // the launcher's growth while it relays the flood

test('a long paste reaches the door whole and a flooding door keeps the tab and the launcher small',
  { timeout: 170000 }, (T) =>
  BrowserCall(T, 'ZELKIT_TEST_DOOR', async ({ Launcher, Url, Browser }) => {
    const Page = await Browser.newPage();
    const Cdp = await Page.createCDPSession();
    await Cdp.send('Network.enable');
    const Sent = [];
    let Echo = '';
    Cdp.on('Network.webSocketFrameSent', (E) => { if (E.response.opcode === 2) Sent.push(Buffer.from(E.response.payloadData, 'base64')); });
    Cdp.on('Network.webSocketFrameReceived', (E) => {
      if (E.response.opcode === 2) Echo += Buffer.from(E.response.payloadData, 'base64').toString('latin1');
    });
    await Page.goto(Url, { waitUntil: 'load', timeout: kWaitMs });
    const WaitFor = (AFunction, AArg) => Page.waitForFunction(AFunction, { timeout: kWaitMs, polling: 50 }, AArg);
    await WaitFor(() => window.zelkitPage.ScreenText().includes('hello Guest 1 on node 1'));

    // 20,000 characters pasted at once (none of them a command of the test door, which echoes
    // everything else): they go out in messages the launcher takes, and come back whole, in order.
    let Paste = '';
    for (let N = 0; Paste.length < 20000; ++N) Paste += `<${N}>`;
    Paste = Paste.slice(0, 20000);
    Echo = '';
    await Page.evaluate((AText) => {
      const Data = new DataTransfer();
      Data.setData('text/plain', AText);
      document.querySelector('.xterm-helper-textarea').dispatchEvent(new ClipboardEvent('paste', { clipboardData: Data, bubbles: true }));
    }, Paste);
    await WaitFor((ALength) => window.zelkitPage.Received >= ALength, 25 + Paste.length);
    await new Promise((Resolve) => setTimeout(Resolve, 200));  // the CDP events of the last frames
    assert.equal(Echo.length, Paste.length);
    assert.ok(Echo === Paste, 'the echo differs from the paste');
    assert.equal(Buffer.concat(Sent).toString('latin1'), Paste);
    assert.ok(Sent.length >= 5 && Math.max(...Sent.map((B) => B.length)) <= 4096, `messages of ${Sent.map((B) => B.length)}`);
    assert.equal(await Page.evaluate(() => window.zelkitPage.Ended), false);
    await Cdp.send('Network.disable');

    // The door writes kFloodMb MB as fast as it can; the page acknowledges what it has drawn and
    // the launcher reads the door no faster than that.
    const Before = await Page.evaluate(() => window.zelkitPage.Received);
    const ServerBefore = RssKb(Launcher.pid);
    await Page.evaluate((ACount) => {
      const Data = new DataTransfer();
      Data.setData('text/plain', 'M'.repeat(ACount));
      document.querySelector('.xterm-helper-textarea').dispatchEvent(new ClipboardEvent('paste', { clipboardData: Data, bubbles: true }));
    }, kFloodMb);
    const Want = Before + kFloodMb * 1000000;
    const Started = Date.now();
    let Heap = 0;
    let Server = ServerBefore;
    while (await Page.evaluate(() => window.zelkitPage.Received) < Want) {
      assert.ok(Date.now() - Started < 150000, `${await Page.evaluate(() => window.zelkitPage.Received) - Before} bytes after 150 s`);
      const { usedSize } = await Cdp.send('Runtime.getHeapUsage');
      Heap = Math.max(Heap, usedSize);
      Server = Math.max(Server, RssKb(Launcher.pid));
      await new Promise((Resolve) => setTimeout(Resolve, 200));
    }
    const Seconds = (Date.now() - Started) / 1000;
    T.diagnostic(`${kFloodMb} MB in ${Seconds.toFixed(1)} s; tab JS heap at most ${(Heap / 1e6).toFixed(1)} MB; ` +
      `launcher ${ServerBefore} kB before, at most ${Server} kB`);
    assert.ok(Heap < kHeapBoundMb * 1e6, `tab JS heap ${Heap} bytes`);
    assert.ok(Server - ServerBefore < kServerGrowthMb * 1024, `launcher grew from ${ServerBefore} to ${Server} kB`);
    await WaitFor(() => /^12499\*{12}\.$/m.test(window.zelkitPage.ScreenText()));

    // The door reads keys again.
    await Page.keyboard.type('<done>');
    await WaitFor(() => window.zelkitPage.ScreenText().includes('<done>'));
    await Page.keyboard.press('q');
    await WaitFor(() => window.zelkitPage.Ended);
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
  }));

// A kit door draws the cases where a PC and a VT100 part ways at column 80; the page must show
// what the sysop's console (console.ans, read in a terminal of its own) shows, cell for cell.
const kColumn80 = [
  'startup', 'clrscr',
  `write ${'A'.repeat(80)}\\r\\nnext`,  // 80 characters then CR LF: a blank row between
  'gotoxy 1 5', `write ${'B'.repeat(80)}\\e[AX`,  // then up a row: X at column 1
  'gotoxy 1 9', `write ${'C'.repeat(80)}\\bY`,
  'gotoxy 1 13', `write ${'D'.repeat(80)}\\e[1;31mE\\e[0m`,
  'gotoxy 1 16', `write ${'F'.repeat(79)}\\r\\nG`,  // 79 do not wrap
  'gotoxy 1 19', `write ${'H'.repeat(160)}\\r\\nI`,
  'gotoxy 1 23', 'write steady \\e[5;33mblinks\\e[0m steady',
  'readkey', 'exit 0',
].join('\n') + '\n';

test('the page wraps at column 80 as the PC and the sysop\'s console do', { timeout: 120000 }, (T) =>
  BrowserCall(T, 'ZELKIT_KIT_DOOR', async ({ Dir, Launcher, Url, Browser }) => {
    const Page = await Browser.newPage();
    await Page.goto(Url, { waitUntil: 'load', timeout: kWaitMs });
    const WaitFor = (AFunction, AArg) => Page.waitForFunction(AFunction, { timeout: kWaitMs, polling: 50 }, AArg);
    assert.equal(await Page.evaluate(() => window.zelkitPage.WrapsAsAPc), true);
    await WaitFor(() => /^I/m.test(window.zelkitPage.ScreenText()));
    const Caller = await Page.evaluate(() => ({ Screen: window.zelkitPage.ScreenText(), Cursor: window.zelkitPage.Cursor() }));
    // The console is brought up to date before the door waits for the key.
    const ConsolePath = join(Dir, 'nodes', 'node1', 'console.ans');
    let Console = null;
    for (const Until = Date.now() + kWaitMs; Date.now() < Until;) {
      const Bytes = existsSync(ConsolePath) ? readFileSync(ConsolePath, 'utf8') : '';
      Console = await Page.evaluate((AText) => new Promise((Resolve) => {
        const Place = document.createElement('div');
        document.body.appendChild(Place);
        const Sysop = new Terminal({ cols: 80, rows: 25, scrollback: 0 });
        Sysop.open(Place);
        Sysop.write(AText, () => {
          const Rows = [];
          for (let Y = 0; Y < 25; ++Y) Rows.push(Sysop.buffer.active.getLine(Y).translateToString(true));
          Resolve({ Screen: Rows.join('\n'), Cursor: { X: Sysop.buffer.active.cursorX, Y: Sysop.buffer.active.cursorY } });
          Sysop.dispose();
          Place.remove();
        });
      }), Bytes);
      if (/^I/m.test(Console.Screen)) break;
      await new Promise((Resolve) => setTimeout(Resolve, 100));
    }
    // Row 25 of the console is the sysop's status bar.
    const Rows = (AScreen) => AScreen.split('\n').slice(0, 24).join('\n');
    assert.equal(Rows(Caller.Screen), Rows(Console.Screen), `page:\n${Caller.Screen}\nconsole:\n${Console.Screen}`);
    assert.deepEqual(Caller.Cursor, Console.Cursor);
    // Blinking text blinks: its span, and only it, has the page's blink animation.
    const Blinking = await (await WaitFor(() => {
      const Spans = [...document.querySelectorAll('.xterm-rows span')].filter((E) => getComputedStyle(E).animationName === 'zelkit-blink');
      return Spans.length ? Spans.map((E) => E.textContent) : null;
    })).jsonValue();
    assert.deepEqual(Blinking, ['blinks']);
    await Page.keyboard.press('x');
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
  }, (ADir) => {
    writeFileSync(join(ADir, 'column80.script'), kColumn80);
    return { DOORTEST_SCRIPT: join(ADir, 'column80.script'), DOORTEST_RESULT: join(ADir, 'column80.result') };
  }));

// A kit door reports each key it reads: every key a caller presses on the page arrives as the PC
// key (extended keys as their scan codes), and none leaves a stray character behind.
const kKeyNames = ['Backspace', 'Delete', 'Home', 'End', 'Insert', 'PageUp', 'PageDown',
  'F1', 'F2', 'F3', 'F4', 'F5', 'F6', 'F7', 'F8', 'F9', 'F10', 'ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight', 'z'];
const Extended = (...AScans) => AScans.map((S) => `key ${S} ch=${S} ext=1 loc=2`);
const kKeysRead = ['key 8 ch=8 ext=0 loc=2', ...Extended(83, 71, 79, 82, 73, 81, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68,
  72, 80, 75, 77), 'key 122 ch=122 ext=0 loc=2'];

test('keys arrive as a kit door reads them', { timeout: 120000 }, (T) =>
  BrowserCall(T, 'ZELKIT_KIT_DOOR', async ({ Dir, Launcher, Url, Browser }) => {
    const Page = await Browser.newPage();
    await Page.goto(Url, { waitUntil: 'load', timeout: kWaitMs });
    await Page.waitForFunction(() => window.zelkitPage.ScreenText().includes('keys, please'), { timeout: kWaitMs, polling: 50 });
    for (const Key of kKeyNames) await Page.keyboard.press(Key);
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
    const Read = readFileSync(join(Dir, 'keys.result'), 'latin1').split('\n').filter((L) => L.startsWith('key '))
      .map((L) => L.replace(/ time=.*/, ''));
    assert.deepEqual(Read, kKeysRead);
  }, (ADir) => {
    writeFileSync(join(ADir, 'keys.script'), `startup\nwrite keys, please\nreadkey ${kKeysRead.length}\nexit 0\n`);
    return { DOORTEST_SCRIPT: join(ADir, 'keys.script'), DOORTEST_RESULT: join(ADir, 'keys.result') };
  }));

const kNginx = '/usr/sbin/nginx';

function FreePort() {
  return new Promise((Resolve) => {
    const Server = createServer();
    Server.listen(0, '127.0.0.1', () => {
      const { port } = Server.address();
      Server.close(() => Resolve(port));
    });
  });
}

// nginx, in the foreground as one process with the test's own configuration: https on APort with
// the test's certificate, proxying the page and its WebSocket (wss) to the launcher's web port.
// It calls the launcher from 127.0.0.9, the address the launcher trusts as its proxy.
async function StartNginx(ADir, APort, AWebPort) {
  mkdirSync(join(ADir, 'nginx', 'tmp'), { recursive: true });
  const Conf = join(ADir, 'nginx', 'nginx.conf');
  const Tmp = join(ADir, 'nginx', 'tmp');
  writeFileSync(Conf, `daemon off;
master_process off;
pid ${join(ADir, 'nginx', 'nginx.pid')};
error_log ${join(ADir, 'nginx', 'error.log')} info;
events { worker_connections 64; }
http {
  access_log ${join(ADir, 'nginx', 'access.log')};
  client_body_temp_path ${Tmp}; proxy_temp_path ${Tmp}; fastcgi_temp_path ${Tmp}; uwsgi_temp_path ${Tmp}; scgi_temp_path ${Tmp};
  map $http_upgrade $connection_upgrade { default upgrade; '' close; }
  server {
    listen 127.0.0.1:${APort} ssl;
    ssl_certificate ${join(ADir, 'cert.pem')};
    ssl_certificate_key ${join(ADir, 'key.pem')};
    location / {
      proxy_pass http://127.0.0.1:${AWebPort};
      proxy_bind 127.0.0.9;
      proxy_http_version 1.1;
      proxy_set_header Upgrade $http_upgrade;
      proxy_set_header Connection $connection_upgrade;
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_set_header X-Forwarded-Proto $scheme;
      proxy_read_timeout 1h;
    }
  }
}
`);
  const Nginx = spawn(kNginx, ['-p', join(ADir, 'nginx'), '-e', join(ADir, 'nginx', 'error.log'), '-c', Conf],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  let Err = '';
  Nginx.stderr.on('data', (D) => { Err += D; });
  // Listening once a connection is taken (a TCP connect, no request: nothing reaches the launcher).
  for (const Until = Date.now() + kWaitMs; ;) {
    const Up = await new Promise((Resolve) => {
      const Probe = createConnection({ host: '127.0.0.1', port: APort }, () => { Probe.destroy(); Resolve(true); });
      Probe.on('error', () => Resolve(false));
    });
    if (Up) return Nginx;
    assert.ok(Nginx.exitCode === null && Date.now() < Until, `nginx did not start: ${Err}${ReadOr(join(ADir, 'nginx', 'error.log'))}`);
    await new Promise((Resolve) => setTimeout(Resolve, 50));
  }
}

function ReadOr(APath) {
  return existsSync(APath) ? readFileSync(APath, 'latin1') : '';
}

// A board that serves the page over https: nginx does TLS with a certificate made here and passes
// the page and the WebSocket on; the browser is told to accept that one certificate (by its key),
// plays tunecraft to its end, and the launcher names the browser's address, not nginx's.
test('behind nginx doing TLS: https page, wss door, the caller\'s own address', { timeout: 120000 }, async (T) => {
  for (const Program of [kChromium, kNginx, '/usr/bin/openssl']) {
    if (!existsSync(Program)) {
      T.skip(`no ${Program} (scripts/install-deps.sh installs it)`);
      return;
    }
  }
  const Dir = mkdtempSync(join(tmpdir(), 'zelkit-tls-'));
  const Cert = join(Dir, 'cert.pem');
  execFileSync('/usr/bin/openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', '/CN=127.0.0.1',
    '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', join(Dir, 'key.pem'), '-out', Cert], { stdio: 'ignore' });
  const Der = execFileSync('/usr/bin/openssl', ['x509', '-in', Cert, '-noout', '-pubkey']);
  const Spki = execFileSync('/usr/bin/openssl', ['pkey', '-pubin', '-outform', 'der'], { input: Der });
  const Pin = createHash('sha256').update(Spki).digest('base64');
  const { Launcher, Port } = StartLauncher(Dir, process.env.ZELKIT_TUNECRAFT, {}, ['--trust-proxy', '127.0.0.9']);
  let Nginx = null;
  let Browser = null;
  try {
    const TlsPort = await FreePort();
    Nginx = await StartNginx(Dir, TlsPort, await Port);
    Browser = await LaunchBrowser(Dir, [`--ignore-certificate-errors-spki-list=${Pin}`]);
    const Page = await Browser.newPage();
    const Problems = [];
    Page.on('pageerror', (E) => Problems.push(String(E)));
    await Page.goto(`https://127.0.0.1:${TlsPort}/`, { waitUntil: 'load', timeout: kWaitMs });
    const WaitFor = (AFunction) => Page.waitForFunction(AFunction, { timeout: kWaitMs, polling: 50 });
    await WaitFor(() => window.zelkitPage.ScreenText().includes('Press any key to play some random notes'));
    await Page.keyboard.press('x');
    await WaitFor(() => window.zelkitPage.ScreenText().includes('Your music has been played, press any key.'));
    await Page.keyboard.press('x');
    await WaitFor(() => window.zelkitPage.Ended);
    assert.deepEqual(Problems, []);
    assert.equal(await Exited(Launcher), 0, Launcher.LogText());
    assert.match(Launcher.LogText(), /node 1: web call from 127\.0\.0\.1 \(via 127\.0\.0\.9:\d+\)/);
    assert.equal(readFileSync(join(Dir, 'nodes', 'node1', 'DOOR32.SYS'), 'latin1').split('\r\n')[11], '127.0.0.1');
    assert.match(ReadOr(join(Dir, 'nginx', 'access.log')), /"GET \/door HTTP\/1\.1" 101 /);
  } finally {
    if (Browser) await Browser.close();
    for (const Child of [Nginx, Launcher]) {
      if (Child && Child.exitCode === null && Child.signalCode === null) {
        Child.kill('SIGTERM');
        await Exited(Child);
      }
    }
    rmSync(Dir, { recursive: true, force: true });
  }
});
