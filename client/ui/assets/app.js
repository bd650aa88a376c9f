// The setup page: the list of appliances, the settings form of the one chosen, its password
// and its printer. Everything goes through the API of `dssetup ui`, which checks settings by
// the rules of `dssetup set` and talks to the appliances; text from the network is only ever
// put into the page as text.
'use strict';

const byId = (id) => document.getElementById(id);

const SEARCH_EVERY_MS = 5000;
const LIST_POLL_MS = 300;
const CHECK_DELAY_MS = 250;
const LIST_TOOLS_FROM = 10;  // appliances from which the list can be filtered and sorted
const KEY_ITEM = 'dssetup-ui-key';

const words = {
  static: 'Fixed address',
  dhcp: 'From a DHCP server',
};

let key = '';             // this run's key: read once from the address, then kept for the tab
let started = false;
let keys = null;          // the form's keys and groups, from the program
let selected = '';        // MAC address of the appliance shown
let readValues = null;    // its settings as last read (key name -> text), the clock moved on
let readSettings = null;  // ... and the whole answer
let checkTimer = 0;
let checkSerial = 0;
let lastCheck = null;
let applying = false;
const rows = new Map();   // MAC address -> table row
let firstListShown = false;
const heard = new Map();  // MAC address -> what the list last told of it, for the news

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// ---- The key ----

// A keyed address (…/#key=K) gives the key: kept in the tab's session storage, and the address
// shown and kept in the tab's history is the page's own, without it. True when there was one.
function takeKey() {
  const k = new URLSearchParams(location.hash.slice(1)).get('key');
  if (k === null) {
    return false;
  }
  if (/^[0-9a-f]{32}$/.test(k)) {
    key = k;
    try {
      sessionStorage.setItem(KEY_ITEM, k);
    } catch (e) {
      // Without storage the key lasts as long as the page.
    }
  }
  history.replaceState(null, '', location.pathname + location.search);
  return true;
}

function keptKey() {
  try {
    return sessionStorage.getItem(KEY_ITEM) || '';
  } catch (e) {
    return '';
  }
}

function forgetKey() {
  key = '';
  try {
    sessionStorage.removeItem(KEY_ITEM);
  } catch (e) {
    // nothing kept
  }
}

async function api(method, path, body, raw) {
  const headers = {'X-DSSetup-Token': key};
  const init = {method, headers, cache: 'no-store'};
  if (raw !== undefined) {
    headers['Content-Type'] = 'application/octet-stream';
    init.body = raw;
  } else if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    notice('dssetup ui does not answer: is it still running? Start it again and open the address it prints.');
    throw new ApiError(0, 'dssetup ui does not answer');
  }
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = {};
  }
  if (response.status === 403 && path.startsWith('/api/')) {
    forgetKey();
    notice('This page does not hold the key of this run of dssetup ui. Open (or paste here) the address it printed.');
  }
  if (!response.ok) {
    throw new ApiError(response.status, data.error || ('the request failed with HTTP ' + response.status));
  }
  return data;
}

function notice(text) {
  const n = byId('notice');
  n.textContent = text;
  n.hidden = !text;
}

function say(id, text, kind) {
  const e = byId(id);
  e.textContent = text;
  if (kind !== undefined) {
    e.className = kind;
  }
}

function element(tag, attributes, text) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    e.setAttribute(name, value);
  }
  if (text !== undefined) {
    e.textContent = text;
  }
  return e;
}

function sentence(text) {
  const t = String(text || '');
  return t.charAt(0).toUpperCase() + t.slice(1) + (/[.!?]$/.test(t) ? '' : '.');
}

// A failure told once: "Printing failed: " before a message that does not say so itself.
function failed(prefix, subject, error) {
  const text = sentence(error);
  return text.toLowerCase().startsWith(subject) ? text : prefix + text;
}

// A message and, apart, the appliance's status number ("status -307") as a detail.
function withDetail(out, text, detail, kind) {
  out.replaceChildren(element('p', {}, text));
  if (detail) {
    out.append(element('p', {class: 'detail'}, 'Details: ' + detail + '.'));
  }
  if (kind !== undefined) {
    out.className = kind;
  }
}

// A line that counts the seconds while something is awaited: "Reading the settings… 12 s".
const waits = new Map();
function waiting(id, text) {
  stopWaiting(id);
  const since = performance.now();
  const show = () => {
    const s = Math.floor((performance.now() - since) / 1000);
    say(id, text + '…' + (s >= 1 ? ' ' + s + ' s' : ''));
  };
  show();
  waits.set(id, setInterval(show, 1000));
}

function stopWaiting(id) {
  clearInterval(waits.get(id));
  waits.delete(id);
}

function label(name) {
  return keys && keys.keys[name] ? keys.keys[name].label : name;
}

function labels(names) {
  return names.map(label).join(', ');
}

// Moves focus to an element of the page without changing the address (a link's #… would).
function focusOn(target) {
  if (target) {
    target.focus();
    target.scrollIntoView({block: 'nearest'});
  }
}

function linkTo(field, text) {
  const link = element('a', {href: '#' + fieldId(field)}, text);
  link.addEventListener('click', (event) => {
    event.preventDefault();
    focusOn(input(field));
  });
  return link;
}

// ---- The list ----

// "10:42" of a time in seconds since 1970.
function clock(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit'});
}

function setCell(cell, text) {
  if (cell.textContent !== text) {
    cell.textContent = text;
  }
}

function nameOf(a) {
  return a.name || a.mac;
}

// What the list tells of an appliance, in words; the news when it changes.
function stateOf(a) {
  if (a.busy) {
    return 'settings being applied';
  }
  const marks = [];
  if (a.note === 'restored') {
    marks.push('restored at ' + clock(a.note_at));
  } else if (a.note === 'other settings') {
    marks.push('holds other settings since ' + clock(a.note_at));
  } else if (a.note === 'not answering') {
    marks.push('new settings kept at ' + clock(a.note_at));
  }
  if (!a.answering) {
    marks.push(a.last_answer ? 'not answering since ' + clock(a.last_answer) : 'no answer');
  }
  return marks.join('; ');
}

function rowFor(a) {
  let row = rows.get(a.mac);
  if (!row) {
    row = element('tr');
    const name = element('td');
    const pick = element('button', {type: 'button', class: 'pick'});
    pick.addEventListener('click', () => choose(a.mac));
    name.append(pick);
    row.append(name, element('td', {class: 'mono', 'data-label': 'MAC address'}),
               element('td', {class: 'mono', 'data-label': 'IP address'}),
               element('td', {'data-label': 'Version'}), element('td', {'data-label': 'Password'}));
    row.dataset.mac = a.mac;
    rows.set(a.mac, row);
  }
  const [name, mac, address, version, password] = row.cells;
  const pick = name.firstChild;
  // An appliance whose answer reported a failure says which, in words.
  const title = a.name || (a.status_text ? 'name unknown: ' + a.status_text.replace(/^-?\d+ \((.*)\)$/, '$1')
                                         : 'name unknown');
  setCell(pick, a.name || '(' + title + ')');
  pick.setAttribute('aria-label', title + ', ' + a.mac + (a.mac === selected ? ', shown below' : ''));
  setCell(mac, a.mac);
  const state = stateOf(a);
  setCell(address, a.address + (state ? ' (' + state + ')' : ''));
  setCell(version, a.version || '…');
  setCell(password, a.password_set ? 'set' : 'not set');
  row.classList.toggle('selected', a.mac === selected);
  row.classList.toggle('silent', !a.answering && !a.busy);
  if (a.mac === selected) {
    row.setAttribute('aria-current', 'true');
  } else {
    row.removeAttribute('aria-current');
  }
  row.dataset.name = (a.name || '').toLowerCase();
  row.dataset.address = a.address;
  row.dataset.silent = a.answering || a.busy ? '1' : '0';
  row.dataset.text = (a.name + ' ' + a.mac + ' ' + a.address).toLowerCase();
  return row;
}

// Addresses in the order of their numbers.
function addressOrder(text) {
  return text.split('.').map((n) => n.padStart(3, '0')).join('.');
}

function sortKey(row, how) {
  switch (how) {
    case 'name':
      return row.dataset.name + ' ' + row.dataset.mac;
    case 'address':
      return addressOrder(row.dataset.address);
    case 'silent':
      return row.dataset.silent + ' ' + row.dataset.mac;
    default:
      return row.dataset.mac;
  }
}

let listed = [];  // the appliances as last listed

// The rows in the order chosen, those the filter leaves shown; rows move only when they must.
function arrange() {
  const body = byId('list-body');
  const how = byId('sort').value;
  const tools = listed.length >= LIST_TOOLS_FROM;
  byId('list-tools').hidden = !tools;
  const filter = tools ? byId('filter').value.trim().toLowerCase() : '';
  const ordered = listed.map((a) => rows.get(a.mac));
  if (tools && how !== 'mac') {
    ordered.sort((x, y) => (sortKey(x, how) < sortKey(y, how) ? -1 : sortKey(x, how) > sortKey(y, how) ? 1 : 0));
  }
  let previous = null;
  let shown = 0;
  for (const row of ordered) {
    const expected = previous ? previous.nextSibling : body.firstChild;
    if (row !== expected) {
      body.insertBefore(row, expected);
    }
    previous = row;
    const hide = filter !== '' && !row.dataset.text.includes(filter);
    if (row.hidden !== hide) {
      row.hidden = hide;
    }
    shown += hide ? 0 : 1;
  }
  say('filter-state', filter ? shown + ' of ' + listed.length + ' shown' : '');
}

// What changed since the list was last shown, for the live region: new appliances, ones that
// stopped answering or answer again. Nothing when nothing changed.
function news(appliances) {
  const lines = [];
  const fresh = [];
  for (const a of appliances) {
    const before = heard.get(a.mac);
    const now = a.answering || a.busy;
    if (before === undefined) {
      fresh.push(nameOf(a));
    } else if (before && !now) {
      lines.push(nameOf(a) + ' stopped answering.');
    } else if (!before && now) {
      lines.push(nameOf(a) + ' answers again.');
    }
    heard.set(a.mac, now);
  }
  if (fresh.length > 0) {
    const count = appliances.length === 1 ? '1 appliance' : appliances.length + ' appliances';
    lines.unshift(fresh.length === appliances.length ? count + ' found.'
                  : fresh.length > 3 ? fresh.length + ' more found: ' + count + '.'
                  : fresh.join(', ') + ' found.');
  }
  return lines.join(' ');
}

function showList(data) {
  const seen = new Set();
  listed = data.appliances;
  for (const a of listed) {
    seen.add(a.mac);
    rowFor(a);
  }
  for (const [mac, row] of rows) {
    if (!seen.has(mac)) {
      row.remove();
      rows.delete(mac);
    }
  }
  arrange();
  const count = listed.length;
  byId('list-empty').hidden = count > 0;
  say('list-count', count === 1 ? '1 appliance' : count + ' appliances');
  say('list-searching', data.searching ? 'searching…' : '');
  const told = news(listed);
  if (told) {
    say('list-state', told);
  }
  if (count > 0 && !firstListShown) {
    firstListShown = true;
    document.documentElement.dataset.firstList = String(Math.round(performance.now()));
  }
  const shown = listed.find((a) => a.mac === selected);
  if (shown && readSettings && !applying) {
    showPassword(shown.password_set);
  }
}

async function refreshList() {
  try {
    const data = await api('GET', '/api/appliances');
    showList(data);
    return data;
  } catch (e) {
    return null;
  }
}

let searching = false;
async function search() {
  if (searching || !key) {
    return;
  }
  searching = true;
  try {
    await api('POST', '/api/search');
    for (;;) {
      const data = await refreshList();
      if (!data || !data.searching) {
        break;
      }
      await sleep(LIST_POLL_MS);
    }
  } catch (e) {
    // told by api()
  } finally {
    searching = false;
  }
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function addTyped(event) {
  event.preventDefault();
  const address = byId('add-address').value.trim();
  if (!address) {
    say('add-state', 'Type the IP address of the appliance.');
    return;
  }
  waiting('add-state', 'Asking ' + address);
  try {
    const r = await api('POST', '/api/appliances', {address});
    stopWaiting('add-state');
    if (r.ok) {
      say('add-state', 'Added ' + nameOf(r.appliance) + '.');
      byId('add-address').value = '';
      await refreshList();
    } else {
      say('add-state', sentence(r.error));
    }
  } catch (e) {
    stopWaiting('add-state');
    say('add-state', sentence(e.message));
  }
}

// ---- The form ----

function fieldId(name) {
  return 'f-' + name;
}

function isSwitch(k) {
  return k.choices.length === 2 && k.choices[0] === 'on' && k.choices[1] === 'off';
}

function buildForm() {
  const groups = byId('groups');
  groups.replaceChildren();
  for (const g of keys.groups) {
    const set = element('fieldset', {id: 'g-' + g.id});
    set.append(element('legend', {}, g.title));
    for (const name of g.keys) {
      const k = keys.keys[name];
      const field = element('div', {class: 'field'});
      const id = fieldId(name);
      // What the setting is for, then the form of its value.
      const hint = element('p', {class: 'hint', id: 'h-' + name},
                           [k.help, k.choices.length ? '' : sentence(k.form)].filter(Boolean).join(' '));
      const error = element('p', {class: 'error', id: 'e-' + name});
      const described = ['h-' + name, 'e-' + name];
      let control;
      if (isSwitch(k)) {
        control = element('select', {id, name});
        control.append(element('option', {value: 'on'}, 'On'), element('option', {value: 'off'}, 'Off'));
      } else if (k.choices.length > 0) {
        control = element('select', {id, name});
        for (const c of k.choices) {
          control.append(element('option', {value: c}, words[c] || c));
        }
      } else {
        control = element('input', {id, name, type: 'text', autocomplete: 'off', spellcheck: 'false'});
      }
      field.append(element('label', {for: id}, k.label), control);
      if (name === 'date') {
        // The date as a person reads it.
        field.append(element('p', {class: 'reads', id: 'r-date'}));
        described.push('r-date');
      }
      field.append(hint, error);
      control.setAttribute('aria-describedby', described.join(' '));
      control.addEventListener('input', formChanged);
      control.addEventListener('change', formChanged);
      set.append(field);
    }
    if (g.id === 'clock') {
      const field = element('div', {class: 'field'});
      const box = element('input', {type: 'checkbox', id: 'now'});
      box.addEventListener('change', formChanged);
      const text = element('label', {for: 'now'});
      text.append(box, document.createTextNode(" Set them from this PC's clock"));
      field.append(element('span'), text, element('p', {class: 'hint'},
        'Unless changed here, the appliance keeps its own date and time.'));
      set.append(field);
    }
    groups.append(set);
  }
}

function input(name) {
  return byId(fieldId(name));
}

function fillForm(values) {
  for (const name of Object.keys(keys.keys)) {
    const e = input(name);
    if (e && values[name] !== undefined) {
      e.value = values[name];
    }
  }
  byId('now').checked = false;
  dependants();
  showDate();
}

// Fields the appliance does not use in DHCP mode (or without its DHCP server) are shown as
// read and cannot be changed.
function dependants() {
  const dhcp = input('mode').value === 'dhcp';
  for (const name of ['ip', 'netmask', 'gateway', 'dhcp-server']) {
    lock(name, dhcp);
  }
  const server = input('dhcp-server').value === 'on' && !dhcp;
  for (const name of ['dhcp-start', 'dhcp-end']) {
    lock(name, !server);
  }
  lock('wins-server', input('wins').value !== 'on');
  const now = byId('now').checked;
  lock('date', now);
  lock('time', now);
}

function lock(name, locked) {
  const e = input(name);
  if (locked && !e.disabled && readValues) {
    e.value = readValues[name];
  }
  e.disabled = locked;
}

// The keys whose value differs from what was read, as `dssetup set` takes them.
function changes() {
  const out = {};
  for (const name of Object.keys(keys.keys)) {
    const e = input(name);
    if (!e.disabled && e.value !== readValues[name]) {
      out[name] = e.value;
    }
  }
  // Off in DHCP mode is what the appliance does itself: the program adds it.
  if (input('mode').value === 'dhcp') {
    delete out['dhcp-server'];
  }
  return out;
}

function formChanged(event) {
  dependants();
  if (event && event.target === input('date')) {
    showDate();
  }
  clearTimeout(checkTimer);
  checkTimer = setTimeout(check, CHECK_DELAY_MS);
}

// ---- The appliance's clock, moving on while the form is open ----

let clockBase = 0;   // the appliance's date and time when read, in ms (as UTC fields)
let clockRead = 0;   // performance.now() then

function parseClock(date, time) {
  const d = /^(\d\d)\/(\d\d)\/(\d{4})$/.exec(date || '');
  const t = /^(\d\d):(\d\d):(\d\d)$/.exec(time || '');
  if (!d || !t) {
    return NaN;
  }
  return Date.UTC(+d[3], +d[1] - 1, +d[2], +t[1], +t[2], +t[3]);
}

const two = (n) => String(n).padStart(2, '0');

function clockTexts(ms) {
  const d = new Date(ms);
  return {
    date: two(d.getUTCMonth() + 1) + '/' + two(d.getUTCDate()) + '/' + d.getUTCFullYear(),
    time: two(d.getUTCHours()) + ':' + two(d.getUTCMinutes()) + ':' + two(d.getUTCSeconds()),
  };
}

// The date field as a person reads it ("Sunday, 12 July 2026").
function showDate() {
  const out = byId('r-date');
  if (!out) {
    return;
  }
  const ms = parseClock(input('date').value, '00:00:00');
  out.textContent = Number.isNaN(ms) ? ''
    : new Date(ms).toLocaleDateString('en-GB', {weekday: 'long', day: 'numeric', month: 'long', year: 'numeric', timeZone: 'UTC'});
}

// Each second: the date and time fields that are not being changed show the appliance's
// clock now; what was read moves on with them, so that they are not taken for changes.
function tick() {
  if (!readValues || Number.isNaN(clockBase) || applying) {
    return;
  }
  const now = clockTexts(clockBase + (performance.now() - clockRead));
  for (const name of ['date', 'time']) {
    const e = input(name);
    if (e.disabled || (e.value === readValues[name] && document.activeElement !== e)) {
      e.value = now[name];
      readValues[name] = now[name];
    }
  }
  showDate();
}

// ---- Checks ----

async function check() {
  if (!readValues) {
    return null;
  }
  const serial = ++checkSerial;
  const body = {changes: changes(), now: byId('now').checked};
  try {
    const r = await api('POST', '/api/appliances/' + selected + '/check', body);
    if (serial === checkSerial) {
      showCheck(r);
    }
    return r;
  } catch (e) {
    say('changes', sentence(e.message));
    return null;
  }
}

function showCheck(r) {
  lastCheck = r;
  const bad = new Map();
  for (const p of r.problems) {
    const list = bad.get(p.field) || [];
    list.push(sentence(p.message));
    bad.set(p.field, list);
  }
  // Every field's problems next to it, all at once.
  for (const name of Object.keys(keys.keys)) {
    const messages = bad.get(name) || [];
    byId('e-' + name).textContent = messages.join(' ');
    input(name).setAttribute('aria-invalid', messages.length ? 'true' : 'false');
  }
  const summary = byId('summary-list');
  summary.replaceChildren();
  for (const p of r.problems) {
    const item = element('li');
    if (keys.keys[p.field]) {
      item.append(linkTo(p.field, label(p.field)), document.createTextNode(': ' + sentence(p.message)));
    } else {
      item.textContent = sentence(p.message);
    }
    summary.append(item);
  }
  const count = r.problems.length;
  byId('summary').hidden = count === 0;
  byId('bar-problems').hidden = count === 0;
  say('bar-problems-link', count === 1 ? '1 setting to correct before applying'
                                       : count + ' settings to correct before applying');
  showWarnings(byId('warnings-list'), r.warnings || []);
  byId('warnings').hidden = !(r.warnings || []).length;
  const notes = byId('notes');
  notes.replaceChildren();
  for (const n of r.notes) {
    notes.append(element('li', {}, 'Note: ' + n));
  }
  const n = r.changed.length;
  say('changes', n ? (n === 1 ? '1 change: ' : n + ' changes: ') + labels(r.changed) + '.'
                   : 'No setting differs from the ones read.');
  say('apply', n === 0 ? 'Apply' : n === 1 ? 'Apply 1 change' : 'Apply ' + n + ' changes');
}

// Warnings (new addressing this PC would not reach, ...) as items, each linked to its field.
function showWarnings(list, warnings) {
  list.replaceChildren();
  for (const w of warnings) {
    const item = element('li');
    if (keys.keys[w.field]) {
      item.append(linkTo(w.field, label(w.field)), document.createTextNode(': ' + sentence(w.message)));
    } else {
      item.textContent = sentence(w.message);
    }
    list.append(item);
  }
}

// The second confirmation: the warnings, what happens if the appliance is cut off, and the
// choice to apply all the same.
function askToConfirm(warnings) {
  showWarnings(byId('confirm-list'), warnings);
  say('confirm-text', 'If, once it has applied them, the appliance does not answer at an ' +
      'address this PC reaches within ' + keys.confirm + ' s, the previous settings are sent ' +
      'back to it by broadcast to its MAC address.');
  byId('confirm-move').hidden = false;
  byId('confirm-apply').focus();
}

function hideConfirm() {
  byId('confirm-move').hidden = true;
}

function showPassword(set) {
  if (readSettings) {
    readSettings.password_set = set;
  }
  const fact = byId('fact-password');
  if (fact) {
    fact.textContent = set ? 'set' : 'not set';
  }
  say('password-now', set ? 'The appliance has an administrator password.'
                          : 'The appliance has no administrator password.');
  byId('password-remove').disabled = !set || applying;
}

function showFacts(s, address) {
  const facts = byId('facts');
  facts.replaceChildren();
  const add = (name, value, id) => {
    const d = element('div');
    d.append(element('dt', {}, name), element('dd', id ? {id} : {}, value));
    facts.append(d);
  };
  add('MAC address', s.mac);
  add('IP address', address);
  add('Default name', s.default_name);
  add('Firmware', s.version);
  add('Password', '', 'fact-password');
  showPassword(s.password_set);
}

async function choose(mac) {
  if (applying && mac !== selected) {
    say('result', 'Settings are being applied: wait for the answer before choosing another appliance.');
    return;
  }
  selected = mac;
  for (const row of rows.values()) {
    row.classList.toggle('selected', row.dataset.mac === mac);
  }
  byId('settings').hidden = false;
  byId('settings-title').textContent = 'Settings of ' + mac;
  say('result', '', 'result');
  say('password-state', '');
  say('print-state', '');
  hideRemove();
  await read(true);
  byId('settings-title').focus();
}

async function read(fresh) {
  const mac = selected;
  waiting('read-state', 'Reading the settings of ' + mac);
  byId('settings-form').setAttribute('aria-busy', 'true');
  try {
    const r = await api('GET', '/api/appliances/' + mac + '/settings');
    stopWaiting('read-state');
    if (mac !== selected) {
      return false;
    }
    if (!r.ok) {
      say('read-state', 'The settings cannot be read: ' + sentence(r.error));
      return false;
    }
    readValues = Object.assign({}, r.values);
    readSettings = r.settings;
    clockBase = parseClock(r.values.date, r.values.time);
    clockRead = performance.now();
    byId('settings-title').textContent = 'Settings of ' + (r.settings.server_name || mac);
    showFacts(r.settings, r.address);
    if (fresh || !applying) {
      fillForm(r.values);
    }
    say('read-state', 'Read at ' + new Date().toLocaleTimeString() + ' from ' + r.address + '.');
    document.documentElement.dataset.readCount =
      String(Number(document.documentElement.dataset.readCount || 0) + 1);
    await check();
    return true;
  } catch (e) {
    stopWaiting('read-state');
    say('read-state', 'The settings cannot be read: ' + sentence(e.message));
    return false;
  } finally {
    byId('settings-form').removeAttribute('aria-busy');
  }
}

async function apply() {
  if (applying || !readValues) {
    return;
  }
  clearTimeout(checkTimer);
  hideConfirm();
  const r = await check();
  if (!r) {
    return;
  }
  if (r.problems.length) {
    say('result', 'Nothing was sent: correct the settings listed first.', 'result bad');
    const first = r.problems.find((p) => keys.keys[p.field] && !input(p.field).disabled);
    byId('summary').scrollIntoView({block: 'nearest'});
    focusOn(first ? input(first.field) : byId('summary-title'));
    return;
  }
  if (r.warnings && r.warnings.length) {
    say('result', '', 'result');
    askToConfirm(r.warnings);
    return;
  }
  await send(false);
}

// Applies the changes of the form; `force` after the user confirmed the warnings.
async function send(force) {
  hideConfirm();
  const body = {changes: changes(), now: byId('now').checked, force};
  const mac = selected;
  const before = readSettings ? readSettings.ip_addr : '';
  setApplying(true);
  progress('reading');
  say('result', '', 'result');
  const began = performance.now();
  let warned = null;
  try {
    const {job} = await api('POST', '/api/appliances/' + mac + '/apply', body);
    let state = {version: 0};
    for (;;) {
      // Answered as soon as the job moves on (or after two seconds without news).
      state = await api('GET', '/api/jobs/' + job + '?after=' + state.version);
      showProgress(state);
      if (state.done) {
        break;
      }
    }
    document.documentElement.dataset.applyMs = String(Math.round(performance.now() - began));
    showResult(state, before);
    const problems = (state.result || {}).problems || [];
    if (problems.length && problems.every((p) => p.warning)) {
      warned = problems;  // found only as it was applied (another host at the address)
    }
  } catch (e) {
    withDetail(byId('result'), 'The settings were not applied: ' + sentence(e.message), '', 'result bad');
  } finally {
    setApplying(false);
  }
  byId('result').scrollIntoView({block: 'nearest'});
  if (warned) {
    askToConfirm(warned);
    return;
  }
  if (mac === selected) {
    await read(true);
  }
  refreshList();
}

function setApplying(on) {
  applying = on;
  // Nothing else goes to the appliances meanwhile: a request between the settings and their
  // repetition would make the appliance carry the repetition out again.
  for (const id of ['apply', 'reread', 'password-set', 'password-verify', 'print-test']) {
    byId(id).disabled = on;
  }
  byId('password-remove').disabled = on || !(readSettings && readSettings.password_set);
  byId('print-form').querySelector('button').disabled = on;
  byId('progress').hidden = !on;
  if (!on) {
    stopWaiting('progress-text');
    say('progress-text', '');
    byId('countdown').hidden = true;
  }
}

// Each step of an apply in a few words; the seconds so far are counted behind it.
const phases = {
  reading: 'Reading the current settings',
  sending: 'Sending the settings',
  applying: 'The appliance applies them; its network and services restart',
  accepted: 'Accepted; the appliance gets an address from a DHCP server',
  confirming: 'Checking that the appliance answers',
  restoring: 'The new settings did not work: putting the previous ones back',
  finding: 'Looking for the appliance by its MAC address',
  done: 'Done',
};

let shownPhase = '';
function progress(phase) {
  if (phase !== shownPhase) {
    shownPhase = phase;
    waiting('progress-text', phases[phase] || phase);
  }
}

function showProgress(state) {
  progress(state.phase);
  // A change of addressing: the time the appliance has left to answer where this PC reaches it.
  const awaited = ['applying', 'accepted', 'confirming'].includes(state.phase);
  const c = awaited ? state.countdown : null;
  byId('countdown').hidden = !c;
  if (c) {
    say('countdown', Math.max(0, Math.round(c.left)) + ' s left of ' + Math.round(c.bound) +
        ' s for the appliance to answer where this PC reaches it; then the previous settings ' +
        'are sent back.');
  }
}

// The result as `dssetup set` tells it, in words, and where the appliance is now.
function showResult(state, before) {
  shownPhase = '';
  const out = byId('result');
  out.replaceChildren();
  const r = state.result || {};
  const line = (text, kind) => out.append(element('p', kind ? {class: kind} : {}, text));
  if (r.ok) {
    line(sentence(r.words || r.message || 'the appliance stored and applied the settings'));
    if (r.changed && r.changed.length) {
      line('Changed: ' + labels(r.changed) + '.');
    }
    if (!r.confirmed) {
      line(!state.found ? 'It was not found again by its MAC address: search again in a while.'
           : state.address !== before ? 'It has a new address: ' + state.address + '.'
           : 'It answers at ' + state.address + '.');
    }
    out.className = 'result ok';
    return;
  }
  const rollback = r.rollback || null;
  line((rollback ? '' : 'The settings were not applied: ') + sentence(r.words || r.message || 'no answer'));
  for (const p of r.problems || []) {
    line((keys.keys[p.field] ? label(p.field) + ': ' : '') + sentence(p.message));
  }
  if (rollback && rollback.not_applied && rollback.not_applied.length) {
    line('Stored but not applied: ' + labels(rollback.not_applied) + '.');
  }
  if (r.detail) {
    line('Details: ' + r.detail + '.', 'detail');
  }
  out.className = rollback && rollback.restored ? 'result restored' : 'result bad';
}

// ---- Password and printer ----

function hideRemove() {
  byId('confirm-remove').hidden = true;
}

async function password(action) {
  const p = byId('password');
  const again = byId('password-again');
  const value = p.value;
  hideRemove();
  if (action === 'set' && value === '') {
    say('password-state', 'Type the new password in both fields. To remove the password, use "Remove the password".');
    p.focus();
    return;
  }
  if (action === 'set' && value !== again.value) {
    say('password-state', 'The two passwords differ: type the same one twice.');
    again.focus();
    return;
  }
  if (action === 'verify' && value === '') {
    say('password-state', 'Type the password to check in the first field.');
    p.focus();
    return;
  }
  if (action !== 'remove') {
    p.value = '';
    again.value = '';
  }
  waiting('password-state', action === 'set' ? 'Setting the password'
          : action === 'remove' ? 'Removing the password' : 'Checking the password');
  try {
    const r = await api('POST', '/api/appliances/' + selected + '/password',
                        action === 'remove' ? {action} : {action, password: value});
    stopWaiting('password-state');
    const prefix = action === 'set' ? 'The password was not set: '
                   : action === 'remove' ? 'The password was not removed: ' : '';
    withDetail(byId('password-state'), r.ok ? (action === 'verify' ? 'The password is right.' : r.message)
                                            : failed(prefix, 'the password', r.error), r.ok ? '' : r.detail);
    if (r.ok && r.password_set !== undefined) {
      showPassword(r.password_set);
    }
  } catch (e) {
    stopWaiting('password-state');
    say('password-state', sentence(e.message));
  }
  refreshList();
}

function askToRemove() {
  say('password-state', '');
  byId('confirm-remove').hidden = false;
  byId('remove-no').focus();
}

async function print(path, raw, what) {
  waiting('print-state', 'Sending ' + what + ' to the printer');
  try {
    const r = await api('POST', '/api/appliances/' + selected + path, undefined, raw);
    stopWaiting('print-state');
    if (r.ok) {
      say('print-state', r.bytes + ' bytes went to the printer.');
    } else {
      withDetail(byId('print-state'), failed('Printing failed: ', 'printing', r.error) +
                 (r.status === -307 ? ' Is a printer connected to the appliance, switched on and ready?' : ''),
                 r.detail);
    }
  } catch (e) {
    stopWaiting('print-state');
    say('print-state', 'Printing failed: ' + sentence(e.message));
  }
}

async function printFile(event) {
  event.preventDefault();
  const file = byId('print-file').files[0];
  if (!file) {
    say('print-state', 'Choose a file first.');
    return;
  }
  await print('/print', await file.arrayBuffer(), file.name);
}

// ---- Start ----

function wire() {
  byId('skip').addEventListener('click', (event) => {
    event.preventDefault();
    focusOn(byId('settings').hidden ? byId('list-title') : byId('settings-title'));
  });
  byId('search').addEventListener('click', search);
  byId('filter').addEventListener('input', arrange);
  byId('sort').addEventListener('change', arrange);
  byId('add-form').addEventListener('submit', addTyped);
  // Only the Apply button applies: Enter in a field does nothing.
  const form = byId('settings-form');
  form.addEventListener('submit', (event) => event.preventDefault());
  form.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && event.target.tagName === 'INPUT') {
      event.preventDefault();
    }
  });
  byId('apply').addEventListener('click', apply);
  byId('bar-problems-link').addEventListener('click', (event) => {
    event.preventDefault();
    focusOn(byId('summary-title'));
  });
  byId('reread').addEventListener('click', () => read(true));
  byId('confirm-apply').addEventListener('click', () => send(true));
  byId('confirm-cancel').addEventListener('click', () => {
    hideConfirm();
    const first = (lastCheck && lastCheck.warnings || []).find((w) => keys.keys[w.field]);
    (first ? input(first.field) : byId('apply')).focus();
  });
  byId('password-form').addEventListener('submit', (e) => { e.preventDefault(); password('set'); });
  byId('password-verify').addEventListener('click', () => password('verify'));
  byId('password-remove').addEventListener('click', askToRemove);
  byId('remove-yes').addEventListener('click', () => password('remove'));
  byId('remove-no').addEventListener('click', () => {
    hideRemove();
    say('password-state', 'The password was kept.');
    byId('password-remove').focus();
  });
  byId('print-test').addEventListener('click', () => print('/print-test', new ArrayBuffer(0), 'a test page'));
  byId('print-form').addEventListener('submit', printFile);
  setInterval(tick, 1000);
  // A keyed address pasted into this tab changes only what follows '#'.
  window.addEventListener('hashchange', () => {
    const before = key;
    if (takeKey() && key) {
      if (started && key !== before) {
        location.reload();
      } else {
        begin();
      }
    }
  });
}

async function begin() {
  if (started || !key) {
    return;
  }
  started = true;
  notice('');
  refreshList();
  try {
    keys = await api('GET', '/api/keys');
  } catch (e) {
    started = false;
    return;
  }
  buildForm();
  await search();
  setInterval(() => {
    if (!document.hidden) {
      search();
    }
  }, SEARCH_EVERY_MS);
}

wire();
if (!takeKey()) {
  key = keptKey();
}
if (key) {
  begin();
} else {
  notice('This page needs the address dssetup ui printed, with its key (…/#key=…): open it, or paste it into this tab.');
}
