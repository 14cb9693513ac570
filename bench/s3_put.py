#!/usr/bin/python3
"""Plain uploads to an S3 store with Debian's boto3, the yardstick of the
replication rows of `make bench`.

s3_put.py URL ACCESS SECRET BUCKET many PREFIX COUNT SIZE
    puts COUNT objects of SIZE bytes one after the other, PREFIX0 .. PREFIXn
s3_put.py URL ACCESS SECRET BUCKET file KEY PATH
    uploads the file PATH as KEY with boto3's upload_file (its own multipart
    upload, parts and threads as boto3 chooses by default)
s3_put.py URL ACCESS SECRET BUCKET delete KEY...
    deletes the KEYs
Prints the seconds the uploads took (0 for delete).
"""
import sys
import time

import boto3
from botocore.config import Config


def main():
    url, access, secret, bucket, mode = sys.argv[1:6]
    s3 = boto3.client("s3", endpoint_url=url, aws_access_key_id=access,
                      aws_secret_access_key=secret, region_name="us-east-1",
                      config=Config(s3={"addressing_style": "path"}))
    rest = sys.argv[6:]
    started = time.monotonic()
    if mode == "many":
        prefix, count, size = rest[0], int(rest[1]), int(rest[2])
        body = b"r" * size
        for n in range(count):
            s3.put_object(Bucket=bucket, Key="%s%d" % (prefix, n), Body=body)
    elif mode == "file":
        s3.upload_file(rest[1], bucket, rest[0])
    elif mode == "delete":
        for key in rest:
            s3.delete_object(Bucket=bucket, Key=key)
        started = time.monotonic()
    else:
        sys.exit("unknown mode " + mode)
    print("%.6f" % (time.monotonic() - started))


main()
