// The paged table of buckets: one page of the listing (or of the search
// when a condition is set), with each file's name, size and date (from its
// /info), sortable on the shown page, and download (under the file's name),
// in-place edit (editor.js) and delete per row.
import { S, format } from './strings.js';
import { el, chipList, showError } from './dom.js';
import { Editor } from './editor.js';

const $ = (id) => document.getElementById(id);

// The facts of an /info answer the table shows.
function pick(info) {
  if (!info) return {};
  const facts = { size: info.size, modified: info.modified, etag: info.etag };
  if (typeof info.name === 'string') facts.name = info.name;
  return facts;
}

// `items` ordered by `sort.key` (missing values last), ties by id.
function sorted(items, { key, descending }) {
  const value = (item) => item[key];
  return [...items].sort((a, b) => {
    const x = value(a);
    const y = value(b);
    if (x === undefined || y === undefined) {
      return (x === undefined) - (y === undefined) || a.bucket - b.bucket;
    }
    const order = typeof x === 'string' ? x.localeCompare(y) : x - y;
    return (descending ? -order : order) || a.bucket - b.bucket;
  });
}

// 1536 -> "1.5 KiB".
function formatSize(bytes) {
  const units = [S.sizeBytes, S.sizeKiB, S.sizeMiB, S.sizeGiB];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return format(units[unit], { n: unit === 0 ? String(value) : value.toFixed(1) });
}

// "2026-12-06T20:31:05.123Z" -> "2026-12-06 20:31 UTC", the day unbroken.
function formatDate(iso) {
  return [el('span', { className: 'date-day' }, iso.slice(0, 10)), ` ${iso.slice(11, 16)} UTC`];
}

export class BucketTable {
  // `client` is the BucketClient, `announce` shows a status message and
  // `onChanged` is called after a bucket was changed or deleted.
  constructor(client, announce, onChanged) {
    this.client = client;
    this.announce = announce;
    this.onChanged = onChanged;
    this.where = null;      // search condition; null lists every bucket
    this.trail = [];        // the `after` of every earlier page
    this.after = null;      // the `after` of this page
    this.next = null;       // the `after` of the next page, null on the last
    this.numbered = true;   // false after jumping to a bucket
    this.highlight = null;  // id of the row to mark as new
    this.sequence = 0;      // drops answers of superseded loads
    this.items = [];        // the shown page, with the facts of its files
    this.sort = { key: 'bucket', descending: false };
    this.editor = new Editor(client, announce, (id) => this.afterEdit(id));
    this.bindPager();
    this.bindSort();
  }

  // A click on a column heading sorts the shown page by it; a second click
  // reverses the order.
  bindSort() {
    for (const button of document.querySelectorAll('.bucket-table th .sort')) {
      button.addEventListener('click', () => {
        const key = button.dataset.sort;
        this.sort = { key, descending: this.sort.key === key && !this.sort.descending };
        this.render(this.items);
      });
    }
  }

  // The items of `page` with the name, size and date of each file; a
  // bucket whose facts cannot be read keeps empty cells.
  async withFacts(items) {
    const facts = await Promise.all(items.map((item) => this.client.info(item.bucket).catch(() => null)));
    return items.map((item, index) => ({ ...item, ...pick(facts[index]) }));
  }

  bindPager() {
    $('page-first').addEventListener('click', () => this.goTo([], null));
    $('page-prev').addEventListener('click', () => this.goTo(this.trail.slice(0, -1), this.trail.at(-1)));
    $('page-next').addEventListener('click', () => this.goTo([...this.trail, this.after], this.next));
    $('page-size').addEventListener('change', () => this.goTo([], null));
    $('refresh').addEventListener('click', () => this.load());
  }

  get pageSize() {
    return Number($('page-size').value);
  }

  // Shows the buckets matching `where` (null: all), from the start.
  setFilter(where) {
    this.where = where;
    return this.goTo([], null);
  }

  goTo(trail, after) {
    this.trail = trail;
    this.after = after;
    this.numbered = this.numbered || trail.length === 0;
    return this.load();
  }

  // Shows the page that starts with bucket `id` and marks its row.
  async reveal(id) {
    const previous = { trail: this.trail, after: this.after, numbered: this.numbered };
    this.highlight = id;
    this.trail = [null];
    this.after = id - 1;
    this.numbered = false;
    const items = await this.load();
    if (!items || !items.some((item) => item.bucket === id)) {
      Object.assign(this, previous);
      await this.load();
    }
  }

  // Fetches and renders the current page; resolves to its items (undefined
  // when the load failed or was superseded).
  async load() {
    const sequence = ++this.sequence;
    $('bucket-rows').setAttribute('aria-busy', 'true');
    try {
      const page = this.where === null
        ? await this.client.listPage(this.after, this.pageSize)
        : await this.client.searchPage(this.where, this.after, this.pageSize);
      if (sequence !== this.sequence) return undefined;
      if (page.items.length === 0 && this.trail.length > 0) {
        // The last bucket of this page went away: show the page before.
        return this.goTo(this.trail.slice(0, -1), this.trail.at(-1));
      }
      const items = await this.withFacts(page.items);
      if (sequence !== this.sequence) return undefined;
      this.next = page.next;
      showError($('table-error'), '');
      this.render(items);
      return items;
    } catch (error) {
      if (sequence !== this.sequence) return undefined;
      showError($('table-error'), error.message);
      // A refused search: the rows of the one before would not be its answer.
      if (error.status === 400) {
        $('bucket-rows').replaceChildren();
        $('table-empty').hidden = true;
      }
      return undefined;
    } finally {
      if (sequence === this.sequence) $('bucket-rows').removeAttribute('aria-busy');
    }
  }

  render(items) {
    this.items = items;
    $('bucket-rows').replaceChildren(...sorted(items, this.sort).map((item) => this.row(item)));
    for (const button of document.querySelectorAll('.bucket-table th .sort')) {
      const th = button.closest('th');
      if (button.dataset.sort === this.sort.key) {
        th.setAttribute('aria-sort', this.sort.descending ? 'descending' : 'ascending');
      } else {
        th.removeAttribute('aria-sort');
      }
    }
    const empty = $('table-empty');
    empty.hidden = items.length !== 0;
    empty.textContent = this.where === null ? S.noBuckets : S.noMatches;
    this.renderPager(items);
    const marked = document.querySelector('#bucket-rows tr.is-new');
    if (marked) marked.scrollIntoView({ block: 'nearest' });
    this.highlight = null;
  }

  renderPager(items) {
    const first = items.length ? items[0].bucket : 0;
    const last = items.length ? items[items.length - 1].bucket : 0;
    const ids = format(first === last ? S.pageOneId : S.pageIds, { first, last });
    $('page-label').textContent = items.length === 0 ? S.pageEmpty
      : this.numbered ? format(S.pageNumbered, { page: this.trail.length + 1, ids }) : ids;
    $('page-first').disabled = this.after === null;
    $('page-prev').disabled = this.trail.length === 0;
    $('page-next').disabled = this.next === null;
  }

  row(item) {
    const id = item.bucket;
    const attributes = el('td', { className: 'col-attributes', attrs: { 'data-heading': S.columnAttributes } },
      chipList(item.attributes));
    const tr = el('tr', { className: id === this.highlight ? 'is-new' : '' },
      el('td', { className: 'col-id', attrs: { 'data-heading': S.columnId } }, String(id)),
      el('td', { className: 'col-name', attrs: { 'data-heading': S.columnName } }, item.name || S.unnamed),
      el('td', { className: 'col-size', attrs: { 'data-heading': S.columnSize } },
        item.size === undefined ? '' : formatSize(item.size)),
      el('td', { className: 'col-date', attrs: { 'data-heading': S.columnDate } },
        item.modified === undefined ? '' : formatDate(item.modified)),
      attributes,
      el('td', { className: 'col-actions', attrs: { 'data-heading': S.columnActions } },
        el('div', { className: 'row-actions' },
          el('a', {
            className: 'button ghost small', href: this.client.downloadUrl(id), textContent: S.download,
            attrs: { download: item.name || `bucket-${id}`, 'aria-label': format(S.downloadBucket, { id }) },
          }),
          el('button', {
            type: 'button', className: 'button ghost small edit', textContent: S.edit,
            attrs: { 'aria-label': format(S.editBucket, { id }) },
            on: { click: (event) => this.editor.open(attributes, item, event.currentTarget) },
          }),
          el('button', {
            type: 'button', className: 'button ghost small danger-text delete', textContent: S.delete,
            attrs: { 'aria-label': format(S.deleteBucket, { id }) },
            on: { click: (event) => this.confirmDelete(id, event.currentTarget) },
          }))));
    tr.dataset.id = String(id);
    return tr;
  }

  // Reloads the page after bucket `id` was changed and focuses its Edit.
  async afterEdit(id) {
    await this.load();
    const edit = document.querySelector(`#bucket-rows tr[data-id="${id}"] .edit`);
    if (edit) edit.focus();
    this.onChanged();
  }

  confirmDelete(id, opener) {
    const dialog = $('confirm');
    $('confirm-title').textContent = format(S.confirmTitle, { id });
    $('confirm-text').textContent = S.confirmText;
    dialog.returnValue = '';
    dialog.addEventListener('close', async () => {
      if (dialog.returnValue !== 'confirm') {
        opener.focus();
        return;
      }
      try {
        await this.client.remove(id);
      } catch (failure) {
        showError($('table-error'), failure.message);
        opener.focus();
        return;
      }
      this.announce(format(S.bucketDeleted, { id }));
      await this.load();
      $('buckets-heading').focus();
      this.onChanged();
    }, { once: true });
    dialog.showModal();
  }
}
