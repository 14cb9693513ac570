// The upload form: a file picked or dropped, name=value rows, a progress
// bar while the file is sent, and the service's refusal next to the form.
import { S, format } from './strings.js';
import { humanSize, newPairRow, showError } from './dom.js';

const $ = (id) => document.getElementById(id);

export class Upload {
  // `onUploaded` receives the new bucket's id.
  constructor(client, announce, onUploaded) {
    this.client = client;
    this.announce = announce;
    this.onUploaded = onUploaded;
    this.file = null;
    $('upload-file').addEventListener('change', () => this.choose($('upload-file').files[0] || null));
    $('upload-add-pair').addEventListener('click', () => this.addPair(true));
    $('upload').addEventListener('submit', (event) => {
      event.preventDefault();
      this.submit();
    });
    this.bindDrop($('drop-zone'));
    this.addPair(false);
  }

  bindDrop(zone) {
    for (const type of ['dragenter', 'dragover']) {
      zone.addEventListener(type, (event) => {
        event.preventDefault();
        zone.classList.add('is-over');
      });
    }
    zone.addEventListener('dragleave', () => zone.classList.remove('is-over'));
    zone.addEventListener('drop', (event) => {
      event.preventDefault();
      zone.classList.remove('is-over');
      if (event.dataTransfer.files.length > 0) this.choose(event.dataTransfer.files[0]);
    });
  }

  choose(file) {
    this.file = file;
    $('drop-file').textContent = file ? format(S.dropChosen, { name: file.name, size: humanSize(file.size) }) : '';
    $('drop-zone').classList.toggle('has-file', Boolean(file));
    showError($('upload-error'), '');
  }

  addPair(focus) {
    const row = newPairRow(() => $('upload-add-pair').focus());
    $('upload-pairs').append(row);
    if (focus) row.querySelector('input').focus();
  }

  // The attributes of the rows, or a message saying what is missing.
  attributes() {
    const attributes = {};
    for (const row of $('upload-pairs').querySelectorAll('.pair')) {
      const [name, value] = row.querySelectorAll('input');
      const key = name.value.trim();
      if (key === '') continue;
      if (Object.prototype.hasOwnProperty.call(attributes, key)) {
        return { problem: format(S.uploadDuplicateName, { name: key }) };
      }
      attributes[key] = value.value;
    }
    if (Object.keys(attributes).length === 0) return { problem: S.uploadNeedsAttribute };
    return { attributes };
  }

  async submit() {
    const { attributes, problem } = this.attributes();
    const refusal = !this.file ? S.uploadNeedsFile : this.file.size === 0 ? S.uploadEmptyFile : problem;
    showError($('upload-error'), refusal);
    if (refusal) return;
    const progress = $('upload-progress');
    progress.value = 0;
    progress.hidden = false;
    $('upload-submit').disabled = true;
    try {
      const id = await this.client.upload(this.file, attributes, (fraction) => {
        progress.value = Math.round(fraction * 100);
      });
      progress.value = 100;
      this.reset();
      this.announce(format(S.uploaded, { id }));
      this.onUploaded(id);
    } catch (error) {
      showError($('upload-error'), error.message);
    } finally {
      $('upload-submit').disabled = false;
      progress.hidden = true;
    }
  }

  reset() {
    $('upload').reset();
    this.choose(null);
    $('upload-pairs').replaceChildren();
    this.addPair(false);
  }
}
