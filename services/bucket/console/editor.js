// The edit row of a bucket: its attribute values changed, attributes added
// or removed (one merge patch), and its file replaced by a picked one under
// the ETag the row shows.
import { S, format } from './strings.js';
import { el, chipList, humanSize, newPairRow, showError } from './dom.js';

// One existing attribute: its value and a toggle that marks it for removal.
function existingRow(name, value) {
  const input = el('input', { value, maxLength: 80, attrs: { 'aria-label': format(S.valueOf, { name }) } });
  input.dataset.name = name;
  const row = el('div', { className: 'pair existing' }, el('span', { className: 'pair-name' }, name), input);
  const toggle = el('button', {
    type: 'button', className: 'pair-remove remove-attribute', textContent: '×',
    attrs: { 'aria-pressed': 'false', 'aria-label': format(S.removeAttribute, { name }), title: S.removeAttributeTitle },
    on: {
      click: () => {
        const removed = toggle.getAttribute('aria-pressed') !== 'true';
        toggle.setAttribute('aria-pressed', String(removed));
        row.classList.toggle('is-removed', removed);
        input.disabled = removed;
      },
    },
  });
  row.append(toggle);
  return row;
}

// The merge patch of the form: kept values, null for removed, new pairs.
function patchOf(form) {
  const attributes = {};
  for (const input of form.querySelectorAll('.pair.existing input')) {
    attributes[input.dataset.name] = input.disabled ? null : input.value;
  }
  for (const row of form.querySelectorAll('.pair.added')) {
    const [name, value] = row.querySelectorAll('input');
    if (name.value.trim() !== '') attributes[name.value.trim()] = value.value;
  }
  return attributes;
}

export class Editor {
  // `client` is the BucketClient, `announce` shows a status message and
  // `onSaved(id)` reloads the table after a change.
  constructor(client, announce, onSaved) {
    this.client = client;
    this.announce = announce;
    this.onSaved = onSaved;
  }

  // Turns the attribute cell of `item`'s row into the edit form; `opener`
  // gets the focus back when it closes.
  open(cell, item, opener) {
    const id = item.bucket;
    const extra = el('div', { className: 'pair-rows' });
    const error = el('p', { className: 'form-error', attrs: { role: 'alert' } });
    const close = () => {
      cell.closest('tr').classList.remove('is-editing');
      cell.replaceChildren(chipList(item.attributes));
      opener.disabled = false;
      opener.focus();
    };
    const form = el('form', {
      className: 'editor', noValidate: true,
      on: {
        submit: (event) => {
          event.preventDefault();
          this.save(form, id, error);
        },
        keydown: (event) => {
          if (event.key === 'Escape') close();
        },
      },
    },
    el('fieldset', {},
      el('legend', { className: 'visually-hidden' }, format(S.editLegend, { id })),
      el('p', { className: 'hint' }, S.editHint),
      Object.entries(item.attributes || {}).map(([name, value]) => existingRow(name, value)), extra,
      el('button', {
        type: 'button', className: 'button link', textContent: S.addAttribute,
        on: { click: () => extra.append(newPairRow()) },
      })),
    this.contentPart(item, error),
    error,
    el('div', { className: 'editor-actions' },
      el('button', { type: 'submit', className: 'button primary small save', textContent: S.save }),
      el('button', { type: 'button', className: 'button ghost small', textContent: S.cancel, on: { click: close } })));
    opener.disabled = true;
    cell.closest('tr').classList.add('is-editing');
    cell.replaceChildren(form);
    (form.querySelector('input') || form.querySelector('button')).focus();
  }

  async save(form, id, error) {
    showError(error, '');
    try {
      await this.client.patch(id, patchOf(form));
    } catch (failure) {
      showError(error, failure.message);
      return;
    }
    this.announce(format(S.bucketUpdated, { id }));
    await this.onSaved(id);
  }

  // The file's facts with its ETag and a picker that replaces the file.
  contentPart(item, error) {
    const progress = el('progress', { max: 100, value: 0, hidden: true, attrs: { 'aria-label': S.replaceProgress } });
    const picker = el('input', {
      type: 'file', className: 'visually-hidden replace-file',
      attrs: { 'aria-label': format(S.replaceFile, { id: item.bucket }) },
      on: { change: () => this.replace(item, picker, progress, error) },
    });
    const known = typeof item.etag === 'string' && item.etag !== '';
    const facts = known ? format(S.fileFacts, { size: humanSize(item.size), etag: item.etag }) : S.fileUnknown;
    return el('fieldset', { className: 'content-part' },
      el('legend', { className: 'visually-hidden' }, S.fileLegend),
      el('p', { className: 'hint file-facts' }, facts),
      el('label', { className: `button ghost small replace${known ? '' : ' is-disabled'}` },
        known ? picker : null, S.replaceButton),
      progress);
  }

  async replace(item, picker, progress, error) {
    const file = picker.files[0];
    if (!file) return;
    showError(error, '');
    progress.hidden = false;
    try {
      await this.client.replaceContent(item.bucket, file, item.etag, (fraction) => {
        progress.value = Math.round(fraction * 100);
      });
    } catch (failure) {
      showError(error, failure.status === 412 ? S.replaceStale : failure.message);
      picker.value = '';
      progress.hidden = true;
      return;
    }
    this.announce(format(S.contentReplaced, { id: item.bucket }));
    await this.onSaved(item.bucket);
  }
}
