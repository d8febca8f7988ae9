/*
 * The deck page of the host simulator. It draws the virtual deck from the host's state, turns mouse and
 * keyboard presses into keyDown/keyUp requests, and opens a key's property inspector in an iframe the way
 * a host does: it loads the inspector page and calls its connectElgatoStreamDeckSocket with the port, the
 * key's context as inspector UUID, "registerPropertyInspector", the info and the action info.
 * window.simulator exposes the host's latest state to tests.
 */
(function () {
  'use strict';

  const simulator = { connected: false, state: null, keys: {}, inspector: null, log: [] };
  window.simulator = simulator;

  const deck = document.getElementById('deck');
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
        build();
        showStatus();
        break;
      case 'key':
        simulator.keys[id(message.key.row, message.key.column)] = message.key;
        drawKey(message.key);
        if (selected === id(message.key.row, message.key.column) && !message.key.hasAction) closePanel();
        break;
      case 'flash':
        flash(message.row, message.column, message.kind);
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
    selected = id(message.row, message.column);
    const launch = message.launch;
    simulator.inspector = { row: message.row, column: message.column, connected: false };
    document.getElementById('panel-heading').textContent =
      'Property inspector — row ' + (message.row + 1) + ', column ' + (message.column + 1);
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
    const [row, column] = selected.split(',').map(Number);
    send({ type: 'removeAction', row, column });
    closePanel();
  });

  // Keys without an image show the action's own key image from the bundle, when the bundle has one.
  const icon = new Image();
  icon.onload = () => deck.classList.add('has-icon');
  icon.src = '/plugin/icons/keyIcon@2x.png';

  connect();
})();
