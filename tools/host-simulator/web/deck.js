/*
 * The deck page of the host simulator. It draws the virtual deck from the host's state, turns mouse and
 * keyboard presses into keyDown/keyUp requests, and opens a key's property inspector in an iframe the way
 * a host does: it loads the inspector page and calls its connectElgatoStreamDeckSocket with the port, the
 * key's context as inspector UUID, "registerPropertyInspector", the info and the action info.
 * Dials, when the deck has them, sit under the keys with their part of the touch strip above each: the
 * strip draws what setFeedback and setFeedbackLayout set (title, icon, value, indicator bar); the mouse
 * wheel turns a dial, a click pushes it, a click on the strip touches it there.
 * window.simulator exposes the host's latest state to tests.
 */
(function () {
  'use strict';

  const simulator = { connected: false, state: null, keys: {}, dials: {}, inspector: null, log: [] };
  window.simulator = simulator;

  const deck = document.getElementById('deck');
  const dialRow = document.getElementById('dials');
  const panel = document.getElementById('panel');
  const frame = document.getElementById('inspector');
  const logList = document.getElementById('log');
  let socket = null;
  let selected = null; // "row,column" of the key whose inspector is open

  function id(row, column) { return row + ',' + column; }
  function send(message) { if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message)); }

  function connect() {
    socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ui');
    socket.addEventListener('open', () => { simulator.connected = true; });
    socket.addEventListener('close', () => {
      simulator.connected = false;
      document.getElementById('plugin-status').textContent = 'The simulator has stopped.';
    });
    socket.addEventListener('message', (e) => handle(JSON.parse(e.data)));
  }

  function handle(message) {
    switch (message.type) {
      case 'state':
        simulator.state = message.state;
        simulator.keys = {};
        for (const key of message.state.keys) simulator.keys[id(key.row, key.column)] = key;
        simulator.dials = {};
        for (const dial of message.state.dials || []) simulator.dials[dial.index] = dial;
        build();
        buildDials();
        showStatus();
        break;
      case 'key':
        simulator.keys[id(message.key.row, message.key.column)] = message.key;
        drawKey(message.key);
        if (selected === id(message.key.row, message.key.column) && !message.key.hasAction) closePanel();
        break;
      case 'dial':
        simulator.dials[message.dial.index] = message.dial;
        drawDial(message.dial);
        if (selected === 'd' + message.dial.index && !message.dial.hasAction) closePanel();
        break;
      case 'flash':
        if (message.dial !== undefined) flashDial(message.dial, message.kind);
        else flash(message.row, message.column, message.kind);
        break;
      case 'inspector':
        openInspector(message);
        break;
      case 'log':
        addLog(message.direction, message.message);
        break;
      case 'error':
        addLog('in', { event: 'error', text: message.text });
        break;
    }
  }

  function showStatus() {
    const p = simulator.state.plugin;
    let text;
    if (p.running && p.registered) text = 'Plug-in running and registered.';
    else if (p.running) text = 'Plug-in starting…';
    else if (p.exitStatus !== null && p.exitStatus !== undefined) text = 'Plug-in exited with status ' + p.exitStatus + '.';
    else text = 'No plug-in running.';
    document.getElementById('plugin-status').textContent = text + ' Port ' + simulator.state.port + '.';
  }

  function build() {
    const s = simulator.state;
    deck.style.gridTemplateColumns = 'repeat(' + s.columns + ', 96px)';
    deck.replaceChildren();  // the slots are rebuilt, so every key is drawn anew below
    for (let r = 0; r < s.rows; r++) {
      const row = document.createElement('div');
      row.setAttribute('role', 'row');
      row.style.display = 'contents';
      for (let c = 0; c < s.columns; c++) {
        const slot = document.createElement('div');
        slot.className = 'slot';
        slot.id = 'slot-' + r + '-' + c;
        slot.setAttribute('role', 'gridcell');
        row.appendChild(slot);
      }
      deck.appendChild(row);
    }
    for (const key of Object.values(simulator.keys)) drawKey(key);
  }

  /* Updates a key in place: replacing the button while it is held would lose its keyUp and its focus. */
  function drawKey(key) {
    const slot = document.getElementById('slot-' + key.row + '-' + key.column);
    if (!slot) return;
    const kind = key.hasAction ? 'action' : 'empty';
    if (slot.dataset.kind !== kind) {
      slot.replaceChildren();
      slot.dataset.kind = kind;
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'key';
      button.id = 'key-' + key.row + '-' + key.column;
      button.dataset.row = key.row;
      button.dataset.column = key.column;
      slot.appendChild(button);
      const where = 'row ' + (key.row + 1) + ', column ' + (key.column + 1);
      if (key.hasAction) {
        button.classList.add('has-action');
        const img = document.createElement('img');
        img.alt = '';
        img.hidden = true;
        const placeholder = document.createElement('span');
        placeholder.className = 'placeholder';
        placeholder.textContent = 'Z';
        const title = document.createElement('span');
        title.className = 'title';
        button.append(img, placeholder, title);
        wirePress(button, key);
        slot.appendChild(tool('⚙', 'Open the property inspector of the key at ' + where,
          () => send({ type: 'openInspector', row: key.row, column: key.column })));
      } else {
        button.classList.add('empty');
        button.setAttribute('aria-label', 'Empty key at ' + where);
        button.disabled = true;
        slot.appendChild(tool('+', 'Put the Zorbel action on the key at ' + where,
          () => send({ type: 'addAction', row: key.row, column: key.column })));
      }
    }
    if (!key.hasAction) return;
    const button = slot.querySelector('.key');
    const img = button.querySelector('img');
    const placeholder = button.querySelector('.placeholder');
    const title = button.querySelector('.title');
    button.classList.toggle('hidden-key', !key.visible);
    button.classList.toggle('selected', selected === id(key.row, key.column));
    if (key.image) {
      if (img.getAttribute('src') !== key.image) img.src = key.image;
      img.hidden = false;
      placeholder.hidden = true;
    } else {
      img.hidden = true;
      img.removeAttribute('src');
      placeholder.hidden = false;
    }
    title.textContent = key.title || '';
    button.setAttribute('aria-label', 'Zorbel key at row ' + (key.row + 1) + ', column ' + (key.column + 1) +
      (key.title ? ', title ' + key.title : ''));
  }

  function tool(text, label, action) {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'tool';
    b.textContent = text;
    b.setAttribute('aria-label', label);
    b.title = label;
    b.addEventListener('click', action);
    return b;
  }

  function wirePress(button, key) {
    let down = false;
    const press = () => {
      if (down) return;
      down = true;
      button.classList.add('pressed');
      send({ type: 'keyDown', row: key.row, column: key.column });
    };
    const release = () => {
      if (!down) return;
      down = false;
      button.classList.remove('pressed');
      send({ type: 'keyUp', row: key.row, column: key.column });
    };
    button.addEventListener('pointerdown', (e) => { button.setPointerCapture(e.pointerId); press(); });
    button.addEventListener('pointerup', release);
    button.addEventListener('pointercancel', release);
    button.addEventListener('keydown', (e) => { if ((e.key === ' ' || e.key === 'Enter') && !e.repeat) { e.preventDefault(); press(); } });
    button.addEventListener('keyup', (e) => { if (e.key === ' ' || e.key === 'Enter') { e.preventDefault(); release(); } });
    button.addEventListener('blur', release);
  }

  function flash(row, column, kind) {
    const button = document.getElementById('key-' + row + '-' + column);
    if (!button) return;
    const mark = document.createElement('span');
    mark.className = 'flash ' + kind;
    mark.textContent = kind === 'ok' ? '✓' : '⚠';
    button.appendChild(mark);
    // Hosts show the mark briefly; this is presentation only.
    setTimeout(() => mark.remove(), 1500);
  }

  function openInspector(message) {
    const isDial = message.dial !== undefined;
    selected = isDial ? 'd' + message.dial : id(message.row, message.column);
    const launch = message.launch;
    simulator.inspector = isDial ? { dial: message.dial, connected: false }
      : { row: message.row, column: message.column, connected: false };
    document.getElementById('panel-heading').textContent = isDial ? 'Property inspector — dial ' + (message.dial + 1)
      : 'Property inspector — row ' + (message.row + 1) + ', column ' + (message.column + 1);
    panel.hidden = false;
    frame.onload = () => {
      const w = frame.contentWindow;
      if (typeof w.connectElgatoStreamDeckSocket !== 'function') {
        addLog('in', { event: 'error', text: 'the inspector page has no connectElgatoStreamDeckSocket' });
        return;
      }
      w.connectElgatoStreamDeckSocket(launch.port, launch.uuid, launch.registerEvent, launch.info, launch.actionInfo);
      simulator.inspector.connected = true;
    };
    frame.src = launch.url + '?context=' + encodeURIComponent(launch.uuid);
    for (const key of Object.values(simulator.keys)) drawKey(key);
  }

  function closePanel() {
    selected = null;
    simulator.inspector = null;
    frame.onload = null;
    frame.src = 'about:blank';
    panel.hidden = true;
    for (const key of Object.values(simulator.keys)) drawKey(key);
  }

  function addLog(direction, message) {
    simulator.log.push({ direction, message });
    const li = document.createElement('li');
    li.className = direction;
    const copy = JSON.stringify(message, (k, v) => (typeof v === 'string' && v.length > 60 ? v.slice(0, 57) + '…' : v));
    li.textContent = copy;
    logList.appendChild(li);
    while (logList.children.length > 200) logList.firstChild.remove();
    logList.scrollTop = logList.scrollHeight;
  }

  document.getElementById('restart').addEventListener('click', () => send({ type: 'restartPlugin' }));
  document.getElementById('close-panel').addEventListener('click', closePanel);
  document.getElementById('remove-action').addEventListener('click', () => {
    if (!selected) return;
    if (selected.startsWith('d')) {
      send({ type: 'removeAction', dial: Number(selected.slice(1)) });
    } else {
      const [row, column] = selected.split(',').map(Number);
      send({ type: 'removeAction', row, column });
    }
    closePanel();
  });

  // ---- Dials and the touch strip ----

  function buildDials() {
    const dials = Object.values(simulator.dials);
    dialRow.hidden = dials.length === 0;
    dialRow.style.gridTemplateColumns = 'repeat(' + dials.length + ', 200px)';
    dialRow.replaceChildren();
    for (const dial of dials) {
      const box = document.createElement('div');
      box.className = 'dial';
      box.id = 'dial-' + dial.index;
      dialRow.appendChild(box);
      drawDial(dial);
    }
  }

  function drawDial(dial) {
    const box = document.getElementById('dial-' + dial.index);
    if (!box) return;
    const kind = dial.hasAction ? 'action' : 'empty';
    const where = 'dial ' + (dial.index + 1);
    if (box.dataset.kind !== kind) {
      box.replaceChildren();
      box.dataset.kind = kind;
      const segment = document.createElement('button');
      segment.type = 'button';
      segment.className = 'segment';
      segment.id = 'strip-' + dial.index;
      const knob = document.createElement('button');
      knob.type = 'button';
      knob.className = 'knob';
      knob.id = 'knob-' + dial.index;
      knob.textContent = 'D' + (dial.index + 1);
      box.append(segment, knob);
      if (dial.hasAction) {
        const title = document.createElement('span');
        title.className = 'strip-title';
        const icon = document.createElement('img');
        icon.className = 'strip-icon';
        icon.alt = '';
        icon.addEventListener('error', () => { icon.style.visibility = 'hidden'; });
        icon.addEventListener('load', () => { icon.style.visibility = ''; });
        const value = document.createElement('span');
        value.className = 'strip-value';
        const bar = document.createElement('div');
        bar.className = 'strip-bar';
        const fill = document.createElement('div');
        fill.className = 'fill';
        bar.appendChild(fill);
        segment.append(title, icon, value, bar);
        wireDial(segment, knob, dial.index);
        box.appendChild(tool('⚙', 'Open the property inspector of ' + where,
          () => send({ type: 'openInspector', dial: dial.index })));
      } else {
        segment.classList.add('empty');
        knob.classList.add('empty');
        segment.disabled = true;
        knob.disabled = true;
        segment.setAttribute('aria-label', 'Empty touch strip of ' + where);
        knob.setAttribute('aria-label', 'Empty ' + where);
        box.appendChild(tool('+', 'Put the Zorbel action on ' + where,
          () => send({ type: 'addAction', dial: dial.index })));
      }
    }
    if (!dial.hasAction) return;
    const segment = box.querySelector('.segment');
    const knob = box.querySelector('.knob');
    const feedback = dial.feedback || {};
    const layout = dial.layout || '$B1';
    segment.dataset.layout = layout;
    segment.style.opacity = dial.visible ? '1' : '0.4';
    const title = feedback.title !== undefined ? feedback.title : (dial.title || '');
    const iconURL = typeof feedback.icon === 'string' ? feedback.icon
      : (dial.image || '/plugin/icons/dialIcon@2x.png');
    const value = feedback.value !== undefined ? String(feedback.value) : '';
    const indicator = typeof feedback.indicator === 'number' ? Math.max(0, Math.min(100, feedback.indicator)) : null;
    segment.querySelector('.strip-title').textContent = title;
    const icon = segment.querySelector('.strip-icon');
    if (icon.getAttribute('src') !== iconURL) icon.src = iconURL;
    // $X1 shows the icon and the title only; $A0 a full-size image; the others value and bar too.
    const showsValue = layout !== '$X1' && layout !== '$A0';
    segment.querySelector('.strip-value').textContent = showsValue ? value : '';
    const bar = segment.querySelector('.strip-bar');
    bar.hidden = !showsValue || layout === '$A1' || indicator === null;
    bar.querySelector('.fill').style.width = (indicator || 0) + '%';
    const label = where + ', layout ' + layout + (title ? ', title ' + title : '') + (value ? ', value ' + value : '') +
      (indicator !== null ? ', indicator ' + indicator : '');
    segment.setAttribute('aria-label', 'Touch strip of ' + label);
    knob.setAttribute('aria-label', 'Zorbel ' + where);
    segment.classList.toggle('selected', selected === 'd' + dial.index);
  }

  function wireDial(segment, knob, index) {
    let down = false;
    const push = () => {
      if (down) return;
      down = true;
      knob.classList.add('pressed');
      send({ type: 'dialDown', dial: index });
    };
    const release = () => {
      if (!down) return;
      down = false;
      knob.classList.remove('pressed');
      send({ type: 'dialUp', dial: index });
    };
    knob.addEventListener('pointerdown', (e) => { knob.setPointerCapture(e.pointerId); push(); });
    knob.addEventListener('pointerup', release);
    knob.addEventListener('pointercancel', release);
    knob.addEventListener('blur', release);
    knob.addEventListener('keydown', (e) => {
      if ((e.key === ' ' || e.key === 'Enter') && !e.repeat) { e.preventDefault(); push(); }
      else if (e.key === 'ArrowUp' || e.key === 'ArrowRight') { e.preventDefault(); turn(1); }
      else if (e.key === 'ArrowDown' || e.key === 'ArrowLeft') { e.preventDefault(); turn(-1); }
    });
    knob.addEventListener('keyup', (e) => { if (e.key === ' ' || e.key === 'Enter') { e.preventDefault(); release(); } });
    // One tick a notch: wheel up (away from the user) turns clockwise, a positive tick.
    const turn = (ticks) => send({ type: 'dialRotate', dial: index, ticks, pressed: down });
    const wheel = (e) => {
      e.preventDefault();
      if (e.deltaY !== 0) turn(e.deltaY < 0 ? 1 : -1);
    };
    knob.addEventListener('wheel', wheel, { passive: false });
    segment.addEventListener('wheel', wheel, { passive: false });
    // A touch: where, in the strip's own pixels, and whether it was held.
    let touchedAt = 0;
    segment.addEventListener('pointerdown', () => { touchedAt = Date.now(); });
    segment.addEventListener('click', (e) => {
      const box = segment.getBoundingClientRect();
      const width = simulator.state.strip ? simulator.state.strip.width : 200;
      const height = simulator.state.strip ? simulator.state.strip.height : 100;
      const inside = e.detail > 0 && box.width > 0;
      const x = inside ? Math.round((e.clientX - box.left) * width / box.width) : Math.round(width / 2);
      const y = inside ? Math.round((e.clientY - box.top) * height / box.height) : Math.round(height / 2);
      const hold = touchedAt > 0 && Date.now() - touchedAt >= 500;
      touchedAt = 0;
      send({ type: 'touchTap', dial: index, x: Math.max(0, Math.min(width - 1, x)),
        y: Math.max(0, Math.min(height - 1, y)), hold });
    });
  }

  function flashDial(index, kind) {
    const segment = document.getElementById('strip-' + index);
    if (!segment) return;
    const mark = document.createElement('span');
    mark.className = 'flash ' + kind;
    mark.textContent = kind === 'ok' ? '✓' : '⚠';
    segment.appendChild(mark);
    setTimeout(() => mark.remove(), 1500);
  }

  // Keys without an image show the action's own key image from the bundle, when the bundle has one.
  const icon = new Image();
  icon.onload = () => deck.classList.add('has-icon');
  icon.src = '/plugin/icons/keyIcon@2x.png';

  connect();
})();
