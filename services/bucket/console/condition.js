// Search conditions as the service takes them (POST <base>/search and
// <base>/delete): a leaf per filter the user added, joined by one top-level
// "all" or "any" group, each leaf optionally negated. Pure functions, no DOM.
import { S, format } from './strings.js';

// The operators in the order the form offers them, with the symbol shown.
export const OPS = [
  { op: 'eq', symbol: '=' },
  { op: 'ne', symbol: '≠' },
  { op: 'prefix', symbol: S.opPrefix },
  { op: 'lt', symbol: '<' },
  { op: 'le', symbol: '≤' },
  { op: 'gt', symbol: '>' },
  { op: 'ge', symbol: '≥' },
  { op: 'in', symbol: S.opIn },
  { op: 'exists', symbol: S.opExists },
  { op: 'absent', symbol: S.opAbsent },
];

// Facts of a bucket a leaf can compare instead of an attribute.
const FACT_LABELS = { id: S.fieldId, size: S.fieldSize, modified: S.fieldModified };

const WITHOUT_VALUE = new Set(['exists', 'absent']);
const NOT_ON_FACTS = new Set(['prefix', 'exists', 'absent']);

export function takesValue(op) {
  return !WITHOUT_VALUE.has(op);
}

// The values of an "in" leaf typed as "a, b, c".
function listOf(text) {
  return text.split(',').map((value) => value.trim()).filter((value) => value !== '');
}

// Checks a filter from the form: { field ('' for an attribute, else a
// fact), name, op, value, as, negated }. Returns the text of what is wrong,
// or '' when the service can be asked.
export function problemOf(filter) {
  if (filter.field === '' && filter.name === '') return S.searchNeedsName;
  if (filter.field !== '' && NOT_ON_FACTS.has(filter.op)) return format(S.searchFactOp, { op: filter.op });
  if (filter.op === 'in' && listOf(filter.value).length === 0) return S.searchNeedsValues;
  return '';
}

// The JSON leaf of `filter`, wrapped in a "not" group when negated.
export function leafOf(filter) {
  const leaf = filter.field === '' ? { name: filter.name } : { fact: filter.field };
  leaf.op = filter.op;
  if (filter.op === 'in') leaf.values = listOf(filter.value);
  else if (takesValue(filter.op)) leaf.value = filter.value;
  // A fact has its own kind (a number, an instant): only attributes take "as".
  if (filter.field === '' && filter.as !== 'text' && takesValue(filter.op)) leaf.as = filter.as;
  return filter.negated ? { not: leaf } : leaf;
}

// The condition of `filters` joined by `join` ("all" or "any"); null when
// there is no filter (every bucket).
export function whereOf(filters, join) {
  if (filters.length === 0) return null;
  return { [join]: filters.map(leafOf) };
}

// "site = north", "not size > 100 (number)", "kind is one of a, b".
export function describe(filter) {
  const subject = filter.field === '' ? filter.name : FACT_LABELS[filter.field];
  const { symbol } = OPS.find((entry) => entry.op === filter.op);
  let text = `${subject} ${symbol}`;
  if (filter.op === 'in') text += ` ${listOf(filter.value).join(', ')}`;
  else if (takesValue(filter.op)) text += ` ${filter.value}`;
  if (filter.field === '' && filter.as !== 'text' && takesValue(filter.op)) text += ` (${filter.as})`;
  return filter.negated ? format(S.negated, { text }) : text;
}
