// Dials in a real browser: headless Debian Chromium driven by playwright-core opens the simulator's deck
// page for a deck with dials (--deck plus, the action put on D1 from the command line), turns the dial with
// the mouse wheel, pushes it and touches its strip, and checks the Dial notifications on the bus; then an
// engine's Set Feedback Layout and Set Feedback must be drawn on the strip. A screenshot of the strip is
// left in $ZB_ARTIFACTS.
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

/* Collects a child's output and lets the test wait for a condition on it with a deadline. */
function watch(child, name) {
  const w = { text: '', waiters: [] };
  child.stdout.on('data', (chunk) => {
    w.text += chunk;
    w.waiters = w.waiters.filter((waiter) => !waiter());
  });
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

function gdbusEmit(name, dict) {
  return new Promise((resolve, reject) => {
    execFile('gdbus', ['emit', '--session', '--object-path', '/com/zorbel/DistributedNotifications',
      '--signal', 'com.zorbel.DistributedNotifications.Notification', `'${name}'`, "'com.zorbel.streamdeck'", dict],
    (error) => (error ? reject(error) : resolve()));
  });
}

/* The Dial notifications dbus-monitor has printed completely: event and the integer fields. */
function dialNotifications(text) {
  const complete = (b) => /\n\s*\]/.test(b);
  return text.split(/\nsignal /).filter((b) => b.includes('string "Zorbel Stream Deck Dial"') && complete(b)).map((b) => {
    const field = (k, type) => { const m = new RegExp('"' + k + '"\\s+variant\\s+' + type + ' ("?)([^"\\n]*)\\1').exec(b); return m && m[2]; };
    return { event: field('event', 'string'), zbID: field('zbID', 'string'), ticks: Number(field('ticks', 'int32')),
      x: Number(field('x', 'int32')), y: Number(field('y', 'int32')) };
  });
}

async function main() {
  const plugin = process.env.ZB_PLUGIN;
  assert.ok(plugin, 'ZB_PLUGIN names the plug-in executable');
  const artifacts = process.env.ZB_ARTIFACTS || path.join(REPO, 'build', 'e2e-artifacts');
  fs.mkdirSync(artifacts, { recursive: true });

  const monitor = spawn('dbus-monitor', ['--session', "type='signal',interface='com.zorbel.DistributedNotifications'"]);
  const bus = watch(monitor, 'dbus');
  const sim = spawn('/usr/bin/python3', [path.join(REPO, 'tools', 'host-simulator', 'host_simulator.py'),
    '--plugin', plugin, '--deck', 'plus', '--action-on', 'D1'], { env: { ...process.env, PYTHONDONTWRITEBYTECODE: '1' } });
  const out = watch(sim, 'simulator');
  let browser;
  try {
    const url = (await out.until((t) => /Deck page: (\S+)\r?\n/.exec(t), 'the deck URL'))[1];
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage({ viewport: { width: 1000, height: 800 } });
    page.on('pageerror', (e) => console.error('page error:', e));
    page.setDefaultTimeout(DEADLINE);
    await page.goto(url);
    await page.waitForFunction(() => window.simulator.state && window.simulator.state.plugin.registered &&
      window.simulator.dials[0] && window.simulator.dials[0].visible);
    assert.equal(await page.evaluate(() => Object.keys(window.simulator.dials).length), 4);
    assert.equal(await page.evaluate(() => window.simulator.dials[1].hasAction), false);
    console.log('ok - a deck with four dials, the action on D1 from the command line');

    const knob = page.locator('#knob-0');
    await knob.hover();
    await page.mouse.wheel(0, -100);
    const turn = await bus.until((t) => dialNotifications(t).find((n) => n.event === 'rotate'), 'the rotate notification');
    assert.deepEqual({ zbID: turn.zbID, ticks: turn.ticks }, { zbID: 'D1', ticks: 1 });
    await page.mouse.wheel(0, 100);
    await bus.until((t) => dialNotifications(t).find((n) => n.event === 'rotate' && n.ticks === -1), 'a turn back');
    console.log('ok - the wheel turns the dial one tick a notch, both ways');

    await knob.click();
    await bus.until((t) => dialNotifications(t).find((n) => n.event === 'up'), 'the push');
    const strip = page.locator('#strip-0');
    await strip.click({ position: { x: 150, y: 30 } });
    const tap = await bus.until((t) => dialNotifications(t).find((n) => n.event === 'tap'), 'the touch');
    assert.deepEqual({ x: tap.x, y: tap.y }, { x: 150, y: 30 });
    console.log('ok - a click pushes the dial, a click on the strip touches it there');

    await gdbusEmit('Zorbel Stream Deck Set Feedback Layout', "{'zbID': <'D1'>, 'layout': <'$B1'>}");
    await gdbusEmit('Zorbel Stream Deck Set Feedback',
      "{'zbID': <'D1'>, 'feedback': <{'title': <'Volume'>, 'value': <'40 %'>, 'indicator': <int32 40>}>}");
    await page.waitForFunction(() => document.querySelector('#strip-0 .strip-value').textContent === '40 %');
    assert.equal(await strip.locator('.strip-title').textContent(), 'Volume');
    assert.equal(await strip.locator('.strip-bar .fill').evaluate((e) => e.style.width), '40%');
    assert.equal(await strip.locator('.strip-bar').isVisible(), true);
    console.log('ok - the strip draws the feedback: title, value and indicator');

    const shot = path.join(artifacts, 'dial-strip.png');
    await page.locator('#dials').screenshot({ path: shot });
    assert.ok(fs.statSync(shot).size > 1000);
    console.log('ok - screenshot ' + shot);
  } finally {
    if (browser) await browser.close();
    sim.kill('SIGTERM');
    const status = await exited(sim);
    monitor.kill('SIGTERM');
    assert.equal(status, 0, 'the simulator stops cleanly');
  }
}

main().then(() => console.log('dials browser test passed'), (error) => {
  console.error('dials browser test FAILED:', error);
  process.exitCode = 1;
});
