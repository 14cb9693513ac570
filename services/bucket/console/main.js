// Entry point of the console: fills in the page's texts and connects the
// table, the search, the upload form, the activity list and the
// replication state.
import { S } from './strings.js';
import { applyStrings } from './dom.js';
import { BucketClient, apiBase } from './api.js';
import { BucketTable } from './bucket_table.js';
import { Search } from './search.js';
import { Upload } from './upload.js';
import { Audit } from './audit.js';
import { Replication } from './replication.js';

const statusNode = document.getElementById('status');
let statusTimer = 0;

function announce(message) {
  statusNode.textContent = message;
  statusNode.classList.add('is-shown');
  clearTimeout(statusTimer);
  statusTimer = setTimeout(() => statusNode.classList.remove('is-shown'), 5000);
}

function start() {
  applyStrings(document);
  document.title = S.pageTitle;
  const client = new BucketClient(apiBase(window.location.pathname));
  document.getElementById('endpoint').textContent = client.base;

  const audit = new Audit(client);
  const table = new BucketTable(client, announce, () => audit.refresh());
  new Search(client, (pairs) => table.setFilter(pairs));
  new Upload(client, announce, async (id) => {
    await table.reveal(id);
    audit.refresh();
  });
  const replication = new Replication(client);
  table.load();
  audit.refresh();
  replication.refresh();
  document.body.classList.add('is-ready');
}

start();
