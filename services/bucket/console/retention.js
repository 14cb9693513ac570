// The retention card: the rules of the category "<service> Retention", the
// free space of the storage root and what the next run would delete.
import { S, format } from './strings.js';
import { el, humanSize, showError } from './dom.js';

const $ = (id) => document.getElementById(id);
const SHOWN = 12;   // next deletions listed

// 90061 -> "1 d 1 h 1 min 1 s"; 0 -> "never".
function duration(seconds) {
  if (!seconds) return S.retentionNever;
  const parts = [];
  let rest = seconds;
  for (const [unit, size] of [[S.unitDay, 86400], [S.unitHour, 3600], [S.unitMinute, 60], [S.unitSecond, 1]]) {
    if (rest >= size) {
      parts.push(format(unit, { n: Math.floor(rest / size) }));
      rest %= size;
    }
  }
  return parts.join(' ');
}

function minFree(rules) {
  if (rules.minFreePercent) return `${rules.minFreePercent}%`;
  return rules.minFreeBytes ? humanSize(rules.minFreeBytes) : S.retentionNever;
}

export class Retention {
  constructor(client) {
    this.client = client;
    $('retention-refresh').addEventListener('click', () => this.refresh());
  }

  async refresh() {
    const note = $('retention-note');
    let state;
    try {
      state = await this.client.retention();
    } catch (error) {
      showError(note, error.message);
      return;
    }
    showError(note, '');
    const rules = state.rules || {};
    const rows = [
      [S.retentionMaxAge, duration(rules.maxAge)],
      [S.retentionMinFree, minFree(rules)],
      [S.retentionHold, rules.holdAttribute || '-'],
      [S.retentionFree, state.space ? format(state.space.mark ? S.retentionFreeMark : S.retentionFreeText, {
        free: humanSize(state.space.free), total: humanSize(state.space.total), mark: humanSize(state.space.mark),
      }) : S.retentionNoSpace],
    ];
    // The conditions the rules apply to, when the service reports them.
    for (const [key, label] of [['maxAgeWhere', S.retentionMaxAgeWhere], ['evictWhere', S.retentionEvictWhere]]) {
      if (rules[key]) rows.push([label, typeof rules[key] === 'string' ? rules[key] : JSON.stringify(rules[key])]);
    }
    $('retention-rules').replaceChildren(...rows.flatMap(([name, value]) =>
      [el('dt', {}, name), el('dd', {}, value)]));
    const meter = $('retention-space');
    meter.hidden = !state.space || !state.space.total;
    if (!meter.hidden) {
      meter.value = 1 - state.space.free / state.space.total;
      meter.high = state.space.mark ? 1 - state.space.mark / state.space.total : 1;
      meter.optimum = 0;
    }
    this.showNext(state.dryRun);
  }

  // The dry run of the next run: count, bytes and the first buckets.
  showNext(dry) {
    const next = $('retention-next');
    if (!dry) {
      next.textContent = S.retentionNoDryRun;
      $('retention-list').replaceChildren();
      return;
    }
    next.textContent = dry.count === 0 ? S.retentionNothing
      : format(dry.count === 1 ? S.retentionWouldOne : S.retentionWould, { count: dry.count, size: humanSize(dry.bytes) });
    $('retention-list').replaceChildren(...(dry.buckets || []).slice(0, SHOWN).map((bucket) =>
      el('li', { className: 'chip retention-bucket' }, format(S.retentionEntry,
        { id: bucket.bucket, rule: bucket.rule, size: humanSize(bucket.size) }))));
  }
}
