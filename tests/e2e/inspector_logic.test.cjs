// The property inspector's reading of rows, columns and IDs must agree with the plug-in's, or the
// placeholder and the hints would promise something the plug-in does not do.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
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
});

test('a user row or column counts only from 1 to 999, else the key position plus one', () => {
  const at = { row: 0, column: 2 };
  assert.equal(logic.virtual({}, at, 'row'), 1);
  assert.equal(logic.virtual({}, at, 'column'), 3);
  assert.equal(logic.virtual({ zbRow: '999' }, at, 'row'), 999);
  for (const ignored of ['1000', '0', '-3', 'word', '']) assert.equal(logic.virtual({ zbRow: ignored }, at, 'row'), 1);
  assert.equal(logic.virtual({ zbColumn: '5' }, at, 'column'), 5);
});

test('the default ID is R<row>C<column> of the virtual position', () => {
  assert.equal(logic.defaultID({}, { row: 0, column: 2 }), 'R1C3');
  assert.equal(logic.defaultID({ zbRow: '4' }, { row: 0, column: 2 }), 'R4C3');
  // A key that appeared without coordinates sits at 777/777 in the plug-in.
  assert.equal(logic.defaultID({}, null), 'R778C778');
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
