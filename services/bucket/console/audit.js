// The recent bucket additions, changes and deletions from the core's
// audit log, newest first.
import { S, format } from './strings.js';
import { el, chipList, showError } from './dom.js';

const $ = (id) => document.getElementById(id);
const KINDS = {
  BUCAD: { label: S.auditAdded, className: 'added' },
  BUCCH: { label: S.auditChanged, className: 'changed' },
  BUCDL: { label: S.auditDeleted, className: 'deleted' },
};
const SHOWN = 12;

export class Audit {
  constructor(client) {
    this.client = client;
    $('audit-refresh').addEventListener('click', () => this.refresh());
  }

  async refresh() {
    const note = $('audit-note');
    let entries;
    try {
      entries = await this.client.recentChanges(SHOWN);
    } catch (error) {
      showError(note, error.message);
      return;
    }
    showError(note, '');
    if (entries === null) {
      note.textContent = S.auditUnavailable;
      $('audit-refresh').hidden = true;
      return;
    }
    note.textContent = entries.length === 0 ? S.auditEmpty : '';
    $('audit-list').replaceChildren(...entries.map((entry) => this.item(entry)));
  }

  item(entry) {
    const kind = KINDS[entry.source] || { label: entry.source, className: '' };
    const details = entry.details && typeof entry.details === 'object' ? entry.details : {};
    const time = new Date(entry.timestamp);
    const shownTime = Number.isNaN(time.getTime()) ? String(entry.timestamp) : time.toLocaleString();
    return el('li', { className: 'audit-entry' },
      el('div', { className: 'audit-line' },
        el('span', { className: `badge ${kind.className}` }, kind.label),
        el('span', { className: 'audit-bucket' }, format(S.auditBucket, { id: details.id ?? '?' })),
        el('time', { className: 'audit-time', dateTime: String(entry.timestamp) }, shownTime)),
      details.bucket && typeof details.bucket === 'object' ? chipList(details.bucket) : null);
  }
}
