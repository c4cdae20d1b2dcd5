// The playground page in a real browser: headless Chromium plays NPCs through the page while
// the built bridge runs them with the scripted demo agent. Started by run.sh, which passes the
// binaries, the browser and playwright-core in the environment.
//
// Every wait is for something the page shows (or the bridge reports), with a generous bound.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const { chromium } = createRequire(import.meta.url)(process.env.QUILLHAVEN_PLAYWRIGHT);

const BRIDGE = process.env.QUILLHAVEN_BRIDGE;
const DEMO_AGENT = process.env.QUILLHAVEN_DEMO_AGENT;
const CHROMIUM = process.env.QUILLHAVEN_CHROMIUM;
const SCREENSHOT = process.env.QUILLHAVEN_SCREENSHOT;

const WAIT_MS = 30000;      // bound for anything the page is expected to show
const SCENARIO_MS = 180000; // bound for a whole scenario

before(() => {
  for (const [name, value] of Object.entries({ BRIDGE, DEMO_AGENT, CHROMIUM, SCREENSHOT })) {
    assert.ok(value, `${name} is not set (start the tests with tests/browser/run.sh)`);
  }
  fs.mkdirSync(path.dirname(SCREENSHOT), { recursive: true });
});

const cleanups = [];
after(async () => {
  for (const cleanup of cleanups.reverse()) await cleanup();
});

// ---- The bridge --------------------------------------------------------------------------------

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Waits until `check` returns a truthy value; for conditions outside the page.
async function until(what, check, timeout = WAIT_MS) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// One bridge with its own HOME, workspace, state file and port, whose NPCs are played by the
// scripted demo agent. A scratch folder holds the files that release held turns (@wait-file).
class Bridge {
  // `scripted` false gives the demo agent's own innkeeper and smith instead of scripts.
  static async start(args = [], { scripted = true } = {}) {
    const bridge = new Bridge();
    await bridge.spawn(args, scripted);
    cleanups.push(() => bridge.stop());
    return bridge;
  }

  async spawn(args, scripted) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'quillhaven-browser-'));
    for (const dir of ['home', 'workspace', 'tmp', 'scratch', 'elsewhere']) {
      fs.mkdirSync(path.join(this.root, dir));
    }
    this.workspace = path.join(this.root, 'workspace');
    this.elsewhere = path.join(this.root, 'elsewhere');
    this.port = await freePort();
    this.log = '';
    this.child = spawn(BRIDGE, [
      '--port', String(this.port),
      '--workspace', this.workspace,
      '--state-file', path.join(this.root, 'state.json'),
      '--claude', DEMO_AGENT,
      '--exit-with-stdin',
      ...args,
    ], {
      env: {
        ...process.env,
        HOME: path.join(this.root, 'home'),
        TMPDIR: path.join(this.root, 'tmp'),
        QUILLHAVEN_DEMO_SCRIPTED: scripted ? '1' : '0',
      },
      stdio: ['pipe', 'ignore', 'pipe'],
    });
    this.exited = new Promise((resolve) => this.child.on('exit', resolve));
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (text) => { this.log += text; });
    // The bridge names the playground's address right after its banner.
    const line = await until('the playground line', () => this.log.match(/\[bridge\] playground: (\S+)\n/) ||
      (this.child.exitCode !== null && Promise.reject(new Error(`bridge exited:\n${this.log}`))));
    this.url = line[1];
    assert.equal(this.url, `http://127.0.0.1:${this.port}/`);
  }

  async stop() {
    this.child.stdin.end();  // as the game does when it quits
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 15000);
    await this.exited;
    clearTimeout(timer);
    fs.rmSync(this.root, { recursive: true, force: true });
  }

  // A path whose creation releases a turn held by "@wait-file".
  hold(name) {
    return path.join(this.root, 'scratch', name);
  }

  release(name) {
    fs.writeFileSync(this.hold(name), '');
  }

  async get(urlPath) {
    const response = await fetch(`http://127.0.0.1:${this.port}${urlPath}`);
    return response.json();
  }

  async post(urlPath, body) {
    const response = await fetch(`http://127.0.0.1:${this.port}${urlPath}`, {
      method: 'POST',
      body: JSON.stringify(body),
    });
    return { status: response.status, body: await response.json() };
  }

  async npc(id) {
    return (await this.get('/npcs')).npcs.find((row) => row.id === id);
  }
}

// ---- The browser -------------------------------------------------------------------------------

// A fresh browser with a fresh profile. `hostRules` maps made-up names to loopback.
async function launchBrowser(hostRules) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillhaven-chromium-'));
  const args = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
  ];
  if (hostRules) args.push(`--host-resolver-rules=${hostRules}`);
  // A persistent context is the one way to give Chromium the profile folder (--user-data-dir).
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args,
    viewport: { width: 1360, height: 900 },
    colorScheme: 'light',
  });
  context.setDefaultTimeout(WAIT_MS);
  const pageErrors = [];
  context.on('page', (page) => page.on('pageerror', (error) => pageErrors.push(error.message)));
  cleanups.push(async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  });
  return { context, pageErrors };
}

async function newPage(context, url) {
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url);
  await page.locator('#policy input:checked').waitFor({ state: 'attached' });
  return page;
}

const panel = (page, id) => page.locator(`section.panel[data-npc="${id}"]`);

async function openNpc(page, id) {
  await page.getByLabel('NPC id').fill(id);
  await page.getByLabel('NPC id').press('Enter');
  await panel(page, id).locator('.state').waitFor();
}

// Types the words and sends them with Enter, as a player would.
async function say(page, id, text) {
  const box = panel(page, id).getByLabel(`Say to ${id}`);
  await box.fill(text);
  await box.press('Enter');
}

// Waits for the NPC's state badge to read `state`.
async function stateIs(page, id, state) {
  await panel(page, id).locator(`.badge.state[data-state="${state}"]`).waitFor();
}

// Waits for the list of known NPCs to show the NPC's state.
async function showKnown(page, id, state) {
  await page.locator(`#known-list .known-npc[data-npc="${id}"] .state[data-state="${state}"]`).waitFor();
}

// Waits until exactly `count` elements match the CSS selector.
async function countIs(page, selector, count) {
  await page.waitForFunction(([css, n]) => document.querySelectorAll(css).length === n,
    [selector, count], { timeout: WAIT_MS });
}

// ---- Scenarios ---------------------------------------------------------------------------------

test('a conversation: the reply streams in, tool uses are approved and refused', { timeout: SCENARIO_MS }, async () => {
  const bridge = await Bridge.start();
  const { context, pageErrors } = await launchBrowser();
  const page = await newPage(context, bridge.url);

  await openNpc(page, 'smith');
  const smith = panel(page, 'smith');
  await stateIs(page, 'smith', 'asleep');

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
  assert.equal((await bridge.get('/policy')).policy, 'ask');

  // A second NPC beside the first.
  await openNpc(page, 'innkeeper');
  await say(page, 'innkeeper', 'A room for the night, please.');
  await panel(page, 'innkeeper').locator('.bubble.npc .text',
    { hasText: 'You said: A room for the night, please.' }).waitFor();

  // A Bash use waits for the player: the card names the tool, its category and its command.
  await say(page, 'smith', '@tool Bash {"command":"echo the blade is forged"}');
  const card = smith.locator('.approval:not(.closed)');
  await card.waitFor();
  await stateIs(page, 'smith', 'asking');
  assert.equal(await card.locator('.tool-name').textContent(), 'Bash');
  assert.equal(await card.locator('.category').textContent(), 'exec');
  assert.equal(await card.locator('.detail').textContent(), 'echo the blade is forged');
  await card.locator('.waited', { hasText: /^Waiting 0:0\d · refused on its own after 4:00/ }).waitFor();
  await smith.locator('.tool .tool-status', { hasText: 'running…' }).waitFor();

  await card.getByRole('button', { name: 'Allow' }).click();
  await smith.locator('.approval.closed.allowed .outcome', { hasText: 'Allowed' }).waitFor();
  const allowed = smith.locator('.tool.ok');
  await allowed.locator('.output', { hasText: 'the blade is forged' }).waitFor();
  await smith.locator('.bubble.npc .text', { hasText: 'Bash said: the blade is forged' }).waitFor();

  // Refused with a reason: the tool fails with it.
  await say(page, 'smith', '@tool Bash {"command":"rm -rf /forge"}');
  const second = smith.locator('.approval:not(.closed)');
  await second.waitFor();
  await second.getByLabel('Reason for Bash').fill('Not in my forge');
  await second.getByRole('button', { name: 'Deny' }).click();
  await smith.locator('.approval.closed.refused .outcome', { hasText: 'Refused: Not in my forge' }).waitFor();
  await smith.locator('.tool.failed .output', { hasText: 'Not in my forge' }).waitFor();
  await stateIs(page, 'smith', 'idle');

  // Answered by another client (the game itself, say): the card closes all the same.
  await say(page, 'smith', '@tool Bash {"command":"echo from elsewhere"}');
  const third = smith.locator('.approval:not(.closed)');
  await third.waitFor();
  const rid = await third.getAttribute('data-request-id');
  assert.equal((await bridge.post('/npc/smith/permission', { request_id: rid, allow: true })).status, 200);
  await smith.locator(`.approval.closed[data-request-id="${rid}"] .outcome`, { hasText: 'Allowed' }).waitFor();
  await smith.locator('.tool.ok .output', { hasText: 'from elsewhere' }).waitFor();

  assert.equal(await smith.locator('.approval:not(.closed)').count(), 0);
  assert.deepEqual(pageErrors, []);
});

test('the controls: interrupt, a model change mid-turn, earlier conversations, the workspace', { timeout: SCENARIO_MS }, async () => {
  const bridge = await Bridge.start(['--models', 'sonnet,haiku']);
  const { context, pageErrors } = await launchBrowser();
  const page = await newPage(context, bridge.url);
  await openNpc(page, 'scribe');
  const scribe = panel(page, 'scribe');

  // Interrupt a reply halfway.
  await say(page, 'scribe', '@deltas Once upon |a time\n@wait-file ' + bridge.hold('never'));
  await scribe.locator('.bubble.npc .text', { hasText: 'Once upon a time' }).waitFor();
  await scribe.locator('.session', { hasText: '“@deltas Once upon' }).waitFor();
  await scribe.getByRole('button', { name: 'Interrupt' }).click();
  await scribe.locator('.line.system', { hasText: 'Interrupted.' }).waitFor();
  await stateIs(page, 'scribe', 'asleep');
  await scribe.locator('.bubble.npc.cut').waitFor();
  const first = (await bridge.npc('scribe')).session_id;
  assert.ok(first);

  // A model chosen while the NPC works is pending until the turn ends, then applied.
  await say(page, 'scribe', '@wait-file ' + bridge.hold('model'));
  await stateIs(page, 'scribe', 'working');
  await scribe.getByLabel('Model').selectOption('haiku');
  await scribe.locator('.model-note.pending', { hasText: 'pending: CLI default until this turn ends' }).waitFor();
  await scribe.locator('.line.system', { hasText: 'Model haiku requested; CLI default finishes this turn.' }).waitFor();
  assert.equal((await bridge.npc('scribe')).model, '');
  bridge.release('model');
  await scribe.locator('.line.system', { hasText: 'Model: haiku.' }).waitFor();
  assert.equal(await scribe.locator('.model-note.pending').count(), 0);
  assert.equal(await scribe.getByLabel('Model').inputValue(), 'haiku');
  assert.equal((await bridge.npc('scribe')).model, 'haiku');

  // A new conversation, then back to the first one from the list of earlier ones.
  await scribe.getByRole('button', { name: 'New conversation' }).click();
  await scribe.locator('.line.system', { hasText: 'New conversation.' }).waitFor();
  await scribe.locator('.session', { hasText: 'new (starts with the next words)' }).waitFor();
  await say(page, 'scribe', 'A second tale, from the start');
  await scribe.locator('.bubble.npc.done .text', { hasText: 'You said: A second tale, from the start' }).waitFor();
  const second = (await bridge.npc('scribe')).session_id;
  assert.notEqual(second, first);
  await scribe.locator('.line.system', { hasText: `Conversation ${second.slice(0, 8)} started.` }).waitFor();

  await scribe.locator('.sessions summary').click();
  const earlier = scribe.locator('.session-item', { hasText: '@deltas Once upon' });
  await scribe.locator('.session-item', { hasText: 'A second tale' }).locator('.badge.current').waitFor();
  await earlier.getByRole('button', { name: /^Resume/ }).click();
  await scribe.locator('.line.system', { hasText: `Resumed conversation ${first.slice(0, 8)}: “@deltas Once upon` }).waitFor();
  await earlier.locator('.badge.current').waitFor();
  assert.equal((await bridge.npc('scribe')).session_id, first);

  // Another workspace folder, a missing one, then back to the default.
  const folder = scribe.getByLabel('Workspace folder of scribe');
  await folder.fill(bridge.elsewhere);
  await folder.press('Enter');
  await scribe.locator('.line.system', { hasText: `Workspace: ${bridge.elsewhere}.` }).waitFor();
  await scribe.locator('.session-list', { hasText: 'No conversations in this workspace yet.' }).waitFor();
  assert.equal((await bridge.npc('scribe')).workspace_source, 'explicit');
  await folder.fill('/no/such/folder');
  await scribe.getByRole('button', { name: 'Move' }).click();
  await scribe.locator('.panel-error', { hasText: 'no such directory: /no/such/folder' }).waitFor();
  await scribe.getByRole('button', { name: 'Default' }).click();
  await scribe.locator('.line.system', { hasText: `Workspace: ${bridge.workspace} (default).` }).waitFor();
  assert.equal((await bridge.npc('scribe')).workspace, bridge.workspace);

  // Sleep ends the agent and keeps the NPC.
  await say(page, 'scribe', 'Good night');
  await stateIs(page, 'scribe', 'idle');
  await scribe.getByRole('button', { name: 'Sleep' }).click();
  await stateIs(page, 'scribe', 'asleep');
  assert.deepEqual(pageErrors, []);
});

test('the view survives a reload mid-turn and a dropped connection, without duplicates', { timeout: SCENARIO_MS }, async () => {
  const bridge = await Bridge.start();
  const proxy = await startProxy(bridge.port);
  const { context, pageErrors } = await launchBrowser();
  const page = await newPage(context, `http://127.0.0.1:${proxy.port}/`);
  await openNpc(page, 'bard');
  const bard = panel(page, 'bard');
  const players = 'section.panel[data-npc="bard"] .bubble.player';
  const replies = 'section.panel[data-npc="bard"] .bubble.npc';
  const results = 'section.panel[data-npc="bard"] .line.result';

  await say(page, 'bard', '@deltas Half |a |song\n@wait-file ' + bridge.hold('song'));
  await bard.locator('.bubble.npc .text', { hasText: 'Half a song' }).waitFor();
  await stateIs(page, 'bard', 'working');

  // Reloaded mid-turn: the panel comes back from the NPC's log, the same and once.
  const conversation = await bard.locator('.log').innerText();
  await page.reload();
  await page.waitForFunction((text) =>
    document.querySelector('section.panel[data-npc="bard"] .log')?.innerText === text, conversation);
  await stateIs(page, 'bard', 'working');
  await countIs(page, players, 1);
  await countIs(page, replies, 1);
  bridge.release('song');
  await page.locator(results).waitFor();
  await stateIs(page, 'bard', 'idle');

  // The connection drops; meanwhile the game talks to the bard. Back online, the page shows
  // what it missed, once.
  proxy.drop();
  await bard.locator('.link-status', { hasText: 'reconnecting…' }).waitFor();
  assert.equal((await bridge.post('/npc/bard/say', { text: 'While the page was away' })).status, 200);
  await until('the bard to answer', async () => (await bridge.npc('bard')).state === 'idle');
  proxy.restore();
  await bard.locator('.bubble.npc .text', { hasText: 'You said: While the page was away' }).waitFor();
  await bard.locator('.link-status:empty').waitFor({ state: 'attached' });
  await countIs(page, players, 2);
  await countIs(page, replies, 2);
  await countIs(page, results, 2);
  assert.equal(await bard.locator('.bubble.npc .text').first().textContent(), 'Half a song');
  assert.deepEqual(pageErrors, []);
});

test('a page from another origin can neither read the bridge nor frame the playground', { timeout: SCENARIO_MS }, async () => {
  const bridge = await Bridge.start();
  const target = `http://127.0.0.1:${bridge.port}`;
  const evil = await startEvilSite(target);
  const { context } = await launchBrowser('MAP evil.example 127.0.0.1');
  const page = context.pages()[0] ?? await context.newPage();
  const statuses = new Map();  // "METHOD url" -> status the bridge answered
  page.on('response', (response) => {
    statuses.set(`${response.request().method()} ${response.url()}`, response.status());
  });

  await page.goto(`http://evil.example:${evil.port}/`);
  const results = await page.evaluate(() => window.attack);
  // The page could read no answer of the bridge, and the bridge refused to change the policy.
  assert.match(results.read, /^blocked: TypeError/);
  assert.equal(results.opaque, 'opaque:');
  assert.equal(statuses.get(`POST ${target}/policy`), 403);
  assert.equal((await bridge.get('/policy')).policy, 'auto');

  // The bridge served the framed playground, and the browser refused to show it in the frame.
  assert.equal(statuses.get(`GET ${target}/`), 200);
  const frame = page.frames().find((f) => f !== page.mainFrame());
  assert.ok(frame);
  assert.equal(await frame.locator('#panels').count(), 0);

  // A name that leads to the bridge (DNS rebinding) does not get the page either.
  const rebound = await page.goto(`http://evil.example:${bridge.port}/`);
  assert.equal(rebound.status(), 403);
  assert.equal(await rebound.text(), '{"error":"forbidden"}');
});

test('a first visit with the demo agent: two NPCs, one asks to use a tool', { timeout: SCENARIO_MS }, async () => {
  const bridge = await Bridge.start(['--permission-policy', 'ask'], { scripted: false });
  assert.equal((await bridge.post('/npc/smith/bind',
    { persona: 'You are Brom, the village smith of Quillhaven.' })).status, 200);
  const { context, pageErrors } = await launchBrowser();
  const page = await newPage(context, bridge.url);

  await openNpc(page, 'innkeeper');
  await say(page, 'innkeeper', 'Good evening! Have you a room for the night?');
  await panel(page, 'innkeeper').locator('.line.result').waitFor();
  await openNpc(page, 'smith');
  const smith = panel(page, 'smith');
  await say(page, 'smith', 'Good morning! What are you forging today?');
  await smith.locator('.bubble.npc.done .text', { hasText: 'Brom' }).waitFor();
  await say(page, 'smith', 'Could you list what lies in the forge?');
  const card = smith.locator('.approval:not(.closed)');
  await card.locator('.detail', { hasText: 'ls -la' }).waitFor();
  await stateIs(page, 'smith', 'asking');
  await showKnown(page, 'smith', 'asking');

  await page.screenshot({ path: SCREENSHOT });

  await card.getByRole('button', { name: 'Allow' }).click();
  await smith.locator('.tool.ok .tool-status', { hasText: 'done' }).waitFor();
  await stateIs(page, 'smith', 'idle');
  assert.deepEqual(pageErrors, []);
});

// ---- Helpers of the scenarios ------------------------------------------------------------------

// A TCP relay to the bridge that can drop every connection and refuse new ones for a while.
async function startProxy(targetPort) {
  const pairs = new Set();
  let down = false;
  const server = net.createServer((client) => {
    if (down) {
      client.destroy();
      return;
    }
    const upstream = net.connect(targetPort, '127.0.0.1');
    const pair = { client, upstream };
    pairs.add(pair);
    const end = () => {
      client.destroy();
      upstream.destroy();
      pairs.delete(pair);
    };
    for (const socket of [client, upstream]) {
      socket.on('error', end);
      socket.on('close', end);
    }
    client.pipe(upstream);
    upstream.pipe(client);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  cleanups.push(() => new Promise((resolve) => {
    for (const { client, upstream } of pairs) { client.destroy(); upstream.destroy(); }
    server.close(resolve);
  }));
  return {
    port: server.address().port,
    drop() {
      down = true;
      for (const { client, upstream } of pairs) { client.destroy(); upstream.destroy(); }
    },
    restore() {
      down = false;
    },
  };
}

// A page on another origin that tries to read the bridge, change its policy and frame the
// playground. Its findings are in window.attack.
async function startEvilSite(target) {
  const page = `<!doctype html><title>elsewhere</title>
<iframe src="${target}/" width="400" height="300"></iframe>
<script>
window.attack = (async () => {
  const found = {};
  try {
    const response = await fetch('${target}/npcs');
    found.read = await response.text();
  } catch (error) {
    found.read = 'blocked: ' + error.name;
  }
  // Requests in "no-cors" mode are sent without asking, and their answers stay unreadable;
  // only the bridge can refuse what they ask for.
  const opaque = await fetch('${target}/npcs', { mode: 'no-cors' });
  found.opaque = opaque.type + ':' + (await opaque.text());
  await fetch('${target}/policy', { method: 'POST', mode: 'no-cors', body: '{"policy":"trust"}' })
    .catch(() => {});
  return found;
})();
</script>`;
  const server = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(page);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  cleanups.push(() => new Promise((resolve) => server.close(resolve)));
  return { port: server.address().port };
}
