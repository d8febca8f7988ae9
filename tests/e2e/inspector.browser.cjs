// The property inspector in a real browser: headless Debian Chromium driven by playwright-core opens the
// simulator's deck page, opens a key's inspector the way a host does, and edits the key's button ID, row
// and an out-of-range column. The plug-in's setSettings must come back as the host stores them, and an
// engine notification to the new ID must reach that key. A screenshot is left in $ZB_ARTIFACTS.
//
// Environment: ZB_PLUGIN (plug-in executable), ZB_NODE_MODULES (where playwright-core is installed),
// ZB_ARTIFACTS (screenshot folder). Run on a private session bus: dbus-run-session -- node <this file>.
'use strict';
const assert = require('node:assert/strict');
const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');

const { chromium } = require(path.join(process.env.ZB_NODE_MODULES || 'node_modules', 'playwright-core'));

const REPO = path.resolve(__dirname, '..', '..');
const DEADLINE = 15000;
const NOTIFICATION = ['--session', '--object-path', '/com/zorbel/DistributedNotifications',
  '--signal', 'com.zorbel.DistributedNotifications.Notification'];

/* Collects a child's output and lets the test wait for a condition on it with a deadline. */
function watch(child, name) {
  const w = { text: '', waiters: [] };
  child.stdout.on('data', (chunk) => {
    w.text += chunk;
    w.waiters = w.waiters.filter((waiter) => !waiter());
  });
  // The children's output goes to standard error, line by line, so that it does not mix with the results.
  for (const stream of [child.stdout, child.stderr]) {
    readline.createInterface({ input: stream }).on('line', (line) => process.stderr.write(name + ': ' + line + '\n'));
  }
  w.until = (predicate, what) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('timed out waiting for ' + what)), DEADLINE);
    const check = () => {
      const result = predicate(w.text);
      if (result) { clearTimeout(timer); resolve(result); return true; }
      return false;
    };
    if (!check()) w.waiters.push(check);
  });
  return w;
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('process did not exit')), DEADLINE);
    child.once('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

function gdbusEmit(name, userInfo) {
  const dict = '{' + Object.entries(userInfo).map(([k, v]) => `'${k}': <'${v}'>`).join(', ') + '}';
  return new Promise((resolve, reject) => {
    execFile('gdbus', ['emit', ...NOTIFICATION, `'${name}'`, "'com.zorbel.streamdeck'", dict],
      (error) => (error ? reject(error) : resolve()));
  });
}

/* dbus-monitor prints one block per signal; the key notification's fields are read from it. Output comes in
   chunks that may end inside a block, so only blocks whose userInfo array is closed count. */
function keyNotifications(text) {
  const complete = (b) => /\n\s*\]/.test(b);
  return text.split(/\nsignal /).filter((b) => b.includes('string "Zorbel Stream Deck Key"') && complete(b)).map((b) => {
    const field = (k, type) => { const m = new RegExp('"' + k + '"\\s+variant\\s+' + type + ' ("?)([^"\\n]*)\\1').exec(b); return m && m[2]; };
    return { context: field('context', 'string'), row: Number(field('row', 'int32')),
      column: Number(field('column', 'int32')), pressed: field('pressed', 'boolean') === 'true' };
  });
}

async function main() {
  const plugin = process.env.ZB_PLUGIN || path.join(__dirname, 'fake_plugin.py');
  const artifacts = process.env.ZB_ARTIFACTS || path.join(REPO, 'build', 'e2e-artifacts');
  fs.mkdirSync(artifacts, { recursive: true });

  const monitor = spawn('dbus-monitor', ['--session', "type='signal',interface='com.zorbel.DistributedNotifications'"]);
  const bus = watch(monitor, 'dbus');
  const sim = spawn('/usr/bin/python3', [path.join(REPO, 'tools', 'host-simulator', 'host_simulator.py'), '--plugin', plugin],
    { env: { ...process.env, PYTHONDONTWRITEBYTECODE: '1' } });
  const out = watch(sim, 'simulator');
  let browser;
  try {
    const url = (await out.until((t) => /Deck page: (\S+)\r?\n/.exec(t), 'the deck URL'))[1];
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage({ viewport: { width: 1200, height: 900 } });
    page.on('pageerror', (e) => console.error('page error:', e));
    page.setDefaultTimeout(DEADLINE);
    await page.goto(url);
    await page.waitForFunction(() => window.simulator.state && window.simulator.state.plugin.registered &&
      window.simulator.keys['0,1'].visible);
    console.log('ok - the deck page shows the plug-in registered');

    await page.getByRole('button', { name: 'Open the property inspector of the key at row 1, column 2' }).click();
    const pi = page.frameLocator('#inspector');
    const id = pi.getByLabel('Button ID');
    const row = pi.getByLabel('Virtual Row');
    const column = pi.getByLabel('Virtual Column');
    await page.waitForFunction(() => window.simulator.inspector && window.simulator.inspector.connected);
    assert.equal(await id.getAttribute('placeholder'), 'R1C2');
    assert.equal(await row.getAttribute('placeholder'), '1');
    assert.equal(await column.getAttribute('placeholder'), '2');
    console.log('ok - the inspector shows the default ID of the key position as placeholder');

    const settingsAfter = (count) => page.waitForFunction((n) => window.simulator.keys['0,1'].setSettingsCount === n, count)
      .catch(async (e) => { console.error('key state:', JSON.stringify(await page.evaluate(() => window.simulator.keys['0,1'])), 'inspector field:', await id.inputValue()); throw e; });
    const settings = () => page.evaluate(() => window.simulator.keys['0,1'].settings);

    await id.fill('Kitchen');
    await id.press('Enter');
    await settingsAfter(1);
    assert.deepEqual(await settings(), { zbID: 'Kitchen' });
    console.log('ok - a committed button ID comes back in setSettings');

    await row.fill('4');
    await row.press('Enter');
    await settingsAfter(2);
    assert.deepEqual(await settings(), { zbID: 'Kitchen', zbRow: '4' });

    await column.fill('1200');
    await column.press('Enter');
    await settingsAfter(3);
    assert.deepEqual(await settings(), { zbID: 'Kitchen', zbRow: '4' });
    assert.match(await pi.locator('#zbColumn-hint').textContent(), /Out of range \(1 to 999\)/);
    assert.equal(await column.getAttribute('aria-invalid'), 'true');
    console.log('ok - an out-of-range column is sent, dropped by the plug-in and explained by the field');

    await gdbusEmit('Zorbel Stream Deck Set Title', { zbID: 'Kitchen', title: 'Hello' });
    await page.waitForFunction(() => document.querySelector('#key-0-1 .title').textContent === 'Hello');
    // The plug-in keeps the engine's title in the key's settings.
    await settingsAfter(4);
    assert.deepEqual(await settings(), { zbID: 'Kitchen', zbRow: '4', title: 'Hello' });
    assert.equal(await page.evaluate(() => window.simulator.keys['0,0'].title), null);
    console.log('ok - an engine notification to the new ID reaches that key');

    await page.locator('#key-0-1').click();
    const pressed = await bus.until((t) => keyNotifications(t).find((n) => n.pressed), 'the key notification');
    assert.deepEqual({ row: pressed.row, column: pressed.column }, { row: 4, column: 2 });
    console.log('ok - a mouse press reports the virtual row');

    // Without its own ID the key is addressed by its virtual position, which the placeholder shows.
    await id.fill('');
    await id.press('Enter');
    await settingsAfter(5);
    assert.deepEqual(await settings(), { zbRow: '4', title: 'Hello' });
    assert.equal(await id.getAttribute('placeholder'), 'R4C2');
    await gdbusEmit('Zorbel Stream Deck Set Title', { zbID: 'R4C2', title: 'Again' });
    await page.waitForFunction(() => document.querySelector('#key-0-1 .title').textContent === 'Again');
    console.log('ok - cleared ID: the placeholder and the engine use R4C2');

    const shot = path.join(artifacts, 'deck-with-inspector.png');
    await page.screenshot({ path: shot, fullPage: true });
    console.log('ok - screenshot ' + shot);
  } finally {
    if (browser) await browser.close();
    sim.kill('SIGTERM');
    const status = await exited(sim);
    monitor.kill('SIGTERM');
    assert.equal(status, 0, 'the simulator stops cleanly');
  }
}

main().then(() => console.log('inspector browser test passed'), (error) => {
  console.error('inspector browser test FAILED:', error);
  process.exitCode = 1;
});
