// The setup page: the list of appliances, the settings form of the one chosen, its password
// and its printer. Everything goes through the API of `dssetup ui`, which checks settings by
// the rules of `dssetup set` and talks to the appliances; text from the network is only ever
// put into the page as text.
'use strict';

const key = new URLSearchParams(location.hash.slice(1)).get('key') || '';
const byId = (id) => document.getElementById(id);

const SEARCH_EVERY_MS = 5000;
const LIST_POLL_MS = 300;
const CHECK_DELAY_MS = 250;

const words = {
  static: 'Fixed address',
  dhcp: 'From a DHCP server',
};

let keys = null;          // the form's keys and groups, from the program
let selected = '';        // MAC address of the appliance shown
let readValues = null;    // its settings as last read (key name -> text)
let readSettings = null;  // ... and the whole answer
let checkTimer = 0;
let checkSerial = 0;
let lastCheck = null;
let applying = false;
const rows = new Map();   // MAC address -> table row
let firstListShown = false;

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
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
    throw new ApiError(0, 'no answer from dssetup ui');
  }
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = {};
  }
  if (response.status === 403) {
    notice('This page was not opened with the address of this run of dssetup ui (it holds a key). Open the address dssetup ui printed.');
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

function rowFor(a) {
  let row = rows.get(a.mac);
  if (!row) {
    row = element('tr');
    const name = element('td');
    const pick = element('button', {type: 'button', class: 'pick'});
    pick.addEventListener('click', () => choose(a.mac));
    name.append(pick);
    row.append(name, element('td', {class: 'mono'}), element('td', {class: 'mono'}),
               element('td'), element('td'));
    row.dataset.mac = a.mac;
    rows.set(a.mac, row);
  }
  const [name, mac, address, version, password] = row.cells;
  const pick = name.firstChild;
  // An appliance whose answer reported a failure says which, in words.
  const title = a.name || (a.status_text ? 'name unknown: ' + a.status_text : 'name unknown');
  setCell(pick, a.name || '(' + title + ')');
  pick.setAttribute('aria-label', title + ', ' + a.mac +
                    (a.mac === selected ? ', shown below' : ''));
  setCell(mac, a.mac);
  // What became of it: kept in the list when it stops answering, marked.
  const marks = [];
  if (a.busy) {
    marks.push('applying settings');
  } else {
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
  }
  setCell(address, a.address + (marks.length ? ' (' + marks.join('; ') + ')' : ''));
  setCell(version, a.version || '…');
  setCell(password, a.password_set ? 'set' : 'not set');
  row.classList.toggle('selected', a.mac === selected);
  row.classList.toggle('silent', !a.answering && !a.busy);
  if (a.mac === selected) {
    row.setAttribute('aria-current', 'true');
  } else {
    row.removeAttribute('aria-current');
  }
  return row;
}

function showList(data) {
  const body = byId('list-body');
  const seen = new Set();
  let previous = null;
  for (const a of data.appliances) {
    seen.add(a.mac);
    const row = rowFor(a);
    // In the program's order (by MAC address); rows move only when they must.
    const expected = previous ? previous.nextSibling : body.firstChild;
    if (row !== expected) {
      body.insertBefore(row, expected);
    }
    previous = row;
  }
  for (const [mac, row] of rows) {
    if (!seen.has(mac)) {
      row.remove();
      rows.delete(mac);
    }
  }
  const count = data.appliances.length;
  byId('list-empty').hidden = count > 0;
  say('list-state', (count === 1 ? '1 appliance' : count + ' appliances') +
      (data.searching ? ', searching…' : ''));
  if (count > 0 && !firstListShown) {
    firstListShown = true;
    document.documentElement.dataset.firstList = String(Math.round(performance.now()));
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
  if (searching) {
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
  say('add-state', 'Asking ' + address + '…');
  try {
    const r = await api('POST', '/api/appliances', {address});
    if (r.ok) {
      say('add-state', 'Added ' + (r.appliance.name || r.appliance.mac) + '.');
      byId('add-address').value = '';
      await refreshList();
    } else {
      say('add-state', r.error);
    }
  } catch (e) {
    say('add-state', e.message);
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
      const hint = element('p', {class: 'hint', id: 'h-' + name}, k.form);
      const error = element('p', {class: 'error', id: 'e-' + name});
      let input;
      if (isSwitch(k)) {
        input = element('select', {id, name});
        input.append(element('option', {value: 'on'}, 'On'), element('option', {value: 'off'}, 'Off'));
        hint.textContent = '';
      } else if (k.choices.length > 0) {
        input = element('select', {id, name});
        for (const c of k.choices) {
          input.append(element('option', {value: c}, words[c] || c));
        }
        hint.textContent = '';
      } else {
        input = element('input', {id, name, type: 'text', autocomplete: 'off', spellcheck: 'false'});
      }
      input.setAttribute('aria-describedby', 'h-' + name + ' e-' + name);
      input.addEventListener('input', formChanged);
      input.addEventListener('change', formChanged);
      field.append(element('label', {for: id}, k.label), input, hint, error);
      set.append(field);
    }
    if (g.id === 'clock') {
      const field = element('div', {class: 'field'});
      const box = element('input', {type: 'checkbox', id: 'now'});
      box.addEventListener('change', formChanged);
      const label = element('label', {for: 'now'});
      label.append(box, document.createTextNode(" Set them from this PC's clock"));
      field.append(element('span'), label, element('p', {class: 'hint'},
        "Unless changed here, the appliance keeps its own date and time."));
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

function formChanged() {
  dependants();
  clearTimeout(checkTimer);
  checkTimer = setTimeout(check, CHECK_DELAY_MS);
}

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
    say('changes', e.message);
    return null;
  }
}

function showCheck(r) {
  lastCheck = r;
  const bad = new Map();
  for (const p of r.problems) {
    const list = bad.get(p.field) || [];
    list.push(p.message);
    bad.set(p.field, list);
  }
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
      const link = element('a', {href: '#' + fieldId(p.field)}, keys.keys[p.field].label);
      item.append(link, document.createTextNode(': ' + p.message));
    } else {
      item.textContent = p.message;
    }
    summary.append(item);
  }
  byId('summary').hidden = r.problems.length === 0;
  showWarnings(byId('warnings-list'), r.warnings || []);
  byId('warnings').hidden = !(r.warnings || []).length;
  const notes = byId('notes');
  notes.replaceChildren();
  for (const n of r.notes) {
    notes.append(element('li', {}, 'Note: ' + n));
  }
  say('changes', r.changed.length ? 'Changes: ' + r.changed.join(', ') + '.'
                                  : 'No setting differs from the ones read.');
}

// Warnings (new addressing this PC would not reach, ...) as items, each linked to its field.
function showWarnings(list, warnings) {
  list.replaceChildren();
  for (const w of warnings) {
    const item = element('li');
    if (keys.keys[w.field]) {
      item.append(element('a', {href: '#' + fieldId(w.field)}, keys.keys[w.field].label),
                  document.createTextNode(': ' + w.message));
    } else {
      item.textContent = w.message;
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

function showFacts(s, address) {
  const facts = byId('facts');
  facts.replaceChildren();
  const add = (label, value) => {
    const d = element('div');
    d.append(element('dt', {}, label), element('dd', {}, value));
    facts.append(d);
  };
  add('MAC address', s.mac);
  add('Address', address);
  add('Default name', s.default_name);
  add('Firmware', s.version);
  add('Password', s.password_set ? 'set' : 'not set');
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
  await read(true);
  byId('settings-title').focus();
}

async function read(fresh) {
  const mac = selected;
  say('read-state', 'Reading the settings of ' + mac + '…');
  byId('settings-form').setAttribute('aria-busy', 'true');
  try {
    const r = await api('GET', '/api/appliances/' + mac + '/settings');
    if (mac !== selected) {
      return false;
    }
    if (!r.ok) {
      say('read-state', 'The settings cannot be read: ' + r.error);
      return false;
    }
    readValues = r.values;
    readSettings = r.settings;
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
    say('read-state', 'The settings cannot be read: ' + e.message);
    return false;
  } finally {
    byId('settings-form').removeAttribute('aria-busy');
  }
}

async function apply(event) {
  event.preventDefault();
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
    const first = r.problems.find((p) => keys.keys[p.field] && !input(p.field).disabled);
    (first ? input(first.field) : byId('summary')).focus();
    say('result', 'Nothing was sent: correct the settings marked first.', 'result bad');
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
  say('progress-text', phases.reading + '…');
  say('result', '', 'result');
  const started = performance.now();
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
    document.documentElement.dataset.applyMs = String(Math.round(performance.now() - started));
    showResult(state, before);
    const problems = (state.result || {}).problems || [];
    if (problems.length && problems.every((p) => p.warning)) {
      warned = problems;  // found only as it was applied (another host at the address)
    }
  } catch (e) {
    say('result', 'The settings were not applied: ' + e.message, 'result bad');
  } finally {
    setApplying(false);
  }
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
  byId('print-form').querySelector('button').disabled = on;
  byId('progress').hidden = !on;
  if (!on) {
    say('progress-text', '');
    byId('countdown').hidden = true;
  }
}

const phases = {
  reading: 'Reading the current settings',
  sending: 'Sending the settings',
  applying: 'The appliance stores and applies the settings (network and services restart; this takes up to a minute)',
  accepted: 'The appliance accepted the settings and restarts its network to get an address from a DHCP server',
  confirming: 'Checking that the appliance answers where this PC reaches it (it may have a new address; this page finds it by its MAC address)',
  restoring: 'The new settings did not work: the previous settings are sent back by broadcast to its MAC address',
  finding: 'Looking for the appliance by its MAC address',
  done: 'Done',
};

function showProgress(state) {
  let text = phases[state.phase] || state.phase;
  // The wait so far, as dssetup set tells it ("waiting for ...: 12 s, sent 2 times").
  const wait = /: (\d+ s(, sent \d+ times)?)$/.exec(state.text || '');
  if (wait) {
    text += ': ' + wait[1];
  }
  say('progress-text', text + (text.endsWith('.') ? '' : '…'));
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

// The result as `dssetup set` tells it, and where the appliance is now.
function showResult(state, before) {
  const out = byId('result');
  out.replaceChildren();
  const r = state.result || {};
  const line = (text) => out.append(element('p', {}, text));
  const sentence = (text) => text.charAt(0).toUpperCase() + text.slice(1) + '.';
  if (r.ok) {
    line(sentence(r.message || 'the appliance stored and applied the settings'));
    if (r.changed && r.changed.length) {
      line('Changed: ' + r.changed.join(', ') + '.');
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
  line((rollback ? '' : 'The settings were not applied: ') + sentence(r.message || 'no answer'));
  for (const p of r.problems || []) {
    line((keys.keys[p.field] ? keys.keys[p.field].label + ': ' : '') + p.message);
  }
  if (rollback && rollback.not_applied && rollback.not_applied.length) {
    line('Stored but not applied: ' + rollback.not_applied.join(', ') + '.');
  }
  out.className = rollback && rollback.restored ? 'result restored' : 'result bad';
}

// ---- Password and printer ----

async function password(action) {
  const p = byId('password');
  const again = byId('password-again');
  const value = p.value;
  if (action === 'set' && value !== again.value) {
    say('password-state', 'The two passwords differ.');
    again.focus();
    return;
  }
  p.value = '';
  again.value = '';
  say('password-state', action === 'set' ? 'Setting the password…' : 'Verifying the password…');
  try {
    const r = await api('POST', '/api/appliances/' + selected + '/password', {action, password: value});
    say('password-state', r.ok ? r.message : (action === 'set' ? 'The password was not set: ' : 'Not verified: ') + r.error);
  } catch (e) {
    say('password-state', e.message);
  }
  if (action === 'set') {
    refreshList();
  }
}

async function print(path, raw, what) {
  say('print-state', 'Sending ' + what + ' to the printer…');
  try {
    const r = await api('POST', '/api/appliances/' + selected + path, undefined, raw);
    say('print-state', r.ok ? r.bytes + ' bytes went to the printer.' : 'Printing failed: ' + r.error);
  } catch (e) {
    say('print-state', 'Printing failed: ' + e.message);
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

async function start() {
  byId('search').addEventListener('click', search);
  byId('add-form').addEventListener('submit', addTyped);
  byId('settings-form').addEventListener('submit', apply);
  byId('reread').addEventListener('click', () => read(true));
  byId('confirm-apply').addEventListener('click', () => send(true));
  byId('confirm-cancel').addEventListener('click', () => {
    hideConfirm();
    const first = (lastCheck && lastCheck.warnings || []).find((w) => keys.keys[w.field]);
    (first ? input(first.field) : byId('apply')).focus();
  });
  byId('password-form').addEventListener('submit', (e) => { e.preventDefault(); password('set'); });
  byId('password-verify').addEventListener('click', () => password('verify'));
  byId('print-test').addEventListener('click', () => print('/print-test', new ArrayBuffer(0), 'a test page'));
  byId('print-form').addEventListener('submit', printFile);
  if (!key) {
    notice('This page needs the address dssetup ui printed, with its key (…/#key=…).');
    return;
  }
  refreshList();
  try {
    keys = await api('GET', '/api/keys');
  } catch (e) {
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

start();
