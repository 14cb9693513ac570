// Every text the console shows. Translating the console means translating
// this file: placeholders in braces are filled in by `format`.
export const S = {
  pageTitle: 'Buckets · Tarvolt console',
  brandName: 'Tarvolt',
  brandProduct: 'Bucket console',
  endpointLabel: 'API',
  skipToBuckets: 'Skip to the buckets',

  bucketsHeading: 'Buckets',
  refresh: 'Refresh',
  refreshBuckets: 'Refresh the bucket list',
  refreshAudit: 'Refresh the recent activity',
  tableCaption: 'Stored buckets with their attributes',
  columnId: 'ID',
  columnAttributes: 'Attributes',
  columnActions: 'Actions',
  noBuckets: 'No buckets stored yet. Upload a file to create the first one.',
  noMatches: 'No bucket holds all of these attributes.',
  noAttributes: 'no attributes',
  loading: 'Loading…',

  pagerLabel: 'Pages of buckets',
  pageFirst: 'First',
  pagePrevious: 'Previous',
  pageNext: 'Next',
  pageSize: 'Per page',
  pageNumbered: 'Page {page} · IDs {first}–{last}',
  pageIds: 'IDs {first}–{last}',
  pageEmpty: 'Empty page',

  searchLegend: 'Find buckets by attribute',
  attributeName: 'Name',
  attributeValue: 'Value',
  searchAdd: 'Add filter',
  searchClear: 'Clear filters',
  searchChipsLabel: 'Active filters',
  searchNeedsName: 'Enter the name of an attribute to filter by.',
  removeFilter: 'Remove filter {name}={value}',
  matchCountOne: '1 bucket matches',
  matchCount: '{count} buckets match',
  matchCountNone: 'No bucket matches',

  download: 'Download',
  edit: 'Edit',
  delete: 'Delete',
  save: 'Save',
  cancel: 'Cancel',
  downloadBucket: 'Download bucket {id}',
  editBucket: 'Edit the attributes of bucket {id}',
  deleteBucket: 'Delete bucket {id}',
  editLegend: 'Attributes of bucket {id}',
  editHint: 'Change values or add attributes; attributes cannot be removed.',
  valueOf: 'Value of {name}',
  newName: 'New attribute name',
  newValue: 'New attribute value',
  addAttribute: '+ Add attribute',
  removePair: 'Remove this attribute row',
  bucketUpdated: 'Bucket {id} updated.',

  confirmTitle: 'Delete bucket {id}?',
  confirmText: 'Its file and its attributes are removed for good. This cannot be undone.',
  bucketDeleted: 'Bucket {id} deleted.',

  uploadHeading: 'Upload a file',
  dropPrompt: 'Drop a file here or choose one',
  dropChosen: '{name} · {size}',
  uploadAttributes: 'Attributes',
  uploadSubmit: 'Upload',
  uploadProgress: 'Upload progress',
  uploadNeedsFile: 'Choose a file to upload.',
  uploadEmptyFile: 'The file is empty; a bucket needs at least one byte.',
  uploadNeedsAttribute: 'Give the bucket at least one attribute with a name.',
  uploadDuplicateName: 'The attribute {name} is given twice.',
  uploaded: 'Bucket {id} uploaded.',

  auditHeading: 'Recent activity',
  auditEmpty: 'No bucket has been added, changed or deleted yet.',
  auditUnavailable: 'The activity log is served by the core; open the console through the core\'s public port to see it.',
  auditAdded: 'Added',
  auditChanged: 'Updated',
  auditDeleted: 'Deleted',
  auditBucket: 'Bucket {id}',

  bytes: '{count} B',
  kibibytes: '{count} KiB',
  mebibytes: '{count} MiB',
  gibibytes: '{count} GiB',

  networkError: 'The service could not be reached. Check that Tarvolt is running.',
  badAnswer: 'The service gave an answer the console does not understand.',
  unknownError: 'The request failed (status {status}).',
};

// `template` with every "{key}" replaced by values[key]; unknown keys stay.
export function format(template, values = {}) {
  return template.replace(/\{(\w+)\}/g, (whole, key) =>
    Object.prototype.hasOwnProperty.call(values, key) ? String(values[key]) : whole);
}
