// The playground page in headless Chromium, against the built bridge and the demo agent; run.sh
// passes the binaries, the browser and playwright-core in the environment. Every wait is for
// something the page shows (or the bridge reports), with a generous bound.

import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const { chromium } = createRequire(import.meta.url)(process.env.QUILLHAVEN_PLAYWRIGHT);
const { QUILLHAVEN_BRIDGE: BRIDGE, QUILLHAVEN_DEMO_AGENT: DEMO_AGENT } = process.env;
const { QUILLHAVEN_CHROMIUM: CHROMIUM, QUILLHAVEN_SCREENSHOT: SCREENSHOT } = process.env;

const WAIT_MS = 30000;      // bound for anything the page is expected to show
const SCENARIO_MS = 180000; // bound for a whole scenario

let browser;  // one Chromium; each scenario gets a fresh context (storage, pages) of its own
const pageErrors = [];
const cleanups = [];
before(async () => {
  fs.mkdirSync(path.dirname(SCREENSHOT), { recursive: true });
  // The resolver rule leads a made-up name to loopback, for the page of another origin;
  // playwright-core itself adds --no-sandbox and the switches that keep Chromium off the network.
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    args: ['--disable-gpu', '--disable-quic', '--host-resolver-rules=MAP evil.example 127.0.0.1'],
  });
});
// After every scenario its bridges, pages and servers go, and no page script may have failed.
afterEach(async () => {
  while (cleanups.length) await cleanups.pop()();
  assert.deepEqual(pageErrors.splice(0), []);
});
after(() => browser?.close());

// One bridge on a port the system chooses, with its own HOME, workspace and state file, whose
// NPCs are played by the demo agent: scripted, or else its own innkeeper and smith. A scratch
// folder holds the files that release held turns (@wait-file).
async function startBridge(args = [], { scripted = true } = {}) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'quillhaven-browser-'));
  const dir = (name) => path.join(root, name);
  for (const name of ['home', 'workspace', 'tmp', 'scratch', 'elsewhere']) fs.mkdirSync(dir(name));
  const child = spawn(BRIDGE, ['--port', '0', '--workspace', dir('workspace'),
    '--state-file', dir('state.json'), '--claude', DEMO_AGENT, '--exit-with-stdin', ...args], {
    env: { ...process.env, HOME: dir('home'), TMPDIR: dir('tmp'),
      QUILLHAVEN_DEMO_SCRIPTED: scripted ? '1' : '0' },
    stdio: ['pipe', 'ignore', 'pipe'],
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  cleanups.push(async () => {
    child.stdin.end();  // as the game does when it quits
    const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
    await exited;
    clearTimeout(timer);
    fs.rmSync(root, { recursive: true, force: true });
  });
  // Right after its banner the bridge names the playground's address, with the chosen port.
  let log = '';
  child.stderr.setEncoding('utf8');
  const port = await new Promise((resolve, reject) => {
    child.stderr.on('data', (text) => {
      log += text;
      const line = log.match(/\[bridge\] playground: http:\/\/127\.0\.0\.1:(\d+)\/\n/);
      if (line) resolve(Number(line[1]));
    });
    exited.then(() => reject(new Error(`bridge exited:\n${log}`)));
  });
  const url = `http://127.0.0.1:${port}/`;
  const get = async (urlPath) => (await fetch(new URL(urlPath, url))).json();
  return {
    port, url, get, workspace: dir('workspace'), elsewhere: dir('elsewhere'),
    hold: (name) => dir(`scratch/${name}`),
    release: (name) => fs.writeFileSync(dir(`scratch/${name}`), ''),
    post: async (urlPath, body) =>
      (await fetch(new URL(urlPath, url), { method: 'POST', body: JSON.stringify(body) })).status,
    npc: async (id) => (await get('/npcs')).npcs.find((row) => row.id === id),
  };
}

// A page in a fresh context; with a `url`, the playground there, ready.
async function openPage(url) {
  const context = await browser.newContext({ viewport: { width: 1360, height: 900 },
    colorScheme: 'light' });
  context.setDefaultTimeout(WAIT_MS);
  cleanups.push(() => context.close());
  const page = await context.newPage();
  page.on('pageerror', (error) => pageErrors.push(error.message));
  if (url) {
    await page.goto(url);
    await page.locator('#policy input:checked').waitFor({ state: 'attached' });
  }
  return page;
}

const panel = (page, id) => page.locator(`section.panel[data-npc="${id}"]`);

async function openNpc(page, id) {
  await page.getByLabel('NPC id').fill(id);
  await page.getByLabel('NPC id').press('Enter');
  await panel(page, id).locator('.state').waitFor();
  return panel(page, id);
}

// Types the words and sends them with Enter, as a player would.
async function say(page, id, text) {
  const box = panel(page, id).getByLabel(`Say to ${id}`);
  await box.fill(text);
  await box.press('Enter');
}

const stateIs = (page, id, state) =>
  panel(page, id).locator(`.badge.state[data-state="${state}"]`).waitFor();

test('a conversation: the view survives a reload and a dropped connection, the reply streams in, tool uses are approved and refused', { timeout: SCENARIO_MS }, async () => {
  const bridge = await startBridge();
  const proxy = await startProxy(bridge.port);
  const page = await openPage(`http://127.0.0.1:${proxy.port}/`);
  const bard = await openNpc(page, 'bard');
  // Waits until the panel holds exactly so many elements of each selector.
  const counts = (expected) => page.waitForFunction((expected) =>
    Object.entries(expected).every(([css, n]) =>
      document.querySelectorAll(`section.panel[data-npc="bard"] ${css}`).length === n), expected);

  await say(page, 'bard', '@deltas Half |a |song\n@wait-file ' + bridge.hold('song'));
  await bard.locator('.bubble.npc .text', { hasText: 'Half a song' }).waitFor();
  await stateIs(page, 'bard', 'working');

  // Reloaded mid-turn: the panel comes back from the NPC's log, the same and once.
  const conversation = await bard.locator('.log').innerText();
  await page.reload();
  await page.waitForFunction((text) =>
    document.querySelector('section.panel[data-npc="bard"] .log')?.innerText === text, conversation);
  await stateIs(page, 'bard', 'working');
  await counts({ '.bubble.player': 1, '.bubble.npc': 1 });
  bridge.release('song');
  await bard.locator('.line.result').waitFor();
  await stateIs(page, 'bard', 'idle');

  // The connection drops; meanwhile the game talks to the bard. Back online, the page shows
  // what it missed, once.
  proxy.drop();
  await bard.locator('.link-status', { hasText: 'reconnecting…' }).waitFor();
  assert.equal(await bridge.post('/npc/bard/say', { text: 'While the page was away' }), 200);
  // The page cannot show it: the bridge tells when the bard has answered.
  for (const deadline = Date.now() + WAIT_MS; (await bridge.npc('bard')).state !== 'idle';) {
    assert.ok(Date.now() < deadline, 'timed out waiting for the bard to answer');
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  proxy.restore();
  await bard.locator('.bubble.npc .text', { hasText: 'You said: While the page was away' }).waitFor();
  await bard.locator('.link-status:empty').waitFor({ state: 'attached' });
  await counts({ '.bubble.player': 2, '.bubble.npc': 2, '.line.result': 2 });
  assert.equal(await bard.locator('.bubble.npc .text').first().textContent(), 'Half a song');

  const smith = await openNpc(page, 'smith');

  // The reply streams: its first part shows while the turn is held, with the usage ticker.
  await say(page, 'smith', '@deltas Good |morning\n@wait-file ' + bridge.hold('greeting') +
    '\n@full Good morning, traveller.');
  await smith.locator('.bubble.player .text', { hasText: '@deltas Good |morning' }).waitFor();
  await smith.locator('.bubble.npc:not(.done) .text', { hasText: 'Good morning' }).waitFor();
  await stateIs(page, 'smith', 'working');
  await smith.locator('.ticker', { hasText: /working 0:0\d · 0 tools/ }).waitFor();
  bridge.release('greeting');
  await smith.locator('.bubble.npc.done .text', { hasText: 'Good morning, traveller.' }).waitFor();
  await smith.locator('.line.result', { hasText: /done in .* 1 turn · 0 tools/ }).waitFor();
  await stateIs(page, 'smith', 'idle');
  assert.equal(await smith.locator('.ticker').isHidden(), true);

  // The player asks for approvals from now on, for every NPC.
  await page.locator('#policy label', { hasText: 'ask' }).click();
  await smith.locator('.line.system', { hasText: 'Policy: ask.' }).waitFor();

  // A second NPC beside the first.
  const innkeeper = await openNpc(page, 'innkeeper');
  await say(page, 'innkeeper', 'A room for the night, please.');
  await innkeeper.locator('.bubble.npc .text', { hasText: 'You said: A room for the night, please.' })
    .waitFor();

  // A Bash use waits for the player: the card names the tool, its category and its command.
  await say(page, 'smith', '@tool Bash {"command":"echo the blade is forged"}');
  const card = smith.locator('.approval:not(.closed)');
  await stateIs(page, 'smith', 'asking');
  assert.deepEqual(await card.locator('.tool-name, .category, .detail').allTextContents(),
    ['exec', 'Bash', 'echo the blade is forged']);
  await card.locator('.waited', { hasText: /^Waiting 0:0\d · refused on its own after 4:00/ }).waitFor();
  await smith.locator('.tool .tool-status', { hasText: 'running…' }).waitFor();
  await card.getByRole('button', { name: 'Allow' }).click();
  await smith.locator('.approval.closed.allowed .outcome', { hasText: 'Allowed' }).waitFor();
  await smith.locator('.tool.ok .output', { hasText: 'the blade is forged' }).waitFor();
  await smith.locator('.tool.ok .tool-status', { hasText: 'done' }).waitFor();
  await smith.locator('.bubble.npc .text', { hasText: 'Bash said: the blade is forged' }).waitFor();

  // Refused with a reason: the tool fails with it.
  await say(page, 'smith', '@tool Bash {"command":"rm -rf /forge"}');
  await card.getByLabel('Reason for Bash').fill('Not in my forge');
  await card.getByRole('button', { name: 'Deny' }).click();
  await smith.locator('.approval.closed.refused .outcome', { hasText: 'Refused: Not in my forge' }).waitFor();
  await smith.locator('.tool.failed .output', { hasText: 'Not in my forge' }).waitFor();
  await stateIs(page, 'smith', 'idle');

  // Answered by another client (the game itself, say): the card closes all the same.
  await say(page, 'smith', '@tool Bash {"command":"echo from elsewhere"}');
  const rid = await card.getAttribute('data-request-id');
  assert.equal(await bridge.post('/npc/smith/permission', { request_id: rid, allow: true }), 200);
  await smith.locator(`.approval.closed[data-request-id="${rid}"] .outcome`, { hasText: 'Allowed' }).waitFor();
  await smith.locator('.tool.ok .output', { hasText: 'from elsewhere' }).waitFor();
});

test('the controls: interrupt, a model change mid-turn, earlier conversations, the workspace', { timeout: SCENARIO_MS }, async () => {
  const bridge = await startBridge(['--models', 'sonnet,haiku']);
  const page = await openPage(bridge.url);
  const scribe = await openNpc(page, 'scribe');
  const system = (hasText) => scribe.locator('.line.system', { hasText }).waitFor();

  // Interrupt a reply halfway.
  await say(page, 'scribe', '@deltas Once upon |a time\n@wait-file ' + bridge.hold('never'));
  await scribe.locator('.bubble.npc .text', { hasText: 'Once upon a time' }).waitFor();
  await scribe.locator('.session', { hasText: '“@deltas Once upon' }).waitFor();
  await scribe.getByRole('button', { name: 'Interrupt' }).click();
  await system('Interrupted.');
  await stateIs(page, 'scribe', 'asleep');
  await scribe.locator('.bubble.npc.cut').waitFor();
  const first = (await bridge.npc('scribe')).session_id;

  // A model chosen while the NPC works is pending until the turn ends, then applied.
  await say(page, 'scribe', '@wait-file ' + bridge.hold('model'));
  await stateIs(page, 'scribe', 'working');
  await scribe.getByLabel('Model').selectOption('haiku');
  await scribe.locator('.model-note.pending', { hasText: 'pending: CLI default until this turn ends' }).waitFor();
  await system('Model haiku requested; CLI default finishes this turn.');
  bridge.release('model');
  await system('Model: haiku.');
  assert.equal(await scribe.locator('.model-note.pending').count(), 0);
  assert.equal(await scribe.getByLabel('Model').inputValue(), 'haiku');

  // A new conversation, then back to the first one from the list of earlier ones.
  await scribe.getByRole('button', { name: 'New conversation' }).click();
  await system('New conversation.');
  await scribe.locator('.session', { hasText: 'new (starts with the next words)' }).waitFor();
  await say(page, 'scribe', 'A second tale, from the start');
  await scribe.locator('.bubble.npc.done .text', { hasText: 'You said: A second tale, from the start' }).waitFor();
  const second = (await bridge.npc('scribe')).session_id;
  assert.notEqual(second, first);
  await system(`Conversation ${second.slice(0, 8)} started.`);
  await scribe.locator('.sessions summary').click();
  const earlier = scribe.locator('.session-item', { hasText: '@deltas Once upon' });
  await scribe.locator('.session-item', { hasText: 'A second tale' }).locator('.badge.current').waitFor();
  await earlier.getByRole('button', { name: /^Resume/ }).click();
  await system(`Resumed conversation ${first.slice(0, 8)}: “@deltas Once upon`);
  await earlier.locator('.badge.current').waitFor();

  // Another workspace folder, a missing one, then back to the default.
  const folder = scribe.getByLabel('Workspace folder of scribe');
  await folder.fill(bridge.elsewhere);
  await folder.press('Enter');
  await system(`Workspace: ${bridge.elsewhere}.`);
  await scribe.locator('.session-list', { hasText: 'No conversations in this workspace yet.' }).waitFor();
  await folder.fill('/no/such/folder');
  await scribe.getByRole('button', { name: 'Move' }).click();
  await scribe.locator('.panel-error', { hasText: 'no such directory: /no/such/folder' }).waitFor();
  await scribe.getByRole('button', { name: 'Default' }).click();
  await system(`Workspace: ${bridge.workspace} (default).`);

  // Sleep ends the agent and keeps the NPC.
  await say(page, 'scribe', 'Good night');
  await stateIs(page, 'scribe', 'idle');
  await scribe.getByRole('button', { name: 'Sleep' }).click();
  await stateIs(page, 'scribe', 'asleep');
});

test('a page from another origin can neither read the bridge nor frame the playground; a first visit: two NPCs, one asks to use a tool', { timeout: SCENARIO_MS }, async () => {
  const bridge = await startBridge(['--permission-policy', 'ask'], { scripted: false });
  const evil = await startEvilSite(bridge.url);
  const evilPage = await openPage();
  const statuses = new Map();  // "METHOD url" -> status the bridge answered
  evilPage.on('response', (r) => statuses.set(`${r.request().method()} ${r.url()}`, r.status()));

  await evilPage.goto(`http://evil.example:${evil.port}/`);
  const results = await evilPage.evaluate(() => window.attack);
  // The page could read no answer of the bridge, and the bridge refused to change the policy.
  assert.match(results.read, /^blocked: TypeError/);
  assert.equal(results.opaque, 'opaque:');
  assert.equal(statuses.get(`POST ${bridge.url}policy`), 403);
  assert.equal((await bridge.get('/policy')).policy, 'ask');

  // The bridge served the framed playground, and the browser refused to show it in the frame.
  assert.equal(statuses.get(`GET ${bridge.url}`), 200);
  const frame = evilPage.frames().find((f) => f !== evilPage.mainFrame());
  assert.ok(frame);
  assert.equal(await frame.locator('#panels').count(), 0);

  // A name that leads to the bridge (DNS rebinding) does not get the page either.
  const rebound = await evilPage.goto(`http://evil.example:${bridge.port}/`);
  assert.equal(rebound.status(), 403);
  assert.equal(await rebound.text(), '{"error":"forbidden"}');

  // The first visit.
  assert.equal(await bridge.post('/npc/smith/bind',
    { persona: 'You are Brom, the village smith of Quillhaven.' }), 200);
  const page = await openPage(bridge.url);

  const innkeeper = await openNpc(page, 'innkeeper');
  await say(page, 'innkeeper', 'Good evening! Have you a room for the night?');
  await innkeeper.locator('.line.result').waitFor();
  const smith = await openNpc(page, 'smith');
  await say(page, 'smith', 'Good morning! What are you forging today?');
  await smith.locator('.bubble.npc.done .text', { hasText: 'Brom' }).waitFor();
  await say(page, 'smith', 'Could you list what lies in the forge?');
  await smith.locator('.approval:not(.closed) .detail', { hasText: 'ls -la' }).waitFor();
  await stateIs(page, 'smith', 'asking');
  await page.locator('#known-list .known-npc[data-npc="smith"] .state[data-state="asking"]').waitFor();

  await page.screenshot({ path: SCREENSHOT });
});

// A TCP relay to the bridge that can drop every connection and refuse new ones for a while.
async function startProxy(targetPort) {
  const sockets = new Set();
  let down = false;
  const server = net.createServer((client) => {
    if (down) return client.destroy();
    const upstream = net.connect(targetPort, '127.0.0.1');
    for (const [from, to] of [[client, upstream], [upstream, client]]) {
      sockets.add(from);
      from.pipe(to);
      from.on('error', () => {}).on('close', () => {
        to.destroy();
        sockets.delete(from);
      });
    }
  });
  const dropAll = () => sockets.forEach((socket) => socket.destroy());
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  cleanups.push(() => new Promise((resolve) => {
    dropAll();
    server.close(resolve);
  }));
  return {
    port: server.address().port,
    drop() { down = true; dropAll(); },
    restore() { down = false; },
  };
}

// A page on another origin that tries to read the bridge, change its policy and frame the
// playground. Its findings are in window.attack.
async function startEvilSite(target) {
  const page = `<!doctype html><title>elsewhere</title>
<iframe src="${target}" width="400" height="300"></iframe>
<script>
window.attack = (async () => {
  const read = await fetch('${target}npcs').then((r) => r.text(), (error) => 'blocked: ' + error.name);
  // Requests in "no-cors" mode are sent without asking, and their answers stay unreadable;
  // only the bridge can refuse what they ask for.
  const opaque = await fetch('${target}npcs', { mode: 'no-cors' }).then(async (r) => r.type + ':' + await r.text());
  await fetch('${target}policy', { method: 'POST', mode: 'no-cors', body: '{"policy":"trust"}' }).catch(() => {});
  return { read, opaque };
})();
</script>`;
  const server = http.createServer((request, response) =>
    response.writeHead(200, { 'Content-Type': 'text/html' }).end(page));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  cleanups.push(() => new Promise((resolve) => server.close(resolve)));
  return { port: server.address().port };
}
