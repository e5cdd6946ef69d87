// The configurator page: the live view from the server's event stream, and
// the mapping edited as a draft that "Apply and save" sends to the driver.
import { curveTable, CURVES } from './curves.js';

const STICK_BUTTONS = [
  ['BTN_A', 'A'], ['BTN_B', 'B'], ['BTN_X', 'X'], ['BTN_Y', 'Y'],
  ['BTN_LEFT_TRIGGER', 'Left trigger button'], ['BTN_RIGHT_TRIGGER', 'Right trigger button'],
  ['BTN_BACK', 'Back'], ['BTN_RIGHT_TRIANGLE', 'Right triangle'],
  ['BTN_LEFT_JOY_PRESS', 'Left stick press'], ['BTN_RIGHT_JOY_PRESS', 'Right stick press'],
  ['BTN_PWR', 'Power'], ['BTN_HOME', 'Home'], ['BTN_LEFT_TRIANGLE', 'Left triangle'],
];
const XBOX_TARGETS = ['A', 'B', 'X', 'Y', 'Left shoulder (LB)', 'Right shoulder (RB)', 'Back',
  'Start', 'Left stick press (LS)', 'Right stick press (RS)', 'Guide', 'Nothing'];
// Targets of a driver with the arcade settings: a button that pulls a trigger.
const TRIGGER_TARGETS = ['Left trigger (LT), fully pulled', 'Right trigger (RT), fully pulled'];
const XBOX_BITS = [[0x1000, 'A'], [0x2000, 'B'], [0x4000, 'X'], [0x8000, 'Y'], [0x0100, 'LB'],
  [0x0200, 'RB'], [0x0020, 'Back'], [0x0010, 'Start'], [0x0040, 'LS'], [0x0080, 'RS'],
  [0x0400, 'Guide'], [0x0001, 'Up'], [0x0002, 'Down'], [0x0004, 'Left'], [0x0008, 'Right']];
const LEVER = ['up', 'up and right', 'right', 'down and right', 'down', 'down and left', 'left',
  'up and left', 'centred'];
const FLAGS = ['SWAP_TRIGGERS', 'SWAP_STICKS', 'ENABLE_SCALING'];

// A button's target in words, as the mapping table's selects name it.
function targetName(value) {
  return [...XBOX_TARGETS, ...TRIGGER_TARGETS][value] ?? `Xbox button ${value}`;
}

const LEVER_DRIVES = ['the d-pad', 'the left stick', 'the right stick'];

// A stored value as the page shows it elsewhere: a button by the Xbox button
// it gives, a switch on or off, the arcade modes as their controls say them,
// a control point as its number.
function valueInWords(name, value) {
  if (STICK_BUTTONS.some(([n]) => n === name)) return targetName(value);
  if (FLAGS.includes(name) || name === 'HOTKEYS') return value ? 'on' : 'off';
  if (name === 'DPAD_MODE') return `lever drives ${LEVER_DRIVES[value] ?? `mode ${value}`}`;
  if (name === 'TURBO_RATE') return `${value} presses a second`;
  if (name === 'TURBO_MASK') {
    const on = STICK_BUTTONS.filter((_, i) => value & (1 << i)).map(([, label]) => label);
    return on.length ? `turbo on ${on.join(', ')}` : 'no turbo';
  }
  return String(value);
}

const $ = (id) => document.getElementById(id);

let stick = 0;
let source = null;
let latest = null;        // the last event
let driverMapping = null; // the mapping as the driver has it
let draft = null;         // the mapping as the page shows it
let picking = false;
let pressedBefore = null;

// What the tests and the latency benchmark read.
window.quillexUi = { drawnSeq: 0, drawnAt: 0, curveTables: {} };

function sameValues(a, b) {
  if (!a || !b) return false;
  return Object.keys(a).every((k) => a[k] === b[k]);
}

function dirty() {
  return draft !== null && driverMapping !== null && !sameValues(draft, driverMapping);
}

function showProblem(text) {
  const box = $('problem');
  box.textContent = text;
  box.hidden = !text;
}

function setConnection(text, ok) {
  const pill = $('connection');
  pill.textContent = text;
  pill.classList.toggle('ok', ok);
}

// ---- tabs

function selectTab(tab) {
  for (const t of document.querySelectorAll('[role="tab"]')) {
    const on = t === tab;
    t.setAttribute('aria-selected', on ? 'true' : 'false');
    t.tabIndex = on ? 0 : -1;
    $(t.getAttribute('aria-controls')).hidden = !on;
  }
}

function setUpTabs() {
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  tabs.forEach((tab, i) => {
    tab.addEventListener('click', () => selectTab(tab));
    tab.addEventListener('keydown', (e) => {
      const step = e.key === 'ArrowRight' ? 1 : e.key === 'ArrowLeft' ? -1 : 0;
      if (!step) return;
      const next = tabs[(i + step + tabs.length) % tabs.length];
      selectTab(next);
      next.focus();
      e.preventDefault();
    });
  });
}

// ---- live view

function buildLiveView() {
  const list = $('stick-buttons');
  for (const [name, label] of STICK_BUTTONS) {
    const li = document.createElement('li');
    li.id = `live-${name}`;
    li.textContent = label;
    list.append(li);
  }
  const axes = $('stick-axes');
  for (const [key, label] of [['LEFT_STICK_X', 'Left stick X'], ['LEFT_STICK_Y', 'Left stick Y'],
    ['RIGHT_STICK_X', 'Right stick X'], ['RIGHT_STICK_Y', 'Right stick Y'], ['DPAD', 'Lever'],
    ['FIRST_TRIGGER', 'Left trigger'], ['SECOND_TRIGGER', 'Right trigger'], ['LED', 'LED index']]) {
    const dt = document.createElement('dt');
    dt.textContent = label;
    const dd = document.createElement('dd');
    dd.id = `live-${key}`;
    dd.textContent = '–';
    axes.append(dt, dd);
  }
}

function placeStick(ring, x, y) {
  const dot = ring.firstElementChild;
  dot.style.left = `${50 + (x / 32768) * 45}%`;
  dot.style.top = `${50 - (y / 32768) * 45}%`;
  ring.setAttribute('aria-label', `${ring.id.includes('left') ? 'Left' : 'Right'} stick at x ${x}, y ${y}`);
}

function drawLive(state, game) {
  STICK_BUTTONS.forEach(([name, label], i) => {
    const li = $(`live-${name}`);
    const on = state.buttons[i] !== 0;
    li.classList.toggle('on', on);
    li.textContent = on ? `${label}: pressed` : label;
  });
  for (const key of ['LEFT_STICK_X', 'LEFT_STICK_Y', 'RIGHT_STICK_X', 'RIGHT_STICK_Y',
    'FIRST_TRIGGER', 'SECOND_TRIGGER', 'LED']) {
    $(`live-${key}`).textContent = String(state[key]);
  }
  $('live-DPAD').textContent = LEVER[state.DPAD] ?? `hat ${state.DPAD}`;
  $('game-led').textContent = `LED index ${state.LED}`;
  if (!game) return;
  for (const el of document.querySelectorAll('[data-xbox]')) {
    el.classList.toggle('on', (game.buttons & Number(el.dataset.xbox)) !== 0);
  }
  const pressed = XBOX_BITS.filter(([bit]) => game.buttons & bit).map(([, n]) => n);
  $('game-pressed').textContent = pressed.length ? pressed.join(' ') : 'nothing';
  $('game-lt').value = game.left_trigger;
  $('game-lt-value').textContent = String(game.left_trigger);
  $('game-rt').value = game.right_trigger;
  $('game-rt-value').textContent = String(game.right_trigger);
  placeStick($('game-left-stick'), game.left_x, game.left_y);
  placeStick($('game-right-stick'), game.right_x, game.right_y);
}

// ---- mapping

function buildMappingRows() {
  const body = $('map-rows');
  for (const [name, label] of STICK_BUTTONS) {
    const tr = document.createElement('tr');
    tr.id = `row-${name}`;
    const th = document.createElement('th');
    th.scope = 'row';
    th.textContent = label;
    const pressed = document.createElement('td');
    const dot = document.createElement('span');
    dot.className = 'dot';
    dot.id = `dot-${name}`;
    dot.setAttribute('role', 'img');
    dot.setAttribute('aria-label', 'released');
    pressed.append(dot);
    const td = document.createElement('td');
    const select = document.createElement('select');
    select.id = `map-${name}`;
    select.setAttribute('aria-label', `${label} gives`);
    XBOX_TARGETS.forEach((target, index) => select.append(new Option(target, String(index))));
    select.addEventListener('change', () => {
      draft[name] = Number(select.value);
      renderDraft();
    });
    td.append(select);
    const turboCell = document.createElement('td');
    turboCell.className = 'turbo';
    const turbo = document.createElement('input');
    turbo.type = 'checkbox';
    turbo.id = `turbo-${name}`;
    turbo.setAttribute('aria-label', `Turbo on ${label}`);
    const bit = 1 << STICK_BUTTONS.findIndex(([n]) => n === name);
    turbo.addEventListener('change', () => {
      draft.TURBO_MASK = turbo.checked ? (draft.TURBO_MASK | bit) : (draft.TURBO_MASK & ~bit);
      renderDraft();
    });
    turboCell.append(turbo);
    tr.append(th, pressed, td, turboCell);
    body.append(tr);
  }
  $('DPAD_MODE').addEventListener('change', () => {
    draft.DPAD_MODE = Number($('DPAD_MODE').value);
    renderDraft();
  });
  $('HOTKEYS').addEventListener('change', () => {
    draft.HOTKEYS = $('HOTKEYS').checked ? 1 : 0;
    renderDraft();
  });
  $('TURBO_RATE').addEventListener('change', () => {
    const rate = Math.round(Number($('TURBO_RATE').value));
    draft.TURBO_RATE = Number.isFinite(rate) ? Math.max(2, Math.min(30, rate)) : draft.TURBO_RATE;
    renderDraft();
  });
  for (const flag of FLAGS) {
    $(flag).addEventListener('change', () => {
      draft[flag] = $(flag).checked ? 1 : 0;
      renderDraft();
    });
  }
  $('ENABLE_SCALING-curves').addEventListener('change', () => {
    draft.ENABLE_SCALING = $('ENABLE_SCALING-curves').checked ? 1 : 0;
    renderDraft();
  });
  for (const button of document.querySelectorAll('button.apply')) {
    button.addEventListener('click', () => applyValues(draft, 'Saved: the stick uses this mapping now.'));
  }
  for (const button of document.querySelectorAll('button.revert')) {
    button.addEventListener('click', () => {
      draft = { ...driverMapping };
      renderDraft();
      report('The changes were undone.', false);
    });
  }
  $('defaults').addEventListener('click', () => {
    $('defaults-confirm').hidden = false;
    $('defaults-no').focus();
  });
  $('defaults-no').addEventListener('click', () => {
    $('defaults-confirm').hidden = true;
    $('defaults').focus();
  });
  $('defaults-yes').addEventListener('click', async () => {
    $('defaults-confirm').hidden = true;
    const r = await post(`/api/defaults?stick=${stick}`, '{}');
    if (r.ok) {
      driverMapping = r.data.values;
      draft = { ...driverMapping };
      renderDraft();
      report('The defaults are restored and saved.', false);
    } else {
      report(r.error, true);
    }
    $('defaults').focus();
  });
  $('pick').addEventListener('click', () => {
    picking = true;
    $('pick-status').textContent = 'Waiting: press a button on the stick…';
  });
}

function renderDraft() {
  if (!draft) return;
  const arcade = 'DPAD_MODE' in draft;
  $('arcade').hidden = !arcade;
  $('map-table').classList.toggle('no-arcade', !arcade);
  if (arcade) {
    $('DPAD_MODE').value = String(draft.DPAD_MODE);
    $('HOTKEYS').checked = draft.HOTKEYS !== 0;
    $('TURBO_RATE').value = String(draft.TURBO_RATE);
  }
  STICK_BUTTONS.forEach(([name], i) => {
    const select = $(`map-${name}`);
    if (arcade && select.options.length < 14) {
      TRIGGER_TARGETS.forEach((target, k) => select.append(new Option(target, String(12 + k))));
    }
    $(`turbo-${name}`).checked = arcade && (draft.TURBO_MASK & (1 << i)) !== 0;
  });
  for (const [name] of STICK_BUTTONS) {
    const select = $(`map-${name}`);
    const value = draft[name];
    if (![...select.options].some((o) => o.value === String(value))) {
      select.append(new Option(`Xbox button ${value}`, String(value)));
    }
    select.value = String(value);
    $(`row-${name}`).classList.toggle('changed', driverMapping !== null && value !== driverMapping[name]);
  }
  for (const flag of FLAGS) $(flag).checked = draft[flag] !== 0;
  $('ENABLE_SCALING-curves').checked = draft.ENABLE_SCALING !== 0;
  for (const button of document.querySelectorAll('button.apply, button.revert')) {
    button.disabled = !dirty();
  }
  drawCurves();
}

function report(text, bad) {
  for (const el of document.querySelectorAll('.result')) {
    el.textContent = text;
    el.classList.toggle('bad', bad);
  }
}

async function post(path, body, type = 'application/json') {
  try {
    const response = await fetch(path, { method: 'POST', body, headers: { 'Content-Type': type } });
    const data = await response.json().catch(() => ({}));
    if (response.ok && data.ok) return { ok: true, data };
    const error = data.error || `the configurator answered ${response.status}`;
    return { ok: false, error: data.status ? `${error}: ${data.status}` : error };
  } catch (e) {
    return { ok: false, error: 'The configurator is not answering: is quillexctl ui still running?' };
  }
}

async function applyValues(values, done) {
  // A word from the last apply must not stand for this one while it is on its way.
  report('Saving…', false);
  const r = await post(`/api/mapping?stick=${stick}`, JSON.stringify({ values }));
  if (r.ok) {
    driverMapping = r.data.values;
    draft = { ...driverMapping };
    renderDraft();
    report(done, false);
  } else {
    report(`Not saved. ${r.error}`, true);
  }
  return r.ok;
}

function checkPick(buttons) {
  if (pressedBefore && picking) {
    const index = buttons.findIndex((b, i) => b && !pressedBefore[i]);
    if (index >= 0) {
      picking = false;
      const [name, label] = STICK_BUTTONS[index];
      selectTab($('tab-mapping'));
      for (const row of document.querySelectorAll('.map-table tr.picked')) row.classList.remove('picked');
      $(`row-${name}`).classList.add('picked');
      $(`map-${name}`).focus();
      $('pick-status').textContent = `Picked ${label}: choose what it gives.`;
    }
  }
  pressedBefore = buttons.slice();
  STICK_BUTTONS.forEach(([name], i) => {
    const dot = $(`dot-${name}`);
    dot.classList.toggle('on', buttons[i] !== 0);
    dot.setAttribute('aria-label', buttons[i] ? 'pressed' : 'released');
  });
}

// ---- curves

const SVG = 'http://www.w3.org/2000/svg';

function svgElement(name, attributes) {
  const el = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attributes)) el.setAttribute(k, String(v));
  return el;
}

function buildCurves() {
  const box = $('curves');
  for (const curve of CURVES) {
    const card = document.createElement('div');
    card.className = 'curve';
    card.id = `curve-${curve.key}`;
    const title = document.createElement('h3');
    title.textContent = curve.label;
    const svg = svgElement('svg', { viewBox: '-12 -12 280 280', role: 'group', 'aria-label': `${curve.label} curve` });
    for (let v = 0; v <= 256; v += 64) {
      svg.append(svgElement('line', { class: 'grid', x1: v, y1: 0, x2: v, y2: 256 }));
      svg.append(svgElement('line', { class: 'grid', x1: 0, y1: v, x2: 256, y2: v }));
    }
    svg.append(svgElement('line', { class: 'identity', x1: 0, y1: 256, x2: 256, y2: 0 }));
    svg.append(svgElement('line', { class: 'arm arm-1', x1: 0, y1: 256 }));
    svg.append(svgElement('line', { class: 'arm arm-2', x2: 256, y2: 0 }));
    svg.append(svgElement('polyline', { class: 'line' }));
    svg.append(svgElement('line', { class: 'now', y1: 0, y2: 256 }));
    svg.append(svgElement('circle', { class: 'now-dot', r: 4 }));
    [1, 2].forEach((n) => {
      const name = `${curve.key}_CP_${n}`;
      const handle = svgElement('circle', {
        class: 'handle', r: 9, cx: (256 * n) / 3, tabindex: 0, role: 'slider', id: `handle-${name}`,
        'aria-label': `${curve.label}, control point ${n}`, 'aria-valuemin': 0, 'aria-valuemax': 255,
        'data-name': name,
      });
      handle.addEventListener('keydown', (e) => {
        const steps = { ArrowUp: 1, ArrowRight: 1, ArrowDown: -1, ArrowLeft: -1, PageUp: 16, PageDown: -16 };
        let value = draft[name];
        if (e.key in steps) value += steps[e.key];
        else if (e.key === 'Home') value = 0;
        else if (e.key === 'End') value = 255;
        else return;
        e.preventDefault();
        setPoint(name, value);
      });
      handle.addEventListener('pointerdown', (e) => {
        handle.setPointerCapture(e.pointerId);
        handle.focus();
        e.preventDefault();
      });
      handle.addEventListener('pointermove', (e) => {
        if (!handle.hasPointerCapture(e.pointerId)) return;
        const point = svg.createSVGPoint();
        point.x = e.clientX;
        point.y = e.clientY;
        const at = point.matrixTransform(svg.getScreenCTM().inverse());
        setPoint(name, Math.round(256 - at.y));
      });
      svg.append(handle);
    });
    const now = document.createElement('p');
    now.className = 'now-text';
    const points = document.createElement('p');
    points.className = 'points-text';
    card.append(title, svg, points, now);
    box.append(card);
  }
}

function setPoint(name, value) {
  if (!draft) return;
  draft[name] = Math.max(0, Math.min(255, value));
  renderDraft();
}

function drawCurves() {
  if (!draft) return;
  for (const curve of CURVES) {
    const card = $(`curve-${curve.key}`);
    const p1 = draft[`${curve.key}_CP_1`];
    const p2 = draft[`${curve.key}_CP_2`];
    const table = curveTable(p1, p2);
    window.quillexUi.curveTables[curve.key] = table;
    const line = card.querySelector('.line');
    line.setAttribute('points', table.map((v, i) => `${i},${256 - v}`).join(' '));
    line.dataset.table = table.join(',');
    const h1 = card.querySelector(`#handle-${curve.key}_CP_1`);
    const h2 = card.querySelector(`#handle-${curve.key}_CP_2`);
    h1.setAttribute('cy', 256 - p1);
    h2.setAttribute('cy', 256 - p2);
    h1.setAttribute('aria-valuenow', p1);
    h2.setAttribute('aria-valuenow', p2);
    const a1 = card.querySelector('.arm-1');
    a1.setAttribute('x2', 256 / 3);
    a1.setAttribute('y2', 256 - p1);
    const a2 = card.querySelector('.arm-2');
    a2.setAttribute('x1', 512 / 3);
    a2.setAttribute('y1', 256 - p2);
    card.querySelector('.points-text').textContent = `Control points ${p1} and ${p2}`;
    drawCurveNow(curve, card, table);
  }
}

function drawCurveNow(curve, card, table) {
  const text = card.querySelector('.now-text');
  if (!latest || !latest.state) {
    text.textContent = 'Now: no stick';
    return;
  }
  const raw = latest.state[curve.raw] & 255;
  const bent = table[raw];
  card.querySelector('.now').setAttribute('x1', raw);
  card.querySelector('.now').setAttribute('x2', raw);
  const dot = card.querySelector('.now-dot');
  dot.setAttribute('cx', raw);
  dot.setAttribute('cy', 256 - bent);
  text.textContent = draft.ENABLE_SCALING
    ? `Now: raw ${raw}, the game gets ${bent}`
    : `Now: raw ${raw}, bent ${bent} (curves off: the game gets ${raw})`;
}

// ---- import and export

let importValues = null;

function setUpFiles() {
  $('import-file').addEventListener('change', async () => {
    const file = $('import-file').files[0];
    if (!file) return;
    $('import-result').textContent = '';
    const r = await post(`/api/import-preview?stick=${stick}`, await file.arrayBuffer(),
      'application/octet-stream');
    if (!r.ok) {
      $('import-preview').hidden = true;
      $('import-result').textContent = `${file.name} cannot be loaded: ${r.error}`;
      return;
    }
    importValues = r.data.values;
    const body = $('import-changes');
    body.replaceChildren();
    for (const c of r.data.changes) {
      const tr = document.createElement('tr');
      for (const text of [c.name, valueInWords(c.name, c.from), valueInWords(c.name, c.to)]) {
        const td = document.createElement('td');
        td.textContent = text;
        tr.append(td);
      }
      body.append(tr);
    }
    if (!r.data.changes.length) {
      const tr = document.createElement('tr');
      const td = document.createElement('td');
      td.colSpan = 3;
      td.textContent = 'Nothing: the stick already has this mapping.';
      tr.append(td);
      body.append(tr);
    }
    const unknown = $('import-unknown');
    unknown.hidden = !r.data.unknown.length;
    unknown.textContent = r.data.unknown.length
      ? `The file also holds values this configurator does not know; they are not applied: ${r.data.unknown.join(', ')}`
      : '';
    $('import-apply').disabled = !r.data.changes.length;
    $('import-preview').hidden = false;
  });
  $('import-apply').addEventListener('click', async () => {
    if (!importValues || !Object.keys(importValues).length) return;
    const ok = await applyValues(importValues, 'The file\'s mapping is applied and saved.');
    $('import-result').textContent = ok ? 'The file\'s mapping is applied and saved.'
      : document.querySelector('.result').textContent;
    if (ok) $('import-preview').hidden = true;
  });
  $('import-cancel').addEventListener('click', () => {
    $('import-preview').hidden = true;
    $('import-file').value = '';
    $('import-result').textContent = 'Nothing was changed.';
  });
}

// ---- the event stream

function updateStickList(count) {
  const select = $('stick');
  const wanted = Math.max(count, stick + 1);
  if (select.options.length === wanted) return;
  select.replaceChildren();
  for (let i = 0; i < wanted; i++) {
    select.append(new Option(i < count ? `Stick ${i + 1}` : `Stick ${i + 1} (not plugged)`, String(i)));
  }
  select.value = String(stick);
}

function onEvent(event) {
  latest = event;
  updateStickList(event.sticks);
  if (event.status !== 'ok') {
    showProblem(event.message);
    setConnection(event.status === 'removed' ? 'Stick removed' : 'No stick', false);
    document.body.classList.add('stale');
    return;
  }
  showProblem('');
  document.body.classList.remove('stale');
  setConnection(`Stick ${stick + 1} connected`, true);
  if (event.mapping && !sameValues(event.mapping, driverMapping)) {
    const keepDraft = dirty();
    driverMapping = event.mapping;
    if (!keepDraft) draft = { ...driverMapping };
    renderDraft();
  }
  checkPick(event.state.buttons);
  drawLive(event.state, event.game);
  if (draft) {
    for (const curve of CURVES) {
      drawCurveNow(curve, $(`curve-${curve.key}`), window.quillexUi.curveTables[curve.key]);
    }
  }
  window.quillexUi.drawnSeq = event.seq;
  window.quillexUi.drawnAt = performance.now();
  window.quillexUi.lastState = event.state;
}

function connect() {
  if (source) source.close();
  latest = null;
  driverMapping = null;
  draft = null;
  $('export').href = `/api/export?stick=${stick}`;
  source = new EventSource(`/api/events?stick=${stick}`);
  source.onmessage = (e) => onEvent(JSON.parse(e.data));
  source.onopen = () => {
    if ($('problem').textContent.startsWith('The configurator')) showProblem('');
  };
  source.onerror = () => {
    setConnection('Not connected', false);
    showProblem('The configurator is not answering. Is quillexctl ui still running? '
      + 'If it was started again, open the new address it printed.');
  };
}

buildLiveView();
buildMappingRows();
buildCurves();
setUpTabs();
setUpFiles();
$('stick').addEventListener('change', () => {
  stick = Number($('stick').value);
  connect();
});
connect();
