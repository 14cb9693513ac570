// Small DOM helpers shared by the console's views. Every text goes through
// textContent, never through HTML, so stored attributes cannot inject markup.
import { S, format } from './strings.js';

// A new element: `props` sets properties (className, type, ...), with
// `attrs` for attributes and `on` for event listeners; children are nodes
// or strings.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  const { attrs = {}, on = {}, ...rest } = props;
  Object.assign(node, rest);
  for (const [name, value] of Object.entries(attrs)) node.setAttribute(name, value);
  for (const [name, listener] of Object.entries(on)) node.addEventListener(name, listener);
  for (const child of children.flat()) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

// Fills the static texts of the page from the strings module:
// data-text sets the content, data-label the accessible name.
export function applyStrings(root) {
  for (const node of root.querySelectorAll('[data-text]')) node.textContent = S[node.dataset.text];
  for (const node of root.querySelectorAll('[data-label]')) {
    node.setAttribute('aria-label', S[node.dataset.label]);
  }
}

// A "name=value" chip; with `onRemove`, it carries a remove button.
export function chip(name, value, onRemove) {
  const node = el('li', { className: 'chip' },
    el('span', { className: 'chip-name' }, name),
    el('span', { className: 'chip-eq' }, '='),
    el('span', { className: 'chip-value' }, value));
  if (onRemove) {
    node.append(el('button', {
      type: 'button', className: 'chip-remove', textContent: '×',
      attrs: { 'aria-label': format(S.removeFilter, { name, value }) },
      on: { click: onRemove },
    }));
  }
  return node;
}

// The chips of an attribute object, as a list.
export function chipList(attributes) {
  const names = Object.keys(attributes || {});
  if (names.length === 0) return el('span', { className: 'muted' }, S.noAttributes);
  return el('ul', { className: 'chips' }, names.map((name) => chip(name, attributes[name])));
}

// Shows `message` in `node` (an element with role="alert"), or clears it.
export function showError(node, message) {
  node.textContent = message || '';
  node.classList.toggle('is-shown', Boolean(message));
}

// A short, human size of `count` bytes.
export function humanSize(count) {
  const units = [S.bytes, S.kibibytes, S.mebibytes, S.gibibytes];
  let value = count;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  const shown = unit === 0 ? String(value) : value.toFixed(value < 10 ? 1 : 0);
  return format(units[unit], { count: shown });
}

// An empty name/value row for a new attribute.
export function newPairRow(onRemove) {
  const row = el('div', { className: 'pair added' },
    el('input', { className: 'pair-new-name', maxLength: 80, placeholder: S.attributeName, attrs: { 'aria-label': S.newName } }),
    el('input', { className: 'pair-new-value', maxLength: 80, placeholder: S.attributeValue, attrs: { 'aria-label': S.newValue } }));
  row.append(el('button', {
    type: 'button', className: 'pair-remove', textContent: '×', attrs: { 'aria-label': S.removePair },
    on: {
      click: () => {
        row.remove();
        if (onRemove) onRemove();
      },
    },
  }));
  return row;
}
