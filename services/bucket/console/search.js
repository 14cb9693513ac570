// The search form: name=value filters shown as removable chips, and the
// number of buckets that hold all of them.
import { S, format } from './strings.js';
import { chip, showError } from './dom.js';

const $ = (id) => document.getElementById(id);

export class Search {
  // `client` counts the matches; `onChange` receives the filter pairs (null
  // when there are none) whenever they change.
  constructor(client, onChange) {
    this.client = client;
    this.onChange = onChange;
    this.pairs = {};
    $('search').addEventListener('submit', (event) => {
      event.preventDefault();
      this.addFromForm();
    });
    $('search-clear').addEventListener('click', () => {
      this.pairs = {};
      this.changed();
      $('search-name').focus();
    });
  }

  addFromForm() {
    const name = $('search-name').value.trim();
    if (name === '') {
      showError($('search-error'), S.searchNeedsName);
      $('search-name').focus();
      return;
    }
    showError($('search-error'), '');
    this.pairs[name] = $('search-value').value;
    $('search-name').value = '';
    $('search-value').value = '';
    $('search-name').focus();
    this.changed();
  }

  remove(name) {
    delete this.pairs[name];
    this.changed();
    $('search-name').focus();
  }

  // Redraws the chips, recounts and tells the table.
  changed() {
    const names = Object.keys(this.pairs);
    document.querySelector('.search-summary').hidden = names.length === 0;
    $('search-chips').replaceChildren(
      ...names.map((name) => chip(name, this.pairs[name], () => this.remove(name))));
    this.onChange(names.length === 0 ? null : { ...this.pairs });
    this.recount();
  }

  async recount() {
    const count = $('search-count');
    const pairs = { ...this.pairs };
    if (Object.keys(pairs).length === 0) {
      count.textContent = '';
      return;
    }
    count.textContent = S.loading;
    try {
      const matches = await this.client.countMatches(pairs);
      if (JSON.stringify(pairs) !== JSON.stringify(this.pairs)) return;
      count.textContent = matches === 0 ? S.matchCountNone
        : format(matches === 1 ? S.matchCountOne : S.matchCount, { count: matches });
    } catch (error) {
      count.textContent = '';
      showError($('search-error'), error.message);
    }
  }
}
