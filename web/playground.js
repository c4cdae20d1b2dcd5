// Quillhaven playground: plays every NPC through the bridge's public HTTP API, as a game would.
//
// It is also a reference client: everything a game needs is here, and nothing else is used.
//
//   Follow an NPC   GET /npc/ID/events?since=N is a Server-Sent Events stream. Its first frame
//                   is "hello" (the NPC's state, workspace and conversation); then comes every
//                   event of the NPC's log after seq N, each one JSON object with "seq", "type"
//                   and "npc". Reconnect with since = the last seq seen: nothing is lost or
//                   shown twice. since=0 replays the whole log (the bridge keeps 2000 events).
//   Act             POST /npc/ID/ACTION with a small JSON body (say, interrupt, sleep,
//                   new_session, session, model, permission, workspace), and POST /policy for
//                   every NPC at once. What an action changes arrives as events on the stream;
//                   the answer of a POST only says whether it was taken.
//   Look up         GET /npcs, /models, /policy and /npc/ID/sessions for lists and menus.

// ---- Talking to the bridge ------------------------------------------------------------------

// GET a JSON document; throws when the bridge cannot be reached or answers with an error.
async function getJson(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${path}: HTTP ${response.status}`);
  return response.json();
}

// POST a JSON body. Returns { status, body }: the bridge answers refusals (400, 409, 503) with
// a JSON body too, which the caller shows. Throws only when the bridge cannot be reached.
async function postJson(path, body = {}) {
  const response = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  let answer = {};
  try {
    answer = await response.json();
  } catch {
    // An answer without a JSON body: the status says enough.
  }
  return { status: response.status, body: answer };
}

// The bridge takes an NPC id from the path exactly as it stands (no percent-decoding), so the
// page offers only ids that a browser sends unchanged.
const NPC_ID = /^[A-Za-z0-9._~-]+$/;
const validNpcId = (id) => NPC_ID.test(id) && id !== '.' && id !== '..';
const npcPath = (id, action) => `/npc/${id}/${action}`;

// ---- Small helpers --------------------------------------------------------------------------

// An element with a class and text; children may follow.
function el(tag, className, text, ...children) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = text;
  node.append(...children);
  return node;
}

// 83 -> "1:23"
function clock(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

// 1234 -> "1.2 s"
const duration = (ms) => (ms < 60000 ? `${(ms / 1000).toFixed(1)} s` : clock(ms / 1000));
const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;
const modelName = (model) => model || 'CLI default';
const shortId = (id) => (id ? id.slice(0, 8) : '');

// ---- Page-wide state ------------------------------------------------------------------------

const OPEN_KEY = 'quillhaven-playground-open';  // localStorage: ids of the open NPC panels
const panels = new Map();                       // NPC id -> NpcPanel
let modelMenu = { models: [], default: '' };    // GET /models

// How long an unanswered approval waits by default (--permission-timeout). The bridge does not
// report the value it runs with, so the page shows the time waited and names the default.
const DEFAULT_PERMISSION_TIMEOUT_S = 240;

// A browser opens at most six connections to one address, and every open panel holds one for
// its event stream: beyond four panels the page's own requests would wait for a free one.
const MAX_PANELS = 4;

function rememberOpenPanels() {
  localStorage.setItem(OPEN_KEY, JSON.stringify([...panels.keys()]));
}

function showPageError(message) {
  const box = document.getElementById('page-error');
  box.textContent = message || '';
  box.hidden = !message;
}

// ---- One NPC ---------------------------------------------------------------------------------

// The panel of one NPC: follows its event stream and turns each event into what the player
// sees. Everything shown is rebuilt from events, so a reload (since=0) gives the same view.
class NpcPanel {
  constructor(id) {
    this.id = id;
    this.lastSeq = 0;          // newest event shown; a reconnection asks for what follows it
    this.source = null;        // the EventSource of the stream
    this.retryDelay = 500;     // ms before the next reconnection attempt; doubles up to 5 s
    this.reply = null;         // the NPC's reply bubble that deltas stream into
    this.tools = new Map();    // tool use id -> its card
    this.approvals = new Map();// request id -> its open approval card
    this.sessionId = null;     // the conversation shown; null until the first hello
    this.model = '';           // the model the NPC is set to ("" is the CLI's default)
    this.resolved = '';        // the model name the agent reported
    this.pendingModel = null;  // a model change that applies when the current turn ends
    this.state = 'asleep';
    // What the events so far said, to tell a change worth a line in the log. The hello is not
    // used for this: it describes the present, while a stream from since=0 replays the past
    // after it. So a reloaded page writes the same lines as the page that saw them live.
    this.logged = { session: null, model: null, workspace: null };

    this.root = document.getElementById('panel-template').content.firstElementChild.cloneNode(true);
    this.root.dataset.npc = id;
    this.root.setAttribute('aria-label', `NPC ${id}`);
    this.find('.npc-name').textContent = id;
    this.log = this.find('.log');
    this.wireControls();
    document.getElementById('panels').append(this.root);
    this.renderModelMenu();
    this.connect();
  }

  find(selector) {
    return this.root.querySelector(selector);
  }

  // ---- The event stream ----

  connect() {
    const source = new EventSource(`${npcPath(this.id, 'events')}?since=${this.lastSeq}`);
    this.source = source;
    source.onmessage = (message) => this.receive(JSON.parse(message.data));
    source.onerror = () => {
      // EventSource would reconnect by itself, but with the same since= as the first time and
      // so with every event again. Close it and open a new stream from the last seq seen.
      source.close();
      if (this.source !== source) return;
      this.setLinkStatus('reconnecting…');
      this.scheduleReconnect();
    };
  }

  scheduleReconnect() {
    clearTimeout(this.retryTimer);
    this.retryTimer = setTimeout(() => this.reconnect(), this.retryDelay);
    this.retryDelay = Math.min(this.retryDelay * 2, 5000);
  }

  async reconnect() {
    if (this.source === null) return;  // the panel was closed
    let rows;
    try {
      rows = (await getJson('/npcs')).npcs;
    } catch {
      this.scheduleReconnect();  // the bridge is still out of reach
      return;
    }
    // A bridge that was restarted numbers events from 1 again: when it knows fewer events of
    // this NPC than were shown, what follows starts at its first event.
    const row = rows.find((r) => r.id === this.id);
    if ((row ? row.seq : 0) < this.lastSeq) {
      this.finishReply();
      this.closeApprovals('The bridge restarted.');
      this.addLine('divider', 'The bridge restarted; what follows is new.');
      this.lastSeq = 0;
    }
    this.connect();
  }

  receive(event) {
    if (event.type === 'hello') {
      this.hello(event);
      return;
    }
    // The stream sends only events after since=, but an event is shown once whatever happens.
    if (typeof event.seq !== 'number' || event.seq <= this.lastSeq) return;
    this.lastSeq = event.seq;
    const handler = this[`on_${event.type}`];
    if (handler) handler.call(this, event);
  }

  // "hello" opens every stream: where the NPC stands now. It is not part of the log.
  hello(event) {
    // The stream's request created the NPC if the bridge did not know it yet.
    if (this.sessionId === null) refreshKnown();
    this.retryDelay = 500;
    this.setLinkStatus('');
    this.setState(event.state);
    this.showWorkspace(event.workspace, event.is_default);
    this.showSession(event.session);
    this.syncFromListing();
  }

  // The NPC listing has what the hello and the events leave out: the model (not in the hello)
  // and the forgotten conversation after a move to another folder (no event says so).
  async syncFromListing() {
    let row;
    try {
      row = (await getJson('/npcs')).npcs.find((r) => r.id === this.id);
    } catch {
      return;
    }
    if (!row) return;
    if (this.pendingModel === null) {
      this.model = row.model;
      this.resolved = row.resolved_model;
      this.renderModelMenu();
    }
    if (row.session_id === '' && this.sessionId !== '') this.showSession({ session_id: '' });
  }

  // ---- The event vocabulary, one handler per "type" ----

  // The activity state: asleep (no agent process), idle, working, asking (waits for approval).
  on_state(event) {
    this.setState(event.value);
  }

  // The player's words, as the agent received them.
  on_said(event) {
    this.addBubble('player', 'Player', event.text);
  }

  // The next piece of the NPC's reply; all deltas up to "message_end" make one message.
  on_delta(event) {
    if (!this.reply) {
      this.reply = this.addBubble('npc', this.id, '');
      // The agent has written the player's words to its transcript by the time it replies;
      // the session event at the turn's start may have come before them, without a label.
      this.labelSession();
    }
    this.reply.querySelector('.text').textContent += event.text;
    this.scrollDown();
  }

  on_message_end() {
    this.finishReply();
    this.labelSession();
  }

  // A tool use: a card with what it works on, completed by its "tool_end".
  on_tool_start(event) {
    this.finishReply();
    const card = el('div', 'entry tool');
    card.dataset.toolId = event.id;
    card.append(
      el('div', 'card-head', null,
        el('span', `badge category cat-${event.category}`, event.category),
        el('strong', 'tool-name', event.name),
        el('span', 'tool-status', 'running…')),
    );
    if (event.detail) card.append(el('code', 'detail', event.detail));
    if (event.note) card.append(el('div', 'note', event.note));
    this.tools.set(event.id, card);
    this.append(card);
  }

  on_tool_end(event) {
    const card = this.tools.get(event.id);
    if (!card) return;
    card.classList.add(event.ok ? 'ok' : 'failed');
    card.querySelector('.tool-status').textContent = event.ok ? 'done' : 'failed';
    if (event.output) card.append(el('pre', 'output', event.output));
    this.scrollDown();
  }

  // A finished turn.
  on_result(event) {
    this.finishReply();
    const parts = [
      `done in ${duration(event.duration_ms)}`,
      plural(event.turns, 'turn'),
      plural(event.tools, 'tool'),
      `${event.input_tokens} in / ${event.output_tokens} out tokens`,
      `cache ${event.cache_write_tokens} written / ${event.cache_read_tokens} read`,
      `session cost $${Number(event.cost).toFixed(4)}`,
    ];
    this.addLine('result', parts.join(' · '));
    this.labelSession();
  }

  // Every 2 seconds while the NPC works.
  on_usage(event) {
    const ticker = this.find('.ticker');
    ticker.textContent = `working ${clock(event.elapsed_ms / 1000)} · ${plural(event.tools, 'tool')}`;
    ticker.hidden = this.state !== 'working';
  }

  on_error(event) {
    this.finishReply();
    this.addLine('error', event.message);
  }

  on_interrupted() {
    this.finishReply('cut');
    this.addLine('system', 'Interrupted.');
  }

  // The conversation: reported at every turn's start, and when one is started or resumed.
  on_session(event) {
    this.showSession(event);
    const sid = event.session_id;
    const before = this.logged.session;
    this.logged.session = sid;
    this.logged.model = event.model;
    if (before !== sid) {
      if (sid && event.resumed) {
        const label = event.label ? `: “${event.label}”` : '';
        this.addLine('system', `Resumed conversation ${shortId(sid)}${label}.`);
      } else if (sid) {
        this.addLine('system', `Conversation ${shortId(sid)} started.`);
      } else if (before !== null) {
        this.addLine('system', 'New conversation.');
      }
    }
    if (this.pendingModel === null) {
      this.model = event.model;
      this.resolved = event.resolved;
      this.renderModelMenu();
    }
  }

  // A model change: "pending" until the current turn ends, then applied.
  on_model(event) {
    if (event.pending) {
      this.pendingModel = event.model;
      this.addLine('system', `Model ${modelName(event.model)} requested; ` +
        `${modelName(event.current)} finishes this turn.`);
    } else {
      // Moving to another folder announces the model too, changed or not.
      const changed = event.model !== this.logged.model || this.pendingModel !== null;
      this.logged.model = event.model;
      this.pendingModel = null;
      this.model = event.model;
      this.resolved = event.resolved;
      if (changed) this.addLine('system', `Model: ${modelName(event.model)}.`);
    }
    this.renderModelMenu();
  }

  on_workspace(event) {
    this.showWorkspace(event.workspace, event.is_default);
    if (event.workspace === this.logged.workspace) return;
    this.logged.workspace = event.workspace;
    this.addLine('system', `Workspace: ${event.workspace}${event.is_default ? ' (default)' : ''}.`);
    // In another folder the bridge forgot the conversation; the listing tells.
    this.syncFromListing();
    if (this.find('.sessions').open) this.loadSessions();
  }

  // Under the "ask" policy: a tool use waits for the player.
  on_permission_request(event) {
    this.finishReply();
    const rid = event.request_id;
    const reason = el('input', 'reason');
    reason.placeholder = 'Reason (optional)';
    reason.setAttribute('aria-label', `Reason for ${event.name}`);
    const allow = el('button', 'allow', 'Allow');
    const deny = el('button', 'deny', 'Deny');
    allow.type = deny.type = 'button';
    allow.onclick = () => this.answer(rid, true, reason.value);
    deny.onclick = () => this.answer(rid, false, reason.value);
    // Enter in the reason field refuses: a reason is mostly given to say no.
    reason.onkeydown = (e) => {
      if (e.key === 'Enter') deny.click();
    };

    const card = el('div', 'entry approval');
    card.dataset.requestId = rid;
    card.setAttribute('role', 'group');
    card.setAttribute('aria-label', `Approve ${event.name}?`);
    card.append(
      el('div', 'card-head', null,
        el('span', `badge category cat-${event.category}`, event.category),
        el('strong', 'tool-name', event.name),
        el('span', 'ask-label', `${this.id} asks to use it`)),
      el('code', 'detail', event.detail || '(no details)'),
      el('div', 'actions', null, reason, allow, deny),
      el('div', 'waited'),
    );
    // When the page first saw the request; kept across reloads for the time shown.
    const key = `quillhaven-seen-${this.id}-${rid}`;
    card.dataset.seen = sessionStorage.getItem(key) || String(Date.now());
    sessionStorage.setItem(key, card.dataset.seen);
    this.approvals.set(rid, card);
    showWaited(card);
    this.append(card);
  }

  // Whoever answered (this page, another client, or the time-out): the card closes.
  on_permission_answered(event) {
    let outcome = event.allow ? 'Allowed' : 'Refused';
    if (!event.allow && event.reason === 'timeout') outcome = 'Nobody answered in time: refused';
    else if (event.reason) outcome += `: ${event.reason}`;
    this.closeApproval(event.request_id, outcome, event.allow ? 'allowed' : 'refused');
  }

  // The policy changed; it holds for every NPC.
  on_policy(event) {
    showPolicy(event.policy);
    this.addLine('system', `Policy: ${event.policy}.`);
  }

  // The agent runs in another permission mode than the policy asks for.
  on_policy_downgraded(event) {
    this.addLine('warning', `The agent runs in permission mode "${event.actual}", ` +
      `not "${event.wanted}" as the policy ${event.policy} asks (model ${event.model}).`);
  }

  // ---- What the panel shows ----

  setState(value) {
    this.state = value;
    showKnownState(this.id, value);
    this.root.dataset.state = value;
    const badge = this.find('.state');
    badge.textContent = value;
    badge.dataset.state = value;
    if (value !== 'working') this.find('.ticker').hidden = true;
    if (value === 'asleep') {
      // A stopped agent takes its pending approvals with it (they are refused).
      this.finishReply();
      this.closeApprovals('The conversation ended: refused');
    }
  }

  showWorkspace(folder, isDefault) {
    const input = this.find('.workspace');
    if (document.activeElement !== input) input.value = folder;
    input.title = isDefault ? 'The default folder' : 'Chosen for this NPC';
    this.find('.workspace-default').disabled = isDefault;
    this.root.dataset.workspaceDefault = isDefault;
  }

  showSession(session) {
    const previous = this.sessionId;
    const sid = session.session_id || '';
    this.sessionId = sid;
    this.sessionLabel = session.label || '';
    const box = this.find('.session');
    if (!sid) {
      box.textContent = 'new (starts with the next words)';
    } else {
      const label = session.label ? `“${session.label}”` : shortId(sid);
      box.textContent = `${label} · ${plural(session.messages, 'message')}`;
    }
    box.title = sid;
    if (this.find('.sessions').open && previous !== sid) this.loadSessions();
  }

  // A turn's "session" event can come before the agent has written the player's first words to
  // its transcript, so the conversation may still be unlabelled; once the NPC has answered, the
  // listing knows the label.
  async labelSession() {
    const sid = this.sessionId;
    if (!sid || this.sessionLabel) return;
    let found;
    try {
      found = (await getJson(npcPath(this.id, 'sessions'))).sessions.find((s) => s.session_id === sid);
    } catch {
      return;
    }
    if (found && found.label && this.sessionId === sid) this.showSession(found);
  }

  renderModelMenu() {
    const select = this.find('.model');
    const wanted = this.pendingModel ?? this.model;
    const names = ['', ...modelMenu.models];
    if (!names.includes(wanted)) names.push(wanted);
    select.replaceChildren(...names.map((name) => {
      const option = el('option', null, modelName(name));
      option.value = name;
      return option;
    }));
    select.value = wanted;
    const note = this.find('.model-note');
    if (this.pendingModel !== null) {
      note.textContent = `pending: ${modelName(this.model)} until this turn ends`;
      note.className = 'model-note pending';
    } else {
      note.textContent = this.resolved && this.resolved !== this.model ? `(${this.resolved})` : '';
      note.className = 'model-note';
    }
  }

  setLinkStatus(text) {
    this.find('.link-status').textContent = text;
  }

  showError(message) {
    const box = this.find('.panel-error');
    box.textContent = message || '';
    box.hidden = !message;
  }

  // ---- The conversation log ----

  append(node) {
    const nearBottom = this.log.scrollHeight - this.log.scrollTop - this.log.clientHeight < 60;
    this.log.append(node);
    if (nearBottom) this.scrollDown();
    return node;
  }

  scrollDown() {
    this.log.scrollTop = this.log.scrollHeight;
  }

  addBubble(kind, who, text) {
    return this.append(el('div', `entry bubble ${kind}`, null,
      el('span', 'who', who), el('div', 'text', text)));
  }

  addLine(kind, text) {
    return this.append(el('div', `entry line ${kind}`, text));
  }

  // The reply being streamed is complete (or was cut off).
  finishReply(how = 'done') {
    if (this.reply) this.reply.classList.add(how);
    this.reply = null;
  }

  closeApproval(rid, outcome, kind) {
    const card = this.approvals.get(rid);
    if (!card) return;
    this.approvals.delete(rid);
    sessionStorage.removeItem(`quillhaven-seen-${this.id}-${rid}`);
    card.classList.add('closed', kind);
    card.querySelector('.actions').remove();
    card.querySelector('.waited').replaceWith(el('div', 'outcome', outcome));
  }

  closeApprovals(outcome) {
    for (const rid of [...this.approvals.keys()]) this.closeApproval(rid, outcome, 'refused');
  }

  // ---- The player's controls ----

  // Runs one POST and shows a refusal; returns the answer, or null when the bridge is away.
  async act(action, body) {
    this.showError('');
    try {
      const answer = await postJson(npcPath(this.id, action), body);
      if (answer.status !== 200) {
        this.showError(answer.body.error || `${action} was refused (HTTP ${answer.status})`);
      }
      return answer;
    } catch {
      this.showError('The bridge cannot be reached.');
      return null;
    }
  }

  async answer(rid, allow, reason) {
    const answer = await this.act('permission', { request_id: rid, allow, reason });
    // 409: nobody waits for this answer any more (answered elsewhere, timed out or stopped).
    if (answer && answer.status === 409) {
      this.showError('');
      this.closeApproval(rid, 'No longer waiting for an answer', 'refused');
    }
  }

  wireControls() {
    const say = this.find('.say');
    say.setAttribute('aria-label', `Say to ${this.id}`);
    this.find('.say-form').onsubmit = async (e) => {
      e.preventDefault();
      const text = say.value;
      if (!text.trim()) return;
      say.value = '';
      const answer = await this.act('say', { text });
      // 503: the words did not reach an agent (the reason arrives as an "error" event).
      if (answer && answer.status === 503) this.showError('The NPC could not take the words.');
      if ((!answer || answer.status !== 200) && !say.value) say.value = text;
    };
    // Enter sends; Shift+Enter starts a new line.
    say.onkeydown = (e) => {
      if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
        e.preventDefault();
        this.find('.say-form').requestSubmit();
      }
    };

    this.find('.interrupt').onclick = () => this.act('interrupt');
    this.find('.sleep').onclick = () => this.act('sleep');
    this.find('.new-session').onclick = () => this.act('new_session');
    this.find('.model').onchange = (e) => this.act('model', { model: e.target.value });

    this.find('.workspace').setAttribute('aria-label', `Workspace folder of ${this.id}`);
    this.find('.workspace-form').onsubmit = (e) => {
      e.preventDefault();
      this.act('workspace', { workspace: this.find('.workspace').value });
    };
    // An empty folder means the bridge's default folder.
    this.find('.workspace-default').onclick = () => this.act('workspace', { workspace: '' });

    this.find('.sessions').ontoggle = (e) => {
      if (e.target.open) this.loadSessions();
    };
    this.find('.close').setAttribute('aria-label', `Close the panel of ${this.id}`);
    this.find('.close').onclick = () => closePanel(this.id);
  }

  // The earlier conversations of the NPC's workspace, newest first.
  async loadSessions() {
    const list = this.find('.session-list');
    let sessions;
    try {
      sessions = (await getJson(npcPath(this.id, 'sessions'))).sessions;
    } catch {
      list.replaceChildren(el('li', 'muted', 'The bridge cannot be reached.'));
      return;
    }
    if (sessions.length === 0) {
      list.replaceChildren(el('li', 'muted', 'No conversations in this workspace yet.'));
      return;
    }
    list.replaceChildren(...sessions.map((s) => {
      const title = s.title || s.label || shortId(s.session_id);
      const started = s.started ? new Date(s.started).toLocaleString() : '';
      const item = el('li', 'session-item', null,
        el('span', 'session-title', title),
        el('span', 'muted', [started, plural(s.messages, 'message')].filter(Boolean).join(' · ')));
      item.title = s.session_id;
      if (s.current) {
        item.append(el('span', 'badge current', 'current'));
      } else if (s.in_use_by) {
        item.append(el('span', 'badge in-use', `in use by ${s.in_use_by}`));
      } else {
        const resume = el('button', 'resume', 'Resume');
        resume.type = 'button';
        resume.setAttribute('aria-label', `Resume “${title}”`);
        resume.onclick = () => this.act('session', { session_id: s.session_id });
        item.append(resume);
      }
      return item;
    }));
  }

  close() {
    const source = this.source;
    this.source = null;
    clearTimeout(this.retryTimer);
    if (source) source.close();
    this.root.remove();
  }
}

// ---- Page-wide controls ---------------------------------------------------------------------

function openPanel(id, focus = true) {
  if (!panels.has(id) && panels.size >= MAX_PANELS) {
    showPageError(`At most ${MAX_PANELS} NPCs can be open at once: close one first.`);
    return;
  }
  if (!panels.has(id)) {
    panels.set(id, new NpcPanel(id));
    rememberOpenPanels();
    refreshKnown();
  }
  if (focus) panels.get(id).find('.say').focus();
}

function closePanel(id) {
  const panel = panels.get(id);
  if (!panel) return;
  panel.close();
  panels.delete(id);
  rememberOpenPanels();
  refreshKnown();
}

// The time an open approval has waited.
function showWaited(card) {
  const waited = (Date.now() - Number(card.dataset.seen)) / 1000;
  card.querySelector('.waited').textContent = `Waiting ${clock(waited)} · refused on its own ` +
    `after ${clock(DEFAULT_PERMISSION_TIMEOUT_S)} (the bridge's default time-out)`;
}

function tickApprovals() {
  for (const panel of panels.values()) panel.approvals.forEach(showWaited);
}

function showPolicy(policy) {
  for (const radio of document.querySelectorAll('#policy input')) {
    radio.checked = radio.value === policy;
  }
}

// The NPCs the bridge knows, with their states; polled while the page is visible.
async function refreshKnown() {
  let rows;
  try {
    rows = (await getJson('/npcs')).npcs;
  } catch {
    showPageError('The bridge cannot be reached.');
    return;
  }
  showPageError('');
  rows.sort((a, b) => a.id.localeCompare(b.id));
  const list = document.getElementById('known-list');
  list.replaceChildren(...rows.map((row) => {
    const button = el('button', 'known-npc', null,
      el('span', null, row.id), el('span', 'badge state'));
    button.type = 'button';
    button.dataset.npc = row.id;
    button.setAttribute('aria-pressed', String(panels.has(row.id)));
    button.disabled = !validNpcId(row.id);
    button.onclick = () => openPanel(row.id);
    return el('li', null, null, button);
  }));
  // An open panel knows its NPC's state sooner than the listing.
  for (const row of rows) showKnownState(row.id, panels.get(row.id)?.state ?? row.state);
  document.getElementById('known-empty').hidden = rows.length > 0;
}

function showKnownState(id, state) {
  for (const button of document.querySelectorAll('#known-list .known-npc')) {
    if (button.dataset.npc !== id) continue;
    const badge = button.querySelector('.state');
    badge.textContent = state;
    badge.dataset.state = state;
  }
}

async function start() {
  document.getElementById('open-form').onsubmit = (e) => {
    e.preventDefault();
    const input = document.getElementById('open-id');
    const id = input.value.trim();
    if (!validNpcId(id)) return;
    input.value = '';
    openPanel(id);
  };

  for (const radio of document.querySelectorAll('#policy input')) {
    radio.onchange = async () => {
      const answer = await postJson('/policy', { policy: radio.value }).catch(() => null);
      if (!answer || answer.status !== 200) {
        showPageError(answer ? answer.body.error : 'The bridge cannot be reached.');
        getJson('/policy').then((p) => showPolicy(p.policy)).catch(() => {});
      }
    };
  }

  try {
    const [policy, models] = await Promise.all([getJson('/policy'), getJson('/models')]);
    showPolicy(policy.policy);
    modelMenu = models;
  } catch {
    showPageError('The bridge cannot be reached.');
  }

  // The panels that were open before the page was loaded again, rebuilt from their logs.
  let open = [];
  try {
    open = JSON.parse(localStorage.getItem(OPEN_KEY) || '[]');
  } catch {
    // Nothing usable remembered.
  }
  for (const id of open) if (validNpcId(id)) openPanel(id, false);
  refreshKnown();

  setInterval(tickApprovals, 1000);
  setInterval(() => {
    if (!document.hidden) refreshKnown();
  }, 4000);
}

start();
