// The state of replication to an object store: what the replicator has
// confirmed, how far behind it is, a resync under way and its last error.
import { S, format } from './strings.js';
import { el, showError } from './dom.js';

const $ = (id) => document.getElementById(id);

export class Replication {
  constructor(client) {
    this.client = client;
    $('replication-refresh').addEventListener('click', () => this.refresh());
  }

  async refresh() {
    const note = $('replication-note');
    let state;
    try {
      state = await this.client.replication();
    } catch (error) {
      showError(note, error.message);
      return;
    }
    showError(note, '');
    note.textContent = state.state === 'off' ? S.replicationOff : '';
    const rows = state.state === 'off' ? [] : [
      [S.replicationState, state.state],
      [S.replicationTarget, `${state.endpoint} ${state.bucket}/${state.keyPrefix}`],
      [S.replicationCursor, String(state.cursor)],
      [S.replicationLag, format(S.replicationLagText,
        { changes: state.lagChanges, seconds: Number(state.lagSeconds).toFixed(1) })],
      [S.replicationSent, String(state.bytesSent)],
      [S.replicationError, state.lastError || '-'],
    ];
    if (state.resync) {
      rows.splice(1, 0, [S.replicationResync, format(S.replicationResyncText, state.resync)]);
    }
    $('replication-state').replaceChildren(...rows.flatMap(([name, value]) =>
      [el('dt', {}, name), el('dd', {}, value)]));
  }
}
