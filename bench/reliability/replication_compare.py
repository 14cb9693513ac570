#!/usr/bin/python3
"""Compares an object store's copy with the buckets of a running platform.

replication_compare.py CORE_URL S3_URL ACCESS SECRET BUCKET PREFIX

Reads every bucket of the platform through the core (the listing for the
attributes, a download for the bytes) and every object under PREFIX in the
store with Debian's boto3, an independent S3 client, then prints one check
line per property ("[pass] ..." or "[FAIL] ...: details"): the store holds
an object for every bucket, no object without its bucket, the same bytes
(by SHA-256), the same attributes (the user metadata decoded as
docs/replication.md describes) and, in the metadata's "tv-etag", the ETag of
the bucket's current bytes. The last line is "[figures] compared: ...".
"""
import base64
import hashlib
import json
import sys
import urllib.request

import boto3
from botocore.config import Config

# The metadata naming the ETag of the bytes an object was made from.
ETAG_NAME = "tv-etag"


def source_buckets(core):
    """{id: attributes} of every bucket, paged by ascending id."""
    buckets, after = {}, 0
    while after is not None:
        url = "%s/tarvolt/bucket?limit=1000&after=%d" % (core, after)
        with urllib.request.urlopen(url, timeout=60) as answer:
            page = json.load(answer)
        for bucket in page["buckets"]:
            buckets[bucket["bucket"]] = bucket["attributes"]
        after = page.get("next")
    return buckets


def source_download(core, bucket):
    """The SHA-256 of the bucket's bytes and its ETag (without quotes)."""
    with urllib.request.urlopen("%s/tarvolt/bucket/%d" % (core, bucket), timeout=60) as answer:
        etag = (answer.headers.get("ETag") or "").strip('"')
        return hashlib.sha256(answer.read()).hexdigest(), etag


def decode_metadata(metadata):
    """The attributes the user metadata carries; None when one cannot be decoded."""
    attributes = {}
    for name, value in metadata.items():
        if name == ETAG_NAME:
            continue
        if not name.startswith("tv-"):
            attributes[name] = value
            continue
        try:
            decoded = bytes.fromhex(name[3:]).decode("utf-8")
            attributes[decoded] = "" if value == "-" else base64.b64decode(
                value, validate=True).decode("utf-8")
        except ValueError:
            return None
    return attributes


def store_objects(s3, bucket, prefix):
    """{id: key} of the objects under `prefix`, and the keys that name no id."""
    objects, strangers = {}, []
    for page in s3.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix):
        for entry in page.get("Contents", []):
            rest = entry["Key"][len(prefix):]
            if rest.isdigit() and str(int(rest)) == rest:
                objects[int(rest)] = entry["Key"]
            else:
                strangers.append(entry["Key"])
    return objects, strangers


def check(passed, what, faults):
    detail = "" if passed else ": %d, e.g. %s" % (len(faults), "; ".join(faults[:5]))
    print("[%s] %s%s" % ("pass" if passed else "FAIL", what, detail), flush=True)


def compare_contents(core, s3, bucket, objects, buckets):
    wrong_bytes, wrong_metadata, wrong_etags = [], [], []
    for bucket_id in sorted(set(objects) & set(buckets)):
        obj = s3.get_object(Bucket=bucket, Key=objects[bucket_id])
        stored = hashlib.sha256(obj["Body"].read()).hexdigest()
        sha256, etag = source_download(core, bucket_id)
        if stored != sha256:
            wrong_bytes.append("bucket %d" % bucket_id)
        if obj["Metadata"].get(ETAG_NAME) != etag:
            wrong_etags.append("bucket %d: %s in the store, %s in the source" % (
                bucket_id, obj["Metadata"].get(ETAG_NAME), etag))
        attributes = decode_metadata(obj["Metadata"])
        if attributes != buckets[bucket_id]:
            wrong_metadata.append("bucket %d: %s in the store, %s in the source" % (
                bucket_id, json.dumps(attributes), json.dumps(buckets[bucket_id])))
    return wrong_bytes, wrong_metadata, wrong_etags


def main():
    core, url, access, secret, bucket, prefix = sys.argv[1:7]
    s3 = boto3.client("s3", endpoint_url=url, aws_access_key_id=access,
                      aws_secret_access_key=secret, region_name="us-east-1",
                      config=Config(s3={"addressing_style": "path"},
                                    retries={"max_attempts": 5}))
    buckets = source_buckets(core)
    objects, strangers = store_objects(s3, bucket, prefix)
    missing = ["bucket %d" % i for i in sorted(set(buckets) - set(objects))]
    stale = ["object %s" % objects[i] for i in sorted(set(objects) - set(buckets))]
    check(not missing, "every bucket of the source has its object in the store", missing)
    check(not stale and not strangers,
          "the store holds no object whose bucket is gone (nor any other key)",
          stale + ["key %s" % k for k in strangers])
    wrong_bytes, wrong_metadata, wrong_etags = compare_contents(core, s3, bucket, objects,
                                                                buckets)
    check(not wrong_bytes, "every object holds its bucket's bytes (SHA-256)", wrong_bytes)
    check(not wrong_metadata, "every object's metadata decodes to its bucket's attributes",
          wrong_metadata)
    check(not wrong_etags, "every object names its bucket's current ETag", wrong_etags)
    print("[figures] compared: %d buckets in the source, %d objects in the store" % (
        len(buckets), len(objects)), flush=True)


main()
