// Bulk deletion of the current search: a dry run shows how many buckets
// and bytes would go, the dialog asks to confirm (a condition matching
// every stored bucket needs its own "delete everything" tick), then the
// real run is repeated while the service answers a "next", with progress.
import { S, format } from './strings.js';
import { humanSize, showError } from './dom.js';

const $ = (id) => document.getElementById(id);
const PER_CALL = 200;   // buckets deleted per request: the progress steps
const SHOWN_IDS = 10;   // ids of the dry run listed in the dialog

export class BulkDelete {
  // `whereOf()` gives the current condition; `onDone()` runs after a run
  // deleted anything.
  constructor(client, announce, whereOf, onDone) {
    this.client = client;
    this.announce = announce;
    this.whereOf = whereOf;
    this.onDone = onDone;
    this.running = false;
    this.stopped = false;
    $('bulk-open').addEventListener('click', () => this.open());
    $('bulk-ok').addEventListener('click', () => this.run());
    $('bulk-everything').addEventListener('change', () => this.fitButton());
    $('bulk').addEventListener('cancel', (event) => this.stopRequested(event));
    $('bulk-cancel').addEventListener('click', (event) => this.stopRequested(event));
    $('bulk').addEventListener('close', () => $('bulk-open').focus());
  }

  // While a run goes on, Cancel (or Escape) stops it after the current call.
  stopRequested(event) {
    if (!this.running) return;
    event.preventDefault();
    this.stopped = true;
    $('bulk-status').textContent = S.bulkStopping;
  }

  setEverything(everything) {
    this.everything = everything;
    $('bulk-everything').checked = false;
    $('bulk-everything-label').hidden = !everything;
    this.fitButton();
  }

  fitButton() {
    const ok = $('bulk-ok');
    ok.textContent = this.everything ? S.bulkDeleteEverything : format(S.bulkDeleteCount, { count: this.count });
    ok.disabled = this.running || this.count === 0 || (this.everything && !$('bulk-everything').checked);
  }

  // Runs the dry run and opens the dialog with its answer.
  async open() {
    this.where = this.whereOf();
    this.count = 0;
    this.running = false;
    this.stopped = false;
    showError($('bulk-error'), '');
    $('bulk-status').textContent = '';
    $('bulk-progress').hidden = true;
    $('bulk-ids').textContent = '';
    $('bulk-text').textContent = S.loading;
    this.setEverything(false);
    $('bulk').showModal();
    try {
      const [dry, total] = await Promise.all([
        this.client.deleteWhere(this.where, { dryRun: true, limit: SHOWN_IDS }),
        this.client.countSearch(null)]);
      this.count = dry.count;
      $('bulk-text').textContent = dry.count === 0 ? S.bulkNothing
        : format(dry.count === 1 ? S.bulkSummaryOne : S.bulkSummary, { count: dry.count, size: humanSize(dry.bytes) });
      if (dry.count > 0) {
        const more = dry.count > dry.buckets.length ? ' …' : '';
        $('bulk-ids').textContent = format(S.bulkIds, { ids: dry.buckets.join(', ') + more });
      }
      this.setEverything(dry.count > 0 && dry.count >= total);
    } catch (error) {
      $('bulk-text').textContent = '';
      showError($('bulk-error'), error.message);
      this.fitButton();
    }
  }

  // The real run: calls until "next" is null, stopped or refused.
  async run() {
    this.running = true;
    this.fitButton();
    showError($('bulk-error'), '');
    const progress = $('bulk-progress');
    progress.max = Math.max(this.count, 1);
    progress.value = 0;
    progress.hidden = false;
    let deleted = 0;
    let more = true;
    try {
      while (more && !this.stopped) {
        const options = this.everything ? { limit: PER_CALL, all: true } : { limit: PER_CALL };
        const answer = await this.client.deleteWhere(this.where, options);
        deleted += answer.count;
        progress.value = Math.min(deleted, progress.max);
        $('bulk-status').textContent = format(S.bulkProgressText, { done: deleted, count: this.count });
        more = answer.next !== null && answer.count > 0;
      }
    } catch (error) {
      this.refused(error, deleted);
      return;
    } finally {
      this.running = false;
      if (deleted > 0) this.onDone();
    }
    $('bulk').close();
    this.announce(format(deleted === 1 ? S.bulkDoneOne : S.bulkDone, { count: deleted }));
  }

  // A refused call: shown in the dialog; the service's refusal of a
  // condition that matches every bucket turns on the explicit tick.
  refused(error, deleted) {
    this.running = false;
    showError($('bulk-error'), error.message);
    $('bulk-status').textContent = format(S.bulkProgressText, { done: deleted, count: this.count });
    if (error.status === 400 && deleted === 0 && !this.everything && /"all"/.test(error.message)) {
      this.setEverything(true);
    }
    this.fitButton();
  }
}
