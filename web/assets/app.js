// The alarm summary page. Every text from the server goes into the page
// through textContent, never as markup.
'use strict';

const PRIORITIES = {
  CRITICAL: { cls: 'p-critical', mark: '▲▲▲' },
  HIHI: { cls: 'p-hihi', mark: '▲▲' },
  HIGH: { cls: 'p-high', mark: '▲' },
  MEDIUM: { cls: 'p-medium', mark: '■' },
  LOW: { cls: 'p-low', mark: '▼' },
  LOLO: { cls: 'p-lolo', mark: '▼▼' },
  INFO: { cls: 'p-info', mark: '●' },
};
// Columns whose sort starts newest or most severe first.
const DESCENDING_FIRST = new Set([1, 2, 3]);

const state = {
  user: null, role: null, csrf: null,
  sort: -1, filter: '', count: 100,
  // Operator messages go to the side panel; the table shows them only when asked.
  inlineMessages: localStorage.getItem('tolvane.inlineMessages') === '1',
  // Which page: {mode: 'page', n} | {mode: 'after'|'before', token, n} |
  // {mode: 'last'} | {mode: 'ref', ref}. n counts from 0; after a step by
  // place it is our own count, exact while the view did not change.
  nav: { mode: 'page', n: 0 }, page: null, focusRef: null,
  selected: new Set(), rows: [],
  events: null, loading: false, again: false,
};

const $ = (id) => document.getElementById(id);

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

async function api(method, path, body) {
  const opts = { method, credentials: 'same-origin', headers: {} };
  if (method !== 'GET') {
    opts.headers['Content-Type'] = 'application/json';
    opts.headers['X-CSRF-Token'] = state.csrf || '';
    opts.body = JSON.stringify(body || {});
  }
  const res = await fetch(path, opts);
  let data = {};
  try { data = await res.json(); } catch (e) { data = { error: res.statusText }; }
  if (res.status === 401 && path !== '/api/login') showSignIn('Your session has ended; sign in again.');
  return { ok: res.ok, status: res.status, data };
}

const fmt = (n) => Number(n).toLocaleString('en-US');

function say(text, bad) {
  const m = $('message');
  m.textContent = text;
  m.classList.toggle('bad', !!bad);
}

// --- where the plant comes from ---

function drawSource(src) {
  const b = $('source-banner');
  if (!src) return;
  let text = '', cls = src.kind;
  if (src.kind === 'demo') {
    text = 'DEMO PLANT — built-in demonstration data, not a real plant; changes are not kept';
  } else if (src.kind === 'station') {
    if (!src.connected) {
      cls = 'offline';
      text = 'OFFLINE for ' + Math.round(src.offlineSeconds) + ' s — station ' + src.name +
        ' shows its last view (' + fmt(src.alarms) + ' alarms); actions fail until it is back';
    } else {
      text = 'Station ' + src.name + ' — ' + fmt(src.alarms) + ' alarms' +
        (src.complete ? '' : ' — VIEW INCOMPLETE');
      if (!src.complete) cls = 'offline';
      const stale = src.staleNodes || [];
      if (stale.length > 0) {
        cls = 'offline';
        text += ' — STALE: ' + stale.map((n) => n.node + (n.seconds < 0 ? ' (never heard)'
          : ' (no heartbeat for ' + n.seconds + ' s)')).join(', ') + '; their alarms may be old';
      }
    }
  }
  b.textContent = text;
  b.className = 'source-banner ' + cls;
  b.hidden = text === '';
  document.body.dataset.source = src.kind;
  document.title = (src.kind === 'demo' ? 'DEMO — ' : '') + 'Alarm summary — Tolvane';
  if (!src.store) document.querySelectorAll('.store-only').forEach((e) => { e.hidden = true; });
}

// --- sign-in ---

function showSignIn(why) {
  if (state.events) { state.events.close(); state.events = null; }
  state.user = state.role = state.csrf = null;
  $('app').hidden = true;
  $('signin').hidden = false;
  $('signin-error').textContent = why || '';
  $('signin-user').focus();
}

async function signIn(ev) {
  ev.preventDefault();
  $('signin-submit').disabled = true;
  const r = await api('POST', '/api/login',
    { user: $('signin-user').value, password: $('signin-password').value });
  $('signin-submit').disabled = false;
  $('signin-password').value = '';
  if (!r.ok) { $('signin-error').textContent = r.data.error || 'Sign-in failed'; return; }
  start(r.data);
}

async function signOut() {
  await api('POST', '/api/logout');
  showSignIn('Signed out.');
}

function start(session) {
  state.user = session.user; state.role = session.role; state.csrf = session.csrf;
  if (state.role !== 'operator') {
    // Viewers get no way to act: the controls leave the page.
    document.querySelectorAll('.operator-only').forEach((e) => e.remove());
  }
  $('who').textContent = state.user + ' (' + state.role + ')';
  drawTimeZone(session.times);
  $('signin').hidden = true;
  $('app').hidden = false;
  listen();
  refresh();
}

// Says in the time columns' headers which zone the times are in.
function drawTimeZone(t) {
  if (!t) return;
  const zone = t.zone === 'local' ? "the server's local time (now " + t.offset + ')'
    : t.zone === 'utc' ? 'UTC' : 'UTC' + t.zone;
  document.body.dataset.timeZone = t.zone;
  document.querySelectorAll('#alarms th.c-time').forEach((th) => { th.title = 'Times in ' + zone; });
}

// --- live updates ---

function listen() {
  if (state.events) state.events.close();
  const es = new EventSource('/api/events');
  state.events = es;
  es.onopen = () => { $('live').textContent = 'live'; $('live').className = 'live on'; state.lostAt = null; drawStale(); };
  es.onmessage = () => refresh();
  es.addEventListener('signed-out', () => showSignIn('Your session has ended; sign in again.'));
  es.onerror = async () => {
    $('live').textContent = 'reconnecting'; $('live').className = 'live off';
    if (!state.lostAt) state.lostAt = Date.now();
    drawStale();
    if (es.readyState === EventSource.CLOSED) {
      const r = await api('GET', '/api/session');
      if (r.ok) setTimeout(listen, 1000);
    }
  };
}

// Not live: the header turns red with the age of what is shown.
function drawStale() {
  const lost = state.user && state.lostAt;
  document.body.dataset.stale = lost ? '1' : '0';
  $('stale').hidden = !lost;
  if (lost) {
    const age = Math.round((Date.now() - state.lostAt) / 1000);
    $('stale-text').textContent = 'NOT LIVE — no updates for ' + age + ' s; what is shown may be out of date' +
      (state.shownAt ? ' (as of ' + state.shownAt + ')' : '');
  }
}
setInterval(drawStale, 1000);

// One fetch at a time; changes during one bring one more.
async function refresh() {
  if (state.loading) { state.again = true; return; }
  state.loading = true;
  try {
    do {
      state.again = false;
      const nav = state.nav;
      const q = new URLSearchParams({ sort: state.sort, count: state.count, filter: state.filter,
        records: state.inlineMessages ? 'all' : 'alarms' });
      if (nav.mode === 'page') q.set('page', nav.n);
      else if (nav.mode === 'after') q.set('after', nav.token);
      else if (nav.mode === 'before') q.set('before', nav.token);
      else if (nav.mode === 'last') q.set('last', '1');
      else if (nav.mode === 'ref') q.set('ref', nav.ref);
      const [alarms, journal, shelved, messages] = await Promise.all([
        api('GET', '/api/alarms?' + q), api('GET', '/api/journal?limit=200'), api('GET', '/api/shelved'),
        api('GET', '/api/alarms?records=messages&sort=-1&count=50')]);
      if (!state.user) return;
      if (alarms.ok) {
        if (settle(nav, alarms.data)) { state.again = true; continue; }
        if (held()) { state.pending = alarms.data; drawHeld(); } else drawAlarms(alarms.data);
      } else if (nav.mode === 'ref') {
        say(alarms.status === 404 ? 'Alarm ' + nav.ref + ' is not in this view (filtered out, shelved or gone)'
          : alarms.data.error, true);
        state.nav = state.page ? { mode: 'page', n: state.page.n } : { mode: 'page', n: 0 };
        state.again = true;
      } else if (nav.mode !== 'page' || nav.n !== 0) {
        // A place of another sort, or a page that went away: start over.
        say(alarms.data.error, true);
        state.nav = { mode: 'page', n: 0 };
        state.again = true;
      } else {
        say(alarms.data.error, true);
      }
      if (journal.ok) drawJournal(journal.data);
      if (messages.ok) drawMessages(messages.data);
      if (shelved.ok) drawShelved(shelved.data.shelved);
    } while (state.again);
  } finally {
    state.loading = false;
  }
}

// Takes what a page answer says about where it is; true when it asks for
// another page instead (past the end, or a step that found nothing).
function settle(nav, d) {
  if (state.nav !== nav) return true;  // the operator moved on meanwhile
  if (d.rows.length === 0 && d.matched > 0 && nav.mode !== 'last' && !(nav.mode === 'page' && nav.n === 0)) {
    state.nav = nav.mode === 'before' ? { mode: 'page', n: 0 } : { mode: 'last' };
    return true;
  }
  if (d.page !== null) {
    if (nav.mode === 'ref') {
      state.focusRef = d.focus ? d.focus.ref : null;
      state.nav = { mode: 'page', n: d.page };
    } else if (nav.mode === 'page') {
      nav.n = d.page;
    }
  } else if (d.atStart) {
    state.nav = { mode: 'page', n: 0 };  // back at the top: new alarms show there
  }
  const n = d.page !== null ? d.page : (d.atStart ? 0 : Math.min(nav.n, d.pages - 1));
  state.page = { n, pages: d.pages, first: d.first, last: d.last, atStart: d.atStart, atEnd: d.atEnd };
  return false;
}

function go(nav) {
  state.nav = nav;
  state.focusRef = null;
  refresh();
}

// --- drawing ---

function drawAlarms(d) {
  state.shownAt = d.now || state.shownAt;
  state.rows = d.rows;
  const refs = new Set(d.rows.map((r) => r.ref));
  for (const ref of [...state.selected]) if (!refs.has(ref)) state.selected.delete(ref);
  state.horn = d.horn;
  const arrived = updateRows($('rows'), d.rows);
  if (state.drawnOnce) annunciate(arrived.filter((tr) => tr.classList.contains('new')));
  state.drawnOnce = true;
  state.pending = null;
  drawHeld();
  const p = state.page;
  const from = p.n * state.count;
  $('summary').textContent = (d.rows.length
    ? 'Rows ' + fmt(from + 1) + '–' + fmt(from + d.rows.length) + ' of ' + fmt(d.matched)
    : 'No rows of ' + fmt(d.matched)) +
    (state.filter ? ' the filter selects (' + fmt(d.view.total) + ' in the summary)' : ' in the summary') +
    ' · ' + fmt(d.view.new) + ' new' + (d.view.shelved ? ' · ' + fmt(d.view.shelved) + ' shelved' : '') +
    ' · sequence ' + d.sequence;
  drawPager(p);
  document.querySelectorAll('#rows tr.focus').forEach((t) => t.classList.remove('focus'));
  if (state.focusRef) {
    const tr = document.querySelector('#rows tr[data-ref="' + CSS.escape(state.focusRef) + '"]');
    if (tr) { tr.classList.add('focus'); tr.scrollIntoView({ block: 'center' }); }
  }
  document.body.dataset.sequence = d.sequence;
  drawCounts(d.counts);
  drawSource(d.source);
  drawHorn(d.horn);
  drawSort();
  updateButtons();
  state.lastDrawn = Date.now();
}

// While the operator has rows selected the table holds still; what came
// meanwhile waits, said so, until the selection ends or Show now.
const held = () => state.selected.size > 0;
function drawHeld() {
  $('held').hidden = !(held() && state.pending);
}
function afterSelection() {
  if (!held() && state.pending) { const d = state.pending; state.pending = null; drawAlarms(d); }
  drawHeld();
  updateButtons();
}

// New alarms are announced while the horn sounds: a flash of the row and a
// tone (the browser plays it once the page has been clicked).
let audio = null;
function annunciate(rows) {
  if (!state.horn || !state.horn.enabled || state.horn.silenced || rows.length === 0) return;
  for (const tr of rows) {
    tr.classList.remove('arrived');
    void tr.offsetWidth;  // restart the animation
    tr.classList.add('arrived');
  }
  document.body.dataset.annunciated = Number(document.body.dataset.annunciated || 0) + rows.length;
  if (!audio) return;
  const o = audio.createOscillator();
  const g = audio.createGain();
  o.frequency.value = 880;
  g.gain.value = 0.15;
  o.connect(g).connect(audio.destination);
  o.start();
  o.stop(audio.currentTime + 0.25);
}

// A row's key: its reference, or for an operator message its time and text.
const rowKey = (r) => r.ref || ('msg ' + r.dateIn + ' ' + r.timeIn + ' ' + r.description);

// Updates the table in place: rows that stay keep their elements (and so
// focus, selection and the row under the pointer); only changed texts are
// set, and rows move only when their order changed.
function updateRows(body, rows) {
  const old = new Map();
  for (const tr of body.children) old.set(tr.dataset.key, tr);
  let at = body.firstElementChild;
  const seen = new Set();
  const arrived = [];
  for (const r of rows) {
    const key = rowKey(r);
    if (seen.has(key)) continue;
    seen.add(key);
    let tr = old.get(key);
    if (tr) fillRow(tr, r); else { tr = drawRow(r); arrived.push(tr); }
    if (tr !== at) body.insertBefore(tr, at); else at = at.nextElementSibling;
  }
  for (const [key, tr] of old) if (!seen.has(key)) tr.remove();
  return arrived;
}

// Every time on the page comes from the server already shown in the one
// zone and format it was started with (`serve --time-zone`, `--date-format`):
// rows as shownIn/shownLast, the journal as shown, the shelved list as
// shownUntil, the time of the last answer as now.
const shown = (text, fallback) => text || fallback || '';

// Text from the plant: isolated, so right-to-left or override characters
// reorder nothing outside it; the whole text on hover.
function setText(td, text) {
  if (td.dataset.text === text) return;
  td.dataset.text = text;
  td.title = text;
  const b = document.createElement('bdi');
  b.textContent = text;
  td.replaceChildren(b);
}

function drawPager(p) {
  $('page-first').disabled = p.atStart;
  $('page-prev').disabled = p.atStart;
  $('page-next').disabled = p.atEnd;
  $('page-last').disabled = p.atEnd;
  const input = $('page-number');
  if (document.activeElement !== input) input.value = p.n + 1;
  input.max = p.pages;
  $('page-count').textContent = 'of ' + fmt(p.pages);
  document.body.dataset.page = p.n;
  document.body.dataset.pages = p.pages;
}

function drawRow(r) {
  const tr = el('tr');
  tr.dataset.key = rowKey(r);
  if (state.role === 'operator') {
    const td = el('td', 'selcell');
    if (!r.message) {
      const box = el('input', 'select');
      box.type = 'checkbox';
      box.addEventListener('change', () => {
        const ref = tr.dataset.ref;
        if (box.checked) state.selected.add(ref); else state.selected.delete(ref);
        tr.classList.toggle('selected', box.checked);
        afterSelection();
      });
      td.appendChild(box);
    }
    tr.appendChild(td);
  }
  const ack = el('td', 'ackcell');
  ack.appendChild(el('span'));
  tr.appendChild(ack);
  for (const cls of ['time', 'time', 'node', 'tag', 'ref', 'priority', 'status', 'value', 'desc', 'areas']) {
    tr.appendChild(el('td', cls));
  }
  fillRow(tr, r);
  return tr;
}

function fillRow(tr, r) {
  const p = PRIORITIES[r.priority] || { cls: 'p-unknown', mark: '?' };
  const cls = [p.cls, r.message ? 'message' : (r.ack ? 'acked' : 'new')];
  if (state.selected.has(r.ref)) cls.push('selected');
  if (tr.classList.contains('focus')) cls.push('focus');
  if (tr.classList.contains('arrived')) cls.push('arrived');
  const want = cls.join(' ');
  if (tr.className !== want) tr.className = want;
  tr.dataset.ref = r.ref;
  const box = tr.querySelector('input.select');
  if (box) {
    if (box.checked !== state.selected.has(r.ref)) box.checked = state.selected.has(r.ref);
    box.setAttribute('aria-label', 'Select ' + r.tag + ' ' + r.ref);
  }
  const cells = tr.querySelectorAll('td:not(.selcell)');
  const ackText = r.message ? 'msg' : (r.ack ? 'ack' : 'NEW');
  if (cells[0].firstChild.textContent !== ackText) cells[0].firstChild.textContent = ackText;
  setText(cells[1], shown(r.shownIn));
  setText(cells[2], shown(r.shownLast));
  setText(cells[3], r.node);
  setText(cells[4], r.tag);
  setText(cells[5], r.ref);
  const prio = p.mark + ' ' + r.priority;
  if (cells[6].dataset.text !== prio) {
    cells[6].dataset.text = prio;
    cells[6].replaceChildren(el('span', 'prio', prio));
  }
  setText(cells[7], r.status);
  setText(cells[8], r.value);
  setText(cells[9], r.description);
  setText(cells[10], r.areas);
}

function drawCounts(c) {
  const box = $('counts');
  const frag = document.createDocumentFragment();
  for (const p of c.priorities) {
    const info = PRIORITIES[p.name] || { cls: '', mark: '' };
    const chip = el('span', 'count ' + info.cls, info.mark + ' ' + p.name + ' ' + fmt(p.alarms));
    chip.dataset.priority = p.name;
    frag.appendChild(chip);
  }
  frag.appendChild(el('span', 'count', 'New ' + fmt(c.new)));
  frag.appendChild(el('span', 'count', 'Shelved ' + fmt(c.shelved)));
  box.replaceChildren(frag);
}

function drawHorn(h) {
  const s = $('horn-state');
  s.textContent = 'Horn ' + (h.enabled ? (h.silenced ? 'enabled, silenced' : 'enabled') : 'disabled');
  s.className = 'horn-state ' + (h.enabled && !h.silenced ? 'sounding' : 'quiet');
  s.dataset.enabled = h.enabled;
  s.dataset.silenced = h.silenced;
}

function drawSort() {
  document.querySelectorAll('#alarms th[data-sort]').forEach((th) => {
    const code = Number(th.dataset.sort);
    th.setAttribute('aria-sort', Math.abs(state.sort) === code
      ? (state.sort > 0 ? 'ascending' : 'descending') : 'none');
  });
}

function drawJournal(data) {
  const entries = data.entries;
  const list = $('journal');
  const frag = document.createDocumentFragment();
  if (data.available === false) frag.appendChild(el('li', 'meta', 'No journal here: the nodes keep theirs'));
  for (const e of entries.slice().reverse()) {
    const li = el('li');
    li.appendChild(el('bdi', '', e.text));
    li.appendChild(el('span', 'meta', shown(e.shown, e.time) + (e.node ? ' · ' + e.node : '') + (e.user ? ' · ' + e.user : '')));
    frag.appendChild(li);
  }
  list.replaceChildren(frag);
}

// The newest operator messages of the summary, newest first.
function drawMessages(data) {
  const frag = document.createDocumentFragment();
  if (data.rows.length === 0) frag.appendChild(el('li', 'meta', 'No operator messages'));
  for (const r of data.rows) {
    const li = el('li');
    li.appendChild(el('bdi', '', r.description));
    li.appendChild(el('span', 'meta', shown(r.shownIn) + ' · ' + r.node));
    frag.appendChild(li);
  }
  if (data.matched > data.rows.length) {
    frag.appendChild(el('li', 'meta', fmt(data.matched - data.rows.length) + ' older not shown'));
  }
  $('opmsgs').replaceChildren(frag);
}

function drawShelved(items) {
  const list = $('shelved');
  const frag = document.createDocumentFragment();
  if (items.length === 0) frag.appendChild(el('li', 'meta', 'Nothing shelved'));
  for (const s of items) {
    const li = el('li');
    li.appendChild(el('bdi', '', s.tag));
    li.appendChild(document.createTextNode(' — '));
    li.appendChild(el('bdi', '', s.description));
    const meta = el('span', 'meta', 'until ' + shown(s.shownUntil, s.until) + ' · ' + s.user + ': ');
    meta.appendChild(el('bdi', '', s.reason));
    li.appendChild(meta);
    if (state.role === 'operator') {
      const b = el('button', '', 'Unshelve');
      b.type = 'button';
      b.addEventListener('click', () => act('/api/unshelve', { refs: [s.ref] }, 'Unshelved ' + s.tag));
      li.appendChild(b);
    }
    frag.appendChild(li);
  }
  list.replaceChildren(frag);
}

function updateButtons() {
  const n = state.selected.size;
  for (const id of ['ack-selected', 'delete-selected', 'shelve-selected']) {
    const b = $(id);
    if (b) b.disabled = n === 0;
  }
  const all = $('select-page');
  if (all) {
    const selectable = state.rows.filter((r) => !r.message);
    all.checked = selectable.length > 0 && selectable.every((r) => state.selected.has(r.ref));
  }
}

// --- actions ---

async function act(path, body, done) {
  const r = await api('POST', path, body);
  if (r.ok) say(done); else say(r.data.error || ('Failed: ' + r.status), true);
  if (r.ok) refresh();
  return r;
}

async function ackSelected() {
  const refs = [...state.selected];
  const r = await act('/api/ack', { refs }, 'Acknowledged ' + refs.length + ' alarm(s)');
  if (r.ok) { state.selected.clear(); afterSelection(); }
}

// Acknowledge-all asks once with the exact number it will act on, then
// says what was done. When the number changed meanwhile the server refuses
// (409) and we ask again with the new one.
async function ackAll() {
  const filter = state.filter;
  const r = await api('POST', '/api/ack-all/preview', { filter });
  if (!r.ok) { say(r.data.error || ('Failed: ' + r.status), true); return; }
  if (r.data.selected === 0) {
    say(filter ? 'The filter selects no new alarms: nothing to acknowledge.' : 'No new alarms: nothing to acknowledge.');
    return;
  }
  askAckAll(filter, r.data.selected, null);
}

function askAckAll(filter, n, was) {
  const box = $('ackall-confirm');
  $('ackall-question').textContent = (was !== null ? 'The number changed from ' + fmt(was) + ' to ' + fmt(n) + '. ' : '') +
    'Acknowledge ' + fmt(n) + ' new alarm' + (n === 1 ? '' : 's') +
    (filter ? ' selected by the filter ' + filter : ' in the whole summary (no filter)') + '?';
  $('ackall-yes').textContent = 'Acknowledge ' + fmt(n);
  box.dataset.count = n;
  box.dataset.filter = filter;
  box.hidden = false;
  $('ackall-no').focus();
}

function closeAckAll() { $('ackall-confirm').hidden = true; }

async function confirmAckAll() {
  const box = $('ackall-confirm');
  const n = Number(box.dataset.count);
  const filter = box.dataset.filter;
  closeAckAll();
  say('Acknowledging ' + fmt(n) + ' alarm(s)…');
  const r = await api('POST', '/api/ack-all', { filter, expect: n });
  if (r.status === 409) { askAckAll(filter, r.data.selected, n); return; }
  if (r.ok) say('Acknowledged ' + fmt(r.data.done) + ' of ' + fmt(r.data.selected) + ' new alarm(s).');
  else if (r.status === 502) say('Acknowledged only ' + fmt(r.data.done) + ' of ' + fmt(r.data.selected) + ': ' + r.data.error, true);
  else say(r.data.error || ('Failed: ' + r.status), true);
  refresh();
}

// Delete asks for a second click within five seconds.
let deleteArmed = null;
async function deleteSelected() {
  const b = $('delete-selected');
  if (!deleteArmed) {
    b.textContent = 'Delete ' + state.selected.size + '? Click again';
    b.classList.add('confirm');
    deleteArmed = setTimeout(disarmDelete, 5000);
    return;
  }
  disarmDelete();
  const refs = [...state.selected];
  const r = await act('/api/delete', { refs }, 'Deleted ' + refs.length + ' alarm(s)');
  if (r.ok) { state.selected.clear(); afterSelection(); }
}
function disarmDelete() {
  clearTimeout(deleteArmed);
  deleteArmed = null;
  const b = $('delete-selected');
  if (b) { b.textContent = 'Delete selected'; b.classList.remove('confirm'); }
}

async function shelveSelected() {
  const reason = $('shelve-reason').value.trim();
  if (!reason) { say('Give a reason to shelve', true); $('shelve-reason').focus(); return; }
  const refs = [...state.selected];
  const r = await act('/api/shelve', { refs, minutes: Number($('shelve-minutes').value), reason },
    'Shelved ' + refs.length + ' alarm(s)');
  if (r.ok) { state.selected.clear(); $('shelve-reason').value = ''; afterSelection(); }
}

// --- filter: checked as typed, applied when it parses ---

let filterTimer = null;
let filterAsked = 0;
async function checkFilter(applyNow) {
  const text = $('filter').value;
  const diag = $('filter-diag');
  const asked = ++filterAsked;
  const r = await api('GET', '/api/check?' + new URLSearchParams({ filter: text }));
  if (asked !== filterAsked) return;  // a later keystroke asked again
  const ok = r.ok && r.data.ok;
  $('filter').classList.toggle('bad', !ok);
  $('filter').setAttribute('aria-invalid', ok ? 'false' : 'true');
  diag.className = 'diag ' + (ok ? 'good' : 'bad');
  if (!r.ok) {
    diag.textContent = r.data.error || 'cannot check the filter';
  } else if (ok) {
    diag.textContent = text ? '✓ valid' : '';
    if (applyNow || text !== state.filter) {
      state.filter = text;
      closeAckAll();
      go({ mode: 'page', n: 0 });
    }
  } else {
    const pos = Math.max(0, r.data.position);
    diag.textContent = '✗ ' + r.data.reason + ' at column ' + (pos + 1) +
      (r.data.token ? ' (near "' + r.data.token + '")' : '') + '\n' + text + '\n' + ' '.repeat(pos) + '^';
  }
}

// --- wiring ---

function wire() {
  $('signin-form').addEventListener('submit', signIn);
  $('signout').addEventListener('click', signOut);
  $('filter').addEventListener('input', () => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(() => checkFilter(false), 250);
  });
  $('filter').addEventListener('keydown', (e) => {
    if (e.key === 'Enter') { clearTimeout(filterTimer); checkFilter(true); }
  });
  $('count').addEventListener('change', () => { state.count = Number($('count').value); go({ mode: 'page', n: 0 }); });
  $('inline-messages').checked = state.inlineMessages;
  $('inline-messages').addEventListener('change', () => {
    state.inlineMessages = $('inline-messages').checked;
    localStorage.setItem('tolvane.inlineMessages', state.inlineMessages ? '1' : '0');
    go({ mode: 'page', n: 0 });
  });
  $('page-first').addEventListener('click', () => go({ mode: 'page', n: 0 }));
  $('page-last').addEventListener('click', () => go({ mode: 'last' }));
  $('page-next').addEventListener('click', () => {
    const p = state.page;
    if (p && p.last) go({ mode: 'after', token: p.last, n: p.n + 1 });
  });
  $('page-prev').addEventListener('click', () => {
    const p = state.page;
    if (p && p.first) go({ mode: 'before', token: p.first, n: Math.max(0, p.n - 1) });
  });
  $('page-number').addEventListener('change', () => {
    const n = Math.floor(Number($('page-number').value));
    if (n >= 1) go({ mode: 'page', n: n - 1 });
  });
  $('jump-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const ref = $('jump-ref').value.trim().toUpperCase();
    if (ref) go({ mode: 'ref', ref });
  });
  document.querySelectorAll('#alarms th[data-sort]').forEach((th) => {
    const code = Number(th.dataset.sort);
    const b = el('button', '', th.textContent);
    b.type = 'button';
    b.title = 'Sort by ' + th.textContent + ' (sort code ' + code + ')';
    th.replaceChildren(b);
    b.addEventListener('click', () => {
      if (Math.abs(state.sort) === code) state.sort = -state.sort;
      else state.sort = DESCENDING_FIRST.has(code) ? -code : code;
      go({ mode: 'page', n: 0 });
    });
  });
  const on = (id, fn) => { const e = $(id); if (e) e.addEventListener('click', fn); };
  on('ack-selected', ackSelected);
  on('ack-all', ackAll);
  on('stale-refresh', () => { listen(); refresh(); });
  on('held-show', () => { const d = state.pending; if (d) drawAlarms(d); });
  // Sound may start only after the page was used.
  document.addEventListener('click', () => {
    if (!audio && window.AudioContext) audio = new AudioContext();
  }, { once: true });
  on('ackall-yes', confirmAckAll);
  on('ackall-no', () => { closeAckAll(); say('Nothing acknowledged.'); });
  on('delete-selected', deleteSelected);
  on('shelve-selected', shelveSelected);
  on('horn-silence', () => act('/api/horn', { action: 'silence' }, 'Horn silenced'));
  on('horn-enable', () => act('/api/horn', { action: 'enable' }, 'Horn enabled'));
  on('horn-disable', () => act('/api/horn', { action: 'disable' }, 'Horn disabled'));
  const all = $('select-page');
  if (all) all.addEventListener('change', () => {
    for (const r of state.rows) if (!r.message) {
      if (all.checked) state.selected.add(r.ref); else state.selected.delete(r.ref);
    }
    document.querySelectorAll('#rows input.select').forEach((b) => {
      b.checked = all.checked;
      b.closest('tr').classList.toggle('selected', all.checked);
    });
    afterSelection();
  });
  document.addEventListener('keydown', (e) => {
    const typing = /^(INPUT|SELECT|TEXTAREA)$/.test(document.activeElement.tagName);
    if (e.key === '/' && !typing) { e.preventDefault(); $('filter').focus(); }
    // Arrows move between rows, Space selects (the check box's own), A
    // acknowledges the selection.
    const inRow = document.activeElement && document.activeElement.classList.contains('select');
    if ((e.key === 'ArrowDown' || e.key === 'ArrowUp') && (inRow || !typing)) {
      const boxes = [...document.querySelectorAll('#rows input.select')];
      const i = boxes.indexOf(document.activeElement);
      const next = boxes[i < 0 ? 0 : Math.max(0, Math.min(boxes.length - 1, i + (e.key === 'ArrowDown' ? 1 : -1)))];
      if (next) { e.preventDefault(); next.focus(); next.closest('tr').scrollIntoView({ block: 'nearest' }); }
    }
    if ((e.key === 'a' || e.key === 'A') && (inRow || !typing) && state.selected.size && $('ack-selected')) {
      e.preventDefault();
      ackSelected();
    }
    if (!typing && e.key === 'PageDown' && !$('page-next').disabled) { e.preventDefault(); $('page-next').click(); }
    if (!typing && e.key === 'PageUp' && !$('page-prev').disabled) { e.preventDefault(); $('page-prev').click(); }
    if (e.key === 'Escape' && state.selected.size) {
      state.selected.clear();
      document.querySelectorAll('#rows input.select').forEach((b) => { b.checked = false; });
      document.querySelectorAll('#rows tr.selected').forEach((t) => t.classList.remove('selected'));
      afterSelection();
    }
  });
}

document.addEventListener('DOMContentLoaded', async () => {
  wire();
  api('GET', '/api/source').then((s) => { if (s.ok) drawSource(s.data); });
  const r = await api('GET', '/api/session');
  if (r.ok) start(r.data); else showSignIn('');
});
