// The search builder: filters (an attribute or a fact, an operator, a
// value, compared as text, number or time, optionally negated) shown as
// removable chips, joined by "all" or "any"; the condition sent and the
// number of buckets that match it.
import { S, format } from './strings.js';
import { el, showError } from './dom.js';
import { OPS, describe, problemOf, takesValue, whereOf } from './condition.js';

const $ = (id) => document.getElementById(id);

export class Search {
  // `client` counts the matches; `onChange` receives the condition (null
  // when there is no filter) whenever it changes.
  constructor(client, onChange) {
    this.client = client;
    this.onChange = onChange;
    this.filters = [];
    this.where = null;
    $('search-op').replaceChildren(...OPS.map(({ op }) =>
      el('option', { value: op, textContent: S[`op_${op}`] })));
    $('search').addEventListener('submit', (event) => {
      event.preventDefault();
      this.addFromForm();
    });
    for (const id of ['search-field', 'search-op']) $(id).addEventListener('change', () => this.fitForm());
    $('search-join').addEventListener('change', () => this.changed());
    $('search-clear').addEventListener('click', () => {
      this.filters = [];
      $('search-join').value = 'all';
      this.changed();
      $('search-name').focus();
    });
    this.fitForm();
  }

  // Enables the inputs the chosen field and operator use; a fact's value
  // gets an example of its form.
  fitForm() {
    const op = $('search-op').value;
    const field = $('search-field').value;
    $('search-name').disabled = field !== '';
    $('search-value').disabled = !takesValue(op);
    $('search-value').placeholder = field === '' ? '' : S[`example_${field}`];
    $('search-as').disabled = !takesValue(op) || field !== '';
    $('search-value-hint').hidden = op !== 'in';
  }

  formFilter() {
    return {
      field: $('search-field').value,
      name: $('search-field').value === '' ? $('search-name').value.trim() : '',
      op: $('search-op').value,
      value: takesValue($('search-op').value) ? $('search-value').value : '',
      as: $('search-as').value,
      negated: $('search-not').checked,
    };
  }

  addFromForm() {
    const filter = this.formFilter();
    const problem = problemOf(filter);
    showError($('search-error'), problem);
    if (problem) {
      $(filter.field === '' && filter.name === '' ? 'search-name' : 'search-op').focus();
      return;
    }
    this.filters.push(filter);
    // Back to the plain "name equals value" form for the next condition.
    $('search-name').value = '';
    $('search-value').value = '';
    $('search-not').checked = false;
    $('search-field').value = '';
    $('search-op').value = 'eq';
    $('search-as').value = 'text';
    this.fitForm();
    $('search-name').focus();
    this.changed();
  }

  remove(filter) {
    this.filters = this.filters.filter((other) => other !== filter);
    this.changed();
    $('search-name').focus();
  }

  toggleNot(filter) {
    filter.negated = !filter.negated;
    this.changed();
  }

  // A condition's chip: its "not" toggle, its text and its remove button.
  chip(filter, index) {
    const text = describe({ ...filter, negated: false });
    return el('li', { className: `chip filter${filter.negated ? ' is-negated' : ''}` },
      el('button', {
        type: 'button', className: 'chip-not', textContent: S.notShort,
        attrs: { 'aria-pressed': String(filter.negated), 'aria-label': format(S.negateFilter, { text }) },
        on: { click: () => this.toggleNot(filter) },
      }),
      el('span', { className: 'chip-text' }, text),
      el('button', {
        type: 'button', className: 'chip-remove', textContent: '×',
        attrs: { 'aria-label': format(S.removeFilter, { text: describe(filter) }), 'data-index': String(index) },
        on: { click: () => this.remove(filter) },
      }));
  }

  // Redraws the chips and the condition, recounts and tells the table.
  changed() {
    document.querySelector('.search-summary').hidden = this.filters.length === 0;
    $('search-chips').replaceChildren(...this.filters.map((filter, index) => this.chip(filter, index)));
    this.where = whereOf(this.filters, $('search-join').value);
    $('search-where').textContent = this.where === null ? '' : JSON.stringify(this.where);
    this.onChange(this.where);
    this.recount();
  }

  async recount() {
    const count = $('search-count');
    const where = this.where;
    if (where === null) {
      count.textContent = '';
      return;
    }
    count.textContent = S.loading;
    try {
      const matches = await this.client.countSearch(where);
      if (where !== this.where) return;
      showError($('search-error'), '');
      count.textContent = matches === 0 ? S.matchCountNone
        : format(matches === 1 ? S.matchCountOne : S.matchCount, { count: matches });
    } catch (error) {
      if (where !== this.where) return;
      count.textContent = '';
      showError($('search-error'), error.message);
    }
  }
}
