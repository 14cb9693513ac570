// The console's only way to the service: the bucket REST API under `base`
// ("/tarvolt/bucket" through the core, "/bucket" on the service's own port)
// and the core's audit log, both on the page's own origin.
import { S, format } from './strings.js';

// A refused or failed request; `message` is the service's own text when it
// sent one. `status` is 0 when no answer arrived.
export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// The API base for a console served at `pathname`.
export function apiBase(pathname) {
  return pathname.replace(/\/console(\/.*)?$/, '');
}

function messageOf(status, document, text) {
  if (document && typeof document === 'object') {
    const message = document.message || document.error || document.Exception;
    if (typeof message === 'string' && message !== '') return message;
  }
  return text.trim() !== '' && text.length < 300 ? text.trim() : format(S.unknownError, { status });
}

function parse(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

// Sends `body` (JSON unless `options.type` names another media type) and
// resolves to the parsed JSON answer; a refusal rejects with an ApiError.
async function requestJson(method, url, body, options = {}) {
  const init = { method, headers: { Accept: 'application/json', ...(options.headers || {}) } };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers['Content-Type'] = options.type || 'application/json';
  }
  let response;
  try {
    response = await fetch(url, init);
  } catch {
    throw new ApiError(0, S.networkError);
  }
  const text = await response.text();
  const document = parse(text);
  if (!response.ok) throw new ApiError(response.status, messageOf(response.status, document, text));
  if (document === null || typeof document !== 'object') throw new ApiError(response.status, S.badAnswer);
  return document;
}

// Sends `body` (a File or FormData) by XMLHttpRequest, which reports the
// upload's progress to `onProgress` (0..1); resolves to the JSON answer.
function sendWithProgress(method, url, body, headers, onProgress) {
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.open(method, url);
    for (const [name, value] of Object.entries(headers)) request.setRequestHeader(name, value);
    request.upload.addEventListener('progress', (event) => {
      if (event.lengthComputable && event.total > 0) onProgress(event.loaded / event.total);
    });
    request.addEventListener('load', () => {
      const document = parse(request.responseText);
      if (request.status >= 200 && request.status < 300 && document && typeof document === 'object') {
        resolve(document);
      } else {
        reject(new ApiError(request.status, messageOf(request.status, document, request.responseText)));
      }
    });
    request.addEventListener('error', () => reject(new ApiError(0, S.networkError)));
    request.send(body);
  });
}

// The page of an answer to a request with `limit`: its items and the
// `after` of the next page (null on the last).
function paged(document, member) {
  const items = document[member];
  if (!Array.isArray(items) || !('next' in document)) throw new ApiError(200, S.badAnswer);
  return { items, next: document.next };
}

function pageQuery(after, limit) {
  const query = new URLSearchParams({ limit: String(limit) });
  if (after !== null) query.set('after', String(after));
  return `?${query}`;
}

export class BucketClient {
  constructor(base) {
    this.base = base;
    // The audit log belongs to the core: only reachable through its port.
    this.auditUrl = base.startsWith('/tarvolt/') ? '/tarvolt/audit' : null;
  }

  // Up to `limit` buckets with ids above `after` (null: from the start):
  // resolves to { items, next }.
  async listPage(after, limit) {
    return paged(await requestJson('GET', this.base + pageQuery(after, limit)), 'buckets');
  }

  // Like listPage, for the buckets matching the condition `where` (a
  // search condition tree).
  async searchPage(where, after, limit) {
    const body = { where, limit };
    if (after !== null) body.after = after;
    return paged(await requestJson('POST', `${this.base}/search`, body), 'buckets');
  }

  // The number of buckets matching `where` (null: of all buckets).
  async countSearch(where) {
    const body = where === null ? { limit: 1, count: true } : { where, limit: 1, count: true };
    const document = await requestJson('POST', `${this.base}/search`, body);
    if (typeof document.count !== 'number') throw new ApiError(200, S.badAnswer);
    return document.count;
  }

  // Bulk deletion of the buckets matching `where`: `options` adds dryRun,
  // limit and all. Resolves to the answer ({ count, next } and, for a dry
  // run, bytes and buckets).
  async deleteWhere(where, options) {
    return requestJson('POST', `${this.base}/delete`, { where, ...options });
  }

  // The retention rules, the free space and the next run's deletions.
  async retention() {
    return requestJson('GET', `${this.base}/retention`);
  }

  // The file facts of bucket `id`: { bucket, size, modified, etag, name?,
  // type?, sha256?, attributes }.
  async info(id) {
    return requestJson('GET', `${this.base}/${id}/info`);
  }

  downloadUrl(id) {
    return `${this.base}/${id}`;
  }

  // Patches the attributes of bucket `id`: a string sets, null removes;
  // resolves to the service's message.
  async patch(id, attributes) {
    const document = await requestJson('PATCH', `${this.base}/${id}`, { attributes },
      { type: 'application/merge-patch+json' });
    return document.message;
  }

  // Replaces the file of bucket `id` by `file` if it still has the ETag
  // `etag` (412 otherwise); `onProgress` gets the sent fraction. Resolves to
  // { message, size, etag }.
  replaceContent(id, file, etag, onProgress) {
    const query = new URLSearchParams({ name: file.name });
    if (file.type) query.set('type', file.type);
    return sendWithProgress('PUT', `${this.base}/${id}/content?${query}`, file,
      { 'If-Match': etag }, onProgress);
  }

  async remove(id) {
    const document = await requestJson('DELETE', `${this.base}/${id}`);
    return document.message;
  }

  // Uploads `file` with `attributes`; `onProgress` gets the sent fraction
  // (0..1). Resolves to the new bucket's id.
  async upload(file, attributes, onProgress) {
    const form = new FormData();
    form.append('bucket', file, file.name);
    form.append('attributes', JSON.stringify(attributes));
    const document = await sendWithProgress('POST', this.base, form, {}, onProgress);
    if (document.bucket === undefined) throw new ApiError(200, S.badAnswer);
    return document.bucket;
  }

  // The state of replication to an object store (GET <base>/replication).
  async replication() {
    return requestJson('GET', `${this.base}/replication`);
  }

  // The newest `count` audit entries of bucket additions, changes and
  // deletions, newest first; null when the log cannot be reached from here.
  async recentChanges(count) {
    if (this.auditUrl === null) return null;
    const sources = ['BUCAD', 'BUCCH', 'BUCDL'];
    const answers = await Promise.all(sources.map((source) =>
      requestJson('GET', `${this.auditUrl}?source=${source}&limit=${count}`)));
    // A page of one source is newest first; the index breaks timestamp ties.
    const entries = answers.flatMap((answer) => (Array.isArray(answer.audit) ? answer.audit : [])
      .map((entry, index) => ({ entry, index })));
    entries.sort((a, b) => String(b.entry.timestamp).localeCompare(String(a.entry.timestamp)) ||
      a.index - b.index);
    return entries.slice(0, count).map(({ entry }) => entry);
  }
}
