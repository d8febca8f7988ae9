/*
 * Property inspector of the Zorbel key.
 *
 * The host loads this page and calls connectElgatoStreamDeckSocket(port, uuid, registerEvent, info,
 * actionInfo). The page registers on the host's WebSocket and, whenever a field is committed, sends one
 * sendToPlugin message carrying exactly one of zbID, zbRow or zbColumn: the plug-in handles only the first
 * of these keys in a message, and it is the authority on what is stored, so out-of-range values are sent
 * as typed and the field only says what the plug-in will make of them. Stored values come from the
 * settings in actionInfo and from every didReceiveSettings the host forwards after the plug-in saved.
 */
(function (global) {
  'use strict';

  const MIN = 1;
  const MAX = 999;
  // A key that appeared without coordinates is placed at 777/777 by the plug-in.
  const MISSING_COORDINATE = 777;

  const INT64_MIN = -(2n ** 63n);
  const INT64_MAX = 2n ** 63n - 1n;

  function clamp64(n) { return n < INT64_MIN ? INT64_MIN : n > INT64_MAX ? INT64_MAX : n; }

  /* A setting or coordinate as the plug-in reads it, a 64-bit integer: a string's leading number
     (blanks, an optional sign, digits up to the first other character; none give 0), a number
     cut toward zero, true as 1; numbers beyond 64 bits saturate. Anything else gives 0 here. */
  function integer64(value) {
    if (typeof value === 'boolean') return value ? 1n : 0n;
    if (typeof value === 'number') {
      if (Number.isNaN(value)) return 0n;
      if (value >= 2 ** 63) return INT64_MAX;
      if (value <= -(2 ** 63)) return INT64_MIN;
      return BigInt(Math.trunc(value));
    }
    if (typeof value !== 'string') return 0n;
    const m = /^[ \t\n\v\f\r]*([+-]?)(\d*)/.exec(value);
    const magnitude = m[2] === '' ? 0n : BigInt(m[2]);
    return clamp64(m[1] === '-' ? -magnitude : magnitude);
  }

  /* The plug-in keeps the low 32 bits (a 32-bit signed integer) of what it read. */
  function intValue(value) { return Number(BigInt.asIntN(32, integer64(value))); }

  function inRange(v) { return v >= MIN && v <= MAX; }

  /* The virtual row (axis 'row') or column of a key, as the plug-in computes it. */
  function virtual(settings, coordinates, axis) {
    const key = axis === 'row' ? 'zbRow' : 'zbColumn';
    const v = intValue(settings ? settings[key] : undefined);
    if (inRange(v)) return v;
    return position(coordinates, axis);
  }

  /* Stream Deck counts from 0, the virtual row and column from 1, in 32-bit arithmetic. */
  function position(coordinates, axis) {
    const c = coordinates && coordinates[axis] !== undefined ? intValue(coordinates[axis]) : MISSING_COORDINATE;
    return Number(BigInt.asIntN(32, BigInt(c) + 1n));
  }

  function defaultID(settings, coordinates) {
    return 'R' + virtual(settings, coordinates, 'row') + 'C' + virtual(settings, coordinates, 'column');
  }

  /* What the plug-in will do with a committed row or column text: {warning, text}. */
  function describeRowOrColumn(text, coordinates, axis) {
    const noun = axis === 'row' ? 'row' : 'column';
    const pos = position(coordinates, axis);
    if (text.trim() === '') return { warning: false, text: 'Uses the key\'s ' + noun + ' on the deck: ' + pos + '.' };
    const v = intValue(text);
    if (!inRange(v)) {
      return { warning: true,
        text: 'Out of range (' + MIN + ' to ' + MAX + '): the plug-in will ignore it and use the key\'s ' + noun +
              ' on the deck, ' + pos + '.' };
    }
    if (String(v) !== text.trim()) return { warning: true, text: 'Will be read as ' + v + '.' };
    return { warning: false, text: '' };
  }

  function describeID(text, settings, coordinates) {
    const trimmed = text.trim();
    if (trimmed === '') return { warning: false, text: 'No ID set: the engine addresses this key as ' + defaultID(settings, coordinates) + '.' };
    if (trimmed !== text) return { warning: true, text: 'Blanks around the ID will be removed.' };
    return { warning: false, text: '' };
  }

  function parseJSON(value) {
    if (typeof value !== 'string') return value || {};
    try { return JSON.parse(value); } catch (e) { return {}; }
  }

  const logic = { intValue, virtual, position, defaultID, describeRowOrColumn, describeID };

  if (typeof document === 'undefined') {
    if (typeof module !== 'undefined') module.exports = logic;
    return;
  }

  /* ----- the page ----- */

  const state = { socket: null, uuid: null, action: null, settings: {}, coordinates: null, committed: {} };
  const fields = {
    zbID: document.getElementById('zbID'),
    zbRow: document.getElementById('zbRow'),
    zbColumn: document.getElementById('zbColumn'),
  };

  function hint(name, result) {
    const el = document.getElementById(name + '-hint');
    el.textContent = result.text;
    el.classList.toggle('warning', result.warning);
    fields[name].setAttribute('aria-invalid', result.warning ? 'true' : 'false');
  }

  function refreshHints() {
    hint('zbID', describeID(fields.zbID.value, state.settings, state.coordinates));
    hint('zbRow', describeRowOrColumn(fields.zbRow.value, state.coordinates, 'row'));
    hint('zbColumn', describeRowOrColumn(fields.zbColumn.value, state.coordinates, 'column'));
  }

  function refreshPlaceholders() {
    fields.zbID.placeholder = defaultID(state.settings, state.coordinates);
    fields.zbRow.placeholder = String(position(state.coordinates, 'row'));
    fields.zbColumn.placeholder = String(position(state.coordinates, 'column'));
  }

  /* What the plug-in stores for a committed text: the trimmed ID, the row or column as a decimal string,
     or nothing (the entry is removed). */
  function normalised(name, text) {
    if (name === 'zbID') return text.trim() === '' ? undefined : text.trim();
    const v = intValue(text);
    return inRange(v) ? String(v) : undefined;
  }

  /* Shows stored settings; a field the user is editing keeps what they typed, and a committed entry that
     the plug-in dropped (out of range) stays visible with its warning until the user changes it. */
  function showSettings(settings) {
    state.settings = settings && typeof settings === 'object' ? settings : {};
    for (const name of Object.keys(fields)) {
      if (document.activeElement === fields[name]) continue;
      const v = state.settings[name];
      const stored = v === undefined || v === null ? undefined : String(v);
      const entered = state.committed[name];
      if (entered !== undefined && normalised(name, entered) === stored && stored === undefined) {
        fields[name].value = entered;
        continue;
      }
      delete state.committed[name];
      fields[name].value = stored === undefined ? '' : stored;
    }
    refreshPlaceholders();
    refreshHints();
  }

  function send(payload) {
    if (!state.socket || state.socket.readyState !== WebSocket.OPEN) return false;
    state.socket.send(JSON.stringify({ action: state.action, event: 'sendToPlugin', context: state.uuid, payload }));
    return true;
  }

  /* Predicts the plug-in's change so that placeholders are right before its settings come back. */
  function predict(name, text) {
    const s = Object.assign({}, state.settings);
    const v = normalised(name, text);
    if (v === undefined) delete s[name]; else s[name] = v;
    state.settings = s;
    state.committed[name] = text;
  }

  function commit(name) {
    const text = fields[name].value;
    const payload = {};
    payload[name] = text;
    if (send(payload)) {
      predict(name, text);
      refreshPlaceholders();
    }
    refreshHints();
  }

  for (const name of Object.keys(fields)) {
    fields[name].addEventListener('change', () => commit(name));
    fields[name].addEventListener('input', refreshHints);
    fields[name].addEventListener('keydown', (e) => { if (e.key === 'Enter') { e.preventDefault(); fields[name].blur(); } });
  }
  document.getElementById('fields').addEventListener('submit', (e) => e.preventDefault());

  function setStatus(text) { document.getElementById('status').textContent = text; }

  function connect(port, uuid, registerEvent, info, actionInfo) {
    const action = parseJSON(actionInfo);
    state.uuid = uuid;
    state.action = action.action || null;
    const payload = action.payload || {};
    state.coordinates = payload.coordinates || null;
    showSettings(payload.settings || {});
    global.zorbelInfo = parseJSON(info);

    const socket = new WebSocket('ws://127.0.0.1:' + port);
    state.socket = socket;
    socket.addEventListener('open', () => {
      socket.send(JSON.stringify({ event: registerEvent, uuid }));
      for (const f of Object.values(fields)) f.disabled = false;
      setStatus('');
    });
    socket.addEventListener('message', (e) => {
      let message;
      try { message = JSON.parse(e.data); } catch (err) { return; }
      if (message.event === 'didReceiveSettings' && message.payload) {
        if (message.payload.coordinates) state.coordinates = message.payload.coordinates;
        showSettings(message.payload.settings);
      }
    });
    socket.addEventListener('close', () => {
      for (const f of Object.values(fields)) f.disabled = true;
      setStatus('Disconnected from the Stream Deck application.');
    });
  }

  global.connectElgatoStreamDeckSocket = connect;
  global.connectOpenActionSocket = connect;
  global.zorbelInspector = { state, logic };
})(typeof window !== 'undefined' ? window : globalThis);
