// Entry point of the console: fills in the page's texts and connects the
// table, the search with its bulk deletion, the upload form, the activity
// list, the replication state and the retention card.
import { S } from './strings.js';
import { applyStrings } from './dom.js';
import { BucketClient, apiBase } from './api.js';
import { BucketTable } from './bucket_table.js';
import { Search } from './search.js';
import { Upload } from './upload.js';
import { Audit } from './audit.js';
import { Replication } from './replication.js';
import { Retention } from './retention.js';
import { BulkDelete } from './bulk_delete.js';

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
  const search = new Search(client, (where) => table.setFilter(where));
  const retention = new Retention(client);
  new BulkDelete(client, announce, () => search.where, () => {
    table.load();
    search.recount();
    audit.refresh();
    retention.refresh();
  });
  new Upload(client, announce, async (id) => {
    await table.reveal(id);
    audit.refresh();
  });
  const replication = new Replication(client);
  table.load();
  audit.refresh();
  replication.refresh();
  retention.refresh();
  document.body.classList.add('is-ready');
}

start();
