// The property inspector's reading of rows, columns and IDs must agree with the plug-in's, or the
// placeholder and the hints would promise something the plug-in does not do.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const logic = require(path.join(__dirname, '..', '..', 'bundle', 'inspector', 'inspector.js'));

test('numbers are read like the plug-in reads them', () => {
  assert.equal(logic.intValue('42'), 42);
  assert.equal(logic.intValue('  7x'), 7);
  assert.equal(logic.intValue('007'), 7);
  assert.equal(logic.intValue('-3'), -3);
  assert.equal(logic.intValue('+5'), 5);
  assert.equal(logic.intValue('abc'), 0);
  assert.equal(logic.intValue(''), 0);
  assert.equal(logic.intValue(12), 12);
  assert.equal(logic.intValue(undefined), 0);
  // 64 bits read, the low 32 kept.
  const cases = [[true, 1], [false, 0], [null, 0], [4294967297, 1], ['4294967297', 1], [-2.9, -2],
                 ['99999999999999999999', -1], ['-99999999999999999999', 0], [1e300, -1], ['\t\v 8', 8]];
  for (const [value, expected] of cases) assert.equal(logic.intValue(value), expected, JSON.stringify(value));
});

// The shared vectors of the key rules (tests/support/key_rules.json), which the plug-in's tests and
// the Python stand-ins' read as well. The inspector computes default IDs only; a stored zbID is the
// plug-in's to use.
const vectors = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'support', 'key_rules.json'), 'utf8'));

test('virtual rows, columns and default IDs follow the shared key rules', () => {
  let checked = 0;
  for (const row of vectors.keys) {
    if ((row.notIn || []).includes('inspector')) continue;
    const label = JSON.stringify(row);
    assert.equal(logic.virtual(row.settings, row.coordinates, 'row'), row.row, label);
    assert.equal(logic.virtual(row.settings, row.coordinates, 'column'), row.column, label);
    if (!row.settings.zbID) assert.equal(logic.defaultID(row.settings, row.coordinates), row.id, label);
    ++checked;
  }
  assert.ok(checked >= 15, 'the vectors were read');
  // A key that appeared without coordinates sits at 777/777 in the plug-in.
  assert.equal(logic.defaultID({}, null), vectors.appearedWithoutCoordinates.id);
});

test('hints say what the plug-in will do with a committed value', () => {
  const at = { row: 1, column: 0 };
  assert.deepEqual(logic.describeRowOrColumn('3', at, 'row'), { warning: false, text: '' });
  const out = logic.describeRowOrColumn('1200', at, 'column');
  assert.equal(out.warning, true);
  assert.match(out.text, /Out of range \(1 to 999\).*column on the deck, 1\./);
  assert.match(logic.describeRowOrColumn('5abc', at, 'row').text, /read as 5/);
  assert.match(logic.describeRowOrColumn('', at, 'row').text, /row on the deck: 2/);
  assert.match(logic.describeID('', {}, at).text, /R2C1/);
  assert.equal(logic.describeID(' Lights ', {}, at).warning, true);
  assert.deepEqual(logic.describeID('Lights', {}, at), { warning: false, text: '' });
});
