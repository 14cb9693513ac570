#!/usr/bin/python3
"""An independent look into an S3 bucket with Debian's boto3, for tests.

s3_inspect.py URL ACCESS SECRET BUCKET [KEY...]
prints one JSON object: for each KEY its size, SHA-256 of its bytes and user
metadata (null when there is no such object); without KEY, the bucket's keys
under "keys". Part uploads, when a KEY is given as "upload:KEY:N", start a
multipart upload of KEY and send its part 1 from the file N names (for
resumption tests), printing the upload id and the part's ETag.
"""
import hashlib
import json
import sys

import boto3
from botocore.config import Config


def client(url, access, secret):
    return boto3.client("s3", endpoint_url=url, aws_access_key_id=access,
                        aws_secret_access_key=secret, region_name="us-east-1",
                        config=Config(s3={"addressing_style": "path"}))


def describe(s3, bucket, key):
    try:
        obj = s3.get_object(Bucket=bucket, Key=key)
    except s3.exceptions.NoSuchKey:
        return None
    body = obj["Body"].read()
    return {"size": len(body), "sha256": hashlib.sha256(body).hexdigest(),
            "metadata": obj["Metadata"], "etag": obj["ETag"].strip('"')}


def main():
    url, access, secret, bucket = sys.argv[1:5]
    s3 = client(url, access, secret)
    keys = sys.argv[5:]
    if not keys:
        listed = s3.list_objects_v2(Bucket=bucket).get("Contents", [])
        print(json.dumps({"keys": sorted(o["Key"] for o in listed)}))
        return
    answer = {}
    for key in keys:
        if key.startswith("upload:"):
            _, name, part_file = key.split(":", 2)
            upload = s3.create_multipart_upload(Bucket=bucket, Key=name)
            with open(part_file, "rb") as f:
                part = s3.upload_part(Bucket=bucket, Key=name, PartNumber=1,
                                      UploadId=upload["UploadId"], Body=f.read())
            answer[name] = {"upload": upload["UploadId"], "etag": part["ETag"]}
        else:
            answer[key] = describe(s3, bucket, key)
    print(json.dumps(answer))


main()
