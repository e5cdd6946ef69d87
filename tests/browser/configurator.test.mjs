// quillexctl ui in headless Chromium against a quillex-sim --serve machine:
// what a player sees and does, read back through quillexctl, with a
// screenshot of each view kept in the artifacts folder.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  ARTIFACTS, axeSource, colourCount, ctl, launchBrowser, machineRequest, rawRequest, startMachine,
  startUi, stop, until,
} from './harness.mjs';

let machine, ui, browser, context, page;
const requests = [];
const pageErrors = [];

async function text(selector) {
  return page.locator(selector).textContent();
}

// A screenshot, kept, and checked to show something.
async function screenshot(name, options = {}) {
  const png = await page.screenshot({ path: join(ARTIFACTS, `${name}.png`), ...options });
  const colours = await colourCount(page, png);
  assert.ok(colours > 40, `${name}.png looks blank (${colours} colours)`);
}

async function showView(tab) {
  await page.click(`#tab-${tab}`);
  await until(`the ${tab} view`, () => page.locator(`#view-${tab}`).isVisible());
}

async function noSeriousAccessibilityViolations(view) {
  await page.evaluate(axeSource());
  const violations = await page.evaluate(async () => {
    const result = await window.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => `${v.id}: ${v.help} (${v.nodes.map((n) => n.target.join(' ')).join(', ')})`);
  });
  assert.deepEqual(violations, [], `accessibility of the ${view} view`);
}

async function driverMapping() {
  return JSON.parse(await ctl('--json', 'mapping')).values;
}

describe('quillexctl ui', () => {
  before(async () => {
    machine = await startMachine(2);
    ui = await startUi();
    browser = await launchBrowser();
    context = await browser.newContext({ viewport: { width: 1280, height: 720 }, acceptDownloads: true });
    page = await context.newPage();
    page.on('request', (r) => requests.push(r.url()));
    page.on('pageerror', (e) => pageErrors.push(e.message));
    await page.goto(ui.url);
    await until('the stick to connect', async () => (await text('#connection')) === 'Stick 1 connected');
  });

  after(async () => {
    if (browser) await browser.close();
    await stop(ui?.child);
    await stop(machine?.child);
  });

  it('loads without the token in the address, lists both sticks and shows a press at once', async () => {
    assert.equal(page.url(), `${ui.origin}/`);
    assert.deepEqual(await page.locator('#stick option').allTextContents(), ['Stick 1', 'Stick 2']);
    const started = Date.now();
    await ctl('set', 'BTN_A', '1');
    await until('A pressed in the live view', () => page.locator('#live-BTN_A.on').count(), 2000, 5);
    await until('A in what the game sees', async () => (await text('#game-pressed')) === 'A', 2000, 5);
    assert.ok(Date.now() - started < 2000);
    await ctl('set', 'RIGHT_STICK_X', '255');
    await ctl('set', 'FIRST_TRIGGER', '200');
    await until('the trigger', async () => (await text('#game-lt-value')) === '200', 2000);
    await screenshot('live-view');
    await noSeriousAccessibilityViolations('live');
    await ctl('set', 'BTN_A', '0');
    await ctl('set', 'RIGHT_STICK_X', '128');
    await ctl('set', 'FIRST_TRIGGER', '0');
  });

  it('shows the stick the selector names', async () => {
    await page.selectOption('#stick', '1');
    await until('stick 2', async () => (await text('#connection')) === 'Stick 2 connected', 5000);
    await ctl('--device', '1', 'set', 'BTN_Y', '1');
    await until('Y pressed on stick 2', () => page.locator('#live-BTN_Y.on').count(), 3000);
    assert.equal(await page.getAttribute('#export', 'href'), '/api/export?stick=1');
    await ctl('--device', '1', 'set', 'BTN_Y', '0');
    await page.selectOption('#stick', '0');
    await until('stick 1 again', async () => (await text('#connection')) === 'Stick 1 connected', 5000);
    assert.equal(await page.locator('#live-BTN_Y.on').count(), 0, 'stick 1 has Y released');
  });

  it('picks a button by pressing it, and a remap is read back by quillexctl and exported', async () => {
    await showView('mapping');
    await page.click('#pick');
    await ctl('set', 'BTN_B', '1');
    await until('B picked', () => page.locator('#row-BTN_B.picked').count(), 3000);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'map-BTN_B');
    await ctl('set', 'BTN_B', '0');
    await page.selectOption('#map-BTN_B', '3');
    await page.check('#SWAP_TRIGGERS');
    await screenshot('mapping-view', { fullPage: true });
    await page.locator('#view-mapping button.apply').click();
    await until('saved', async () => (await text('#view-mapping .result')).startsWith('Saved'), 5000);
    const values = await driverMapping();
    assert.equal(values.BTN_B, 3);
    assert.equal(values.SWAP_TRIGGERS, 1);
    await noSeriousAccessibilityViolations('buttons');

    await showView('files');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export')]);
    const file = join(ARTIFACTS, 'exported-mapping.reg');
    await download.saveAs(file);
    const reg = readFileSync(file).toString('utf16le');
    assert.match(reg, /"BTN_B"=dword:00000003/);
    assert.match(reg, /"SWAP_TRIGGERS"=dword:00000001/);
  });

  it('sets the arcade modes, and shows the lever as the stick the game sees', async () => {
    await showView('mapping');
    assert.ok(await page.locator('#arcade').isVisible(), 'this driver has the arcade settings');
    await page.selectOption('#DPAD_MODE', '1');
    await page.check('#HOTKEYS');
    await page.check('#turbo-BTN_A');
    await page.fill('#TURBO_RATE', '20');
    await page.locator('#TURBO_RATE').dispatchEvent('change');
    await page.selectOption('#map-BTN_X', '13');
    await page.locator('#view-mapping button.apply').click();
    await until('saved', async () => (await text('#view-mapping .result')).startsWith('Saved'), 5000);
    assert.equal((await ctl('get', 'DPAD_MODE')).trim(), 'DPAD_MODE = 1');
    assert.equal((await ctl('get', 'HOTKEYS')).trim(), 'HOTKEYS = 1');
    assert.equal((await ctl('get', 'TURBO_MASK')).trim(), 'TURBO_MASK = 1');
    assert.equal((await ctl('get', 'TURBO_RATE')).trim(), 'TURBO_RATE = 20');
    assert.equal((await driverMapping()).BTN_X, 13);

    // The lever pushed right drives the game's left stick, not the d-pad;
    // X pulls the right trigger fully, which the game reads as its left one
    // since the triggers were swapped above.
    await ctl('set', 'DPAD', '2');
    await ctl('set', 'BTN_X', '1');
    await showView('live');
    await until('the lever on the left stick', async () =>
      (await page.getAttribute('#game-left-stick', 'aria-label')) === 'Left stick at x 32512, y 0', 3000);
    await until('X pulling the (swapped) right trigger',
      async () => (await text('#game-lt-value')) === '255', 3000);
    assert.equal(await page.locator('.dpad .btn.on').count(), 0);
    await screenshot('live-view-lever-as-stick');
    await ctl('set', 'DPAD', '8');
    await ctl('set', 'BTN_X', '0');
  });

  it('previews an import in words with its unknown names, and applies it only when asked', async () => {
    await showView('files');
    const point = (await driverMapping()).L_TRIG_CP_2;
    assert.notEqual(point, 200, 'the file changes the control point');
    const rate = Number((await ctl('get', 'TURBO_RATE')).match(/= (\d+)/)[1]);
    const newRate = rate === 7 ? 8 : 7;
    const reg = '\uFEFFWindows Registry Editor Version 5.00\r\n\r\n'
      + '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]\r\n'
      + '"BTN_X"=dword:00000000\r\n"L_TRIG_CP_2"=dword:000000c8\r\n"SWAP_TRIGGERS"=dword:00000000\r\n'
      + '"FUTURE_SETTING"=dword:00000001\r\n'
      + `"TURBO_RATE"=dword:${newRate.toString(16).padStart(8, '0')}\r\n`;
    const file = join(ARTIFACTS, 'to-import.reg');
    writeFileSync(file, Buffer.from(reg, 'utf16le'));
    await page.setInputFiles('#import-file', file);
    await until('the preview', () => page.locator('#import-preview').isVisible(), 5000);
    // Each value as the page shows it elsewhere: a button's target by the
    // name its select gives it, a switch on or off, a control point a number.
    const rows = await page.locator('#import-changes tr').evaluateAll(
      (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
    assert.deepEqual(rows, [
      ['BTN_X', 'Right trigger (RT), fully pulled', 'A'],
      ['L_TRIG_CP_2', String(point), '200'],
      ['SWAP_TRIGGERS', 'on', 'off'],
      ['TURBO_RATE', `${rate} presses a second`, `${newRate} presses a second`],
    ]);
    const selectNames = await page.locator('#map-BTN_X option').allTextContents();
    assert.ok(rows[0].slice(1).every((name) => selectNames.includes(name)), 'the mapping table\'s names');
    assert.match(await text('#import-unknown'), /FUTURE_SETTING/);
    assert.equal((await driverMapping()).BTN_X, 13, 'nothing is applied before the player agrees');
    await screenshot('save-and-load-view');
    await noSeriousAccessibilityViolations('save and load');
    await page.click('#import-apply');
    await until('applied', async () => (await text('#import-result')).includes('applied'), 5000);
    const values = await driverMapping();
    assert.equal(values.BTN_X, 0);
    assert.equal(values.L_TRIG_CP_2, 200);
    assert.equal(values.SWAP_TRIGGERS, 0);
    assert.equal((await ctl('get', 'TURBO_RATE')).trim(), `TURBO_RATE = ${newRate}`);
  });

  it('drags and keys a curve into the control points the driver returns, drawn as the driver builds it', async () => {
    await showView('curves');
    const handle = page.locator('#handle-R_TRIG_CP_1');
    const svg = page.locator('#curve-R_TRIG svg');
    const box = await svg.boundingBox();
    const at = await handle.boundingBox();
    const target = 40; // output value; the plot's y runs 256 - value over a 280-unit view box
    const y = box.y + ((256 - target + 12) / 280) * box.height;
    await page.mouse.move(at.x + at.width / 2, at.y + at.height / 2);
    await page.mouse.down();
    await page.mouse.move(at.x + at.width / 2, (at.y + y) / 2, { steps: 4 });
    await page.mouse.move(at.x + at.width / 2, y, { steps: 4 });
    await page.mouse.up();
    const dragged = Number(await handle.getAttribute('aria-valuenow'));
    assert.ok(Math.abs(dragged - target) <= 2, `dragged to ${dragged}, wanted about ${target}`);

    await page.focus('#handle-L_STICK_X_CP_2');
    await page.keyboard.press('PageDown');
    await page.keyboard.press('PageDown');
    await page.keyboard.press('ArrowUp');
    assert.equal(await page.getAttribute('#handle-L_STICK_X_CP_2', 'aria-valuenow'), '134');
    await page.check('#ENABLE_SCALING-curves');
    await screenshot('curves-view', { fullPage: true });
    await page.locator('#view-curves button.apply').click();
    await until('saved', async () => (await text('#view-curves .result')).startsWith('Saved'), 5000);
    const values = await driverMapping();
    assert.equal(values.R_TRIG_CP_1, dragged);
    assert.equal(values.L_STICK_X_CP_2, 134);
    assert.equal(values.ENABLE_SCALING, 1);
    await noSeriousAccessibilityViolations('curves');
  });

  it('draws each curve value for value as the driver builds it, for random control points', async () => {
    let seed = 24;
    const random = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % 256; };
    const names = ['R_TRIG', 'L_TRIG', 'R_STICK_X', 'R_STICK_Y', 'L_STICK_X', 'L_STICK_Y'];
    for (let round = 0; round < 6; round++) {
      const assignments = [];
      for (const n of names) assignments.push(`${n}_CP_1=${random()}`, `${n}_CP_2=${random()}`);
      if (round === 0) assignments.splice(0, 2, 'R_TRIG_CP_1=0', 'R_TRIG_CP_2=0');
      if (round === 1) assignments.splice(0, 2, 'R_TRIG_CP_1=255', 'R_TRIG_CP_2=255');
      await ctl('mapping', 'set', ...assignments);
      const driver = JSON.parse(await ctl('--json', 'curves'));
      for (const n of names) {
        const wanted = driver[n].table.join(',');
        const [p1, p2] = driver[n].control_points;
        await until(`${n} redrawn`, async () =>
          (await page.getAttribute(`#handle-${n}_CP_1`, 'aria-valuenow')) === String(p1)
          && (await page.getAttribute(`#handle-${n}_CP_2`, 'aria-valuenow')) === String(p2), 3000);
        assert.equal(await page.getAttribute(`#curve-${n} .line`, 'data-table'), wanted,
          `${n} for control points ${p1}, ${p2}`);
      }
    }
  });

  it('restores the defaults after a confirmation', async () => {
    await showView('mapping');
    assert.ok(await page.locator('#defaults-confirm').isHidden(), 'nothing asks before the button');
    await page.click('#defaults');
    assert.ok(await page.locator('#defaults-confirm').isVisible());
    await page.click('#defaults-yes');
    await until('restored', async () => (await text('#view-mapping .result')).includes('defaults'), 5000);
    const values = await driverMapping();
    assert.equal(values.BTN_B, 1);
    assert.equal(values.R_TRIG_CP_1, 90);
    assert.equal(values.ENABLE_SCALING, 0);
    assert.equal((await ctl('get', 'DPAD_MODE')).trim(), 'DPAD_MODE = 0');
  });

  it('refuses requests without the token, from another origin or for another host', async () => {
    const cookie = (await context.cookies()).find((c) => c.name === 'quillex_ui');
    assert.ok(cookie && cookie.sameSite === 'Strict' && cookie.httpOnly);
    const host = `127.0.0.1:${ui.port}`;
    const good = { Host: host, Cookie: `quillex_ui=${cookie.value}` };
    assert.equal((await rawRequest(ui.port, { path: '/api/mapping?stick=0', headers: good })).status, 200);
    const refused = [
      ['no token', { path: '/api/mapping?stick=0', headers: { Host: host } }],
      ['a wrong token', { path: '/api/mapping?stick=0', headers: { Host: host, Cookie: 'quillex_ui=0123' } }],
      ['the token in the query of an API', { path: `/api/mapping?stick=0&token=${cookie.value}`, headers: { Host: host } }],
      ['a foreign Host', { path: '/api/mapping?stick=0', headers: { ...good, Host: `rebound.example:${ui.port}` } }],
      ['a foreign Origin', {
        method: 'POST', path: '/api/mapping?stick=0', body: '{"values":{"BTN_A":3}}',
        headers: { ...good, Origin: 'http://evil.example', 'Content-Type': 'application/json' },
      }],
    ];
    for (const [what, request] of refused) {
      const r = await rawRequest(ui.port, request);
      assert.equal(r.status, 403, what);
    }
    assert.equal((await driverMapping()).BTN_A, 0, 'nothing refused reached the driver');
    // The page's own policy: its own resources only.
    const csp = (await rawRequest(ui.port, { path: '/', headers: good })).headers['content-security-policy'];
    assert.match(csp, /default-src 'none'/);
  });

  it('says so when the stick it shows is unplugged, keeps the other live, and takes it back', async () => {
    await showView('live');
    const connection = (wanted) => async () => (await text('#connection')) === wanted;
    const pressed = (button) => async () => (await page.locator(`#live-${button}.on`).count()) === 1;
    assert.equal(await page.inputValue('#stick'), '0');
    await until('stick 1 shown', connection('Stick 1 connected'), 5000);

    assert.deepEqual(await machineRequest({ op: 'unplug', stick: 1 }), { ok: true });
    await until('the removal shown', async () =>
      (await text('#problem')).startsWith('Stick 1 was removed'), 10000);
    assert.equal(await text('#connection'), 'Stick removed');
    await screenshot('stick-removed');
    // Stick 2 is now the only stick, the first a program finds; the page
    // still calls it stick 2 and never shows it as stick 1.
    await ctl('--device', '0', 'set', 'BTN_Y', '1');
    await new Promise((r) => setTimeout(r, 1500));
    assert.ok((await text('#problem')).startsWith('Stick 1 was removed'), 'stick 1 still removed');
    assert.equal(await page.locator('#live-BTN_Y.on').count(), 0, 'nothing of stick 2 shown as stick 1');

    assert.deepEqual(await page.locator('#stick option').allTextContents(), ['Stick 1', 'Stick 2']);
    await page.selectOption('#stick', '1');
    await until('stick 2 live', connection('Stick 2 connected'), 5000);
    await until('its Y pressed', pressed('BTN_Y'), 3000);
    assert.ok(await page.locator('#problem').isHidden());
    await ctl('--device', '0', 'set', 'BTN_Y', '0');
    await until('its Y released', async () => !(await pressed('BTN_Y')()), 3000);

    assert.deepEqual(await machineRequest({ op: 'plug', stick: 1 }), { ok: true });
    await page.selectOption('#stick', '0');
    await until('stick 1 back', connection('Stick 1 connected'), 10000);
    assert.ok(await page.locator('#problem').isHidden());
    // Plugged again, it is the first stick a program finds once more.
    await ctl('--device', '0', 'set', 'BTN_B', '1');
    await until('B pressed on stick 1', pressed('BTN_B'), 3000);
    await page.selectOption('#stick', '1');
    await until('stick 2 again', connection('Stick 2 connected'), 5000);
    assert.equal(await page.locator('#live-BTN_B.on').count(), 0, 'stick 2 has B released');
    await ctl('--device', '0', 'set', 'BTN_B', '0');
    await page.selectOption('#stick', '0');
    await until('stick 1 shown again', connection('Stick 1 connected'), 5000);
  });

  it('says so when the machine goes away, and recovers when it is back', async () => {
    await showView('live');
    await stop(machine.child);
    await until('the problem shown', async () => (await text('#problem')).includes('No Quillex stick found'), 10000);
    assert.ok(await page.locator('#problem').isVisible());
    await screenshot('no-stick');
    machine = await startMachine(2);
    await until('connected again', async () => (await text('#connection')) === 'Stick 1 connected', 20000);
    assert.ok(await page.locator('#problem').isHidden());
    await ctl('set', 'BTN_Y', '1');
    await until('Y pressed after the return', () => page.locator('#live-BTN_Y.on').count(), 3000);
    await ctl('set', 'BTN_Y', '0');
  });

  it('reads at a narrow width and in the dark', async () => {
    await page.setViewportSize({ width: 400, height: 800 });
    await screenshot('live-view-narrow', { fullPage: true });
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(width <= 400, `the page is ${width} px wide in a 400 px window`);
    await page.setViewportSize({ width: 1280, height: 720 });
    const light = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    await page.emulateMedia({ colorScheme: 'dark' });
    const dark = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    assert.notEqual(dark, light);
    await screenshot('live-view-dark');
    await noSeriousAccessibilityViolations('live, dark');
    await page.emulateMedia({ colorScheme: 'light' });
  });

  it('made no request outside its own origin, and its script never failed', () => {
    assert.deepEqual(pageErrors, []);
    assert.ok(requests.length > 0);
    const foreign = requests.filter((u) => !u.startsWith(`${ui.origin}/`) && !u.startsWith('data:'));
    assert.deepEqual(foreign, []);
  });
});
