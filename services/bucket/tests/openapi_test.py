#!/usr/bin/env python3
"""docs/openapi.yaml against a real OpenAPI validator and a running platform.

The document is linted with swagger-cli (installed into tooling/ by
scripts/install-deps.sh). Then every documented operation is sent to a
platform started on free loopback ports, on the bucket service's own port
and through the core: each answer's status must be documented for the
operation, and a JSON answer must validate against its documented schema
(python3-jsonschema). Error answers that are easy to provoke are checked
too.

    openapi_test.py --bin-dir <dir with tarvolt-core> --doc <openapi.yaml>
                    --validator <swagger-cli>
"""
import argparse
import copy
import hashlib
import json
import os
import subprocess
import sys
import unittest

import jsonschema
import yaml

from platform_process import Platform, multipart, send, wait_until

ARGS = None
METHOD_ORDER = ["post", "get", "head", "put", "patch", "delete"]


def json_schema(node):
    """An OpenAPI 3.0 schema as JSON Schema: `nullable` becomes a null type."""
    if isinstance(node, list):
        return [json_schema(item) for item in node]
    if not isinstance(node, dict):
        return node
    converted = {key: json_schema(value) for key, value in node.items()}
    if converted.pop("nullable", False) and "type" in converted:
        converted["type"] = [converted["type"], "null"]
    return converted


def upload_form(content, attributes):
    return multipart([("sha256", None, hashlib.sha256(content).hexdigest().encode()),
                      ("attributes", None, json.dumps(attributes).encode()),
                      ("bucket", "f.bin", content)])


class OpenApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(ARGS.doc) as file:
            cls.doc = yaml.safe_load(file)
        cls.schemas = json_schema(copy.deepcopy(cls.doc))
        cls.platform = Platform(ARGS.bin_dir, prefix="tarvolt-openapi-")

    @classmethod
    def tearDownClass(cls):
        cls.platform.stop()

    def test_a_document_passes_the_validator(self):
        result = subprocess.run([ARGS.validator, "validate", ARGS.doc],
                                capture_output=True, text=True)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)

    def check_answer(self, operation, method, path, status, headers, body):
        where = f"{method.upper()} {path}"
        responses = operation["responses"]
        self.assertIn(str(status), responses, f"{where}: status {status} is not documented")
        response = responses[str(status)]
        if "$ref" in response:
            response = self.doc["components"]["responses"][response["$ref"].split("/")[-1]]
        content = response.get("content", {})
        if method == "head" or "application/json" not in content:
            return
        self.assertIn("application/json", headers.get("Content-Type", ""), where)
        schema = dict(json_schema(content["application/json"]["schema"]))
        schema["components"] = self.schemas["components"]
        try:
            jsonschema.validate(json.loads(body), schema)
        except jsonschema.ValidationError as error:
            self.fail(f"{where}: {error.message} in {body!r}")

    def run_operations(self, base, prefix):
        """Every documented operation once, creation first and deletion
        last; returns the number of requests sent."""
        body, headers = upload_form(b"openapi " + prefix.encode(), {"doc": prefix or "service"})
        created = []
        sent = 0
        for method in METHOD_ORDER:
            for template, item in self.doc["paths"].items():
                operation = item.get(method)
                if operation is None:
                    continue
                path = template.replace("{id}", str(created[0]) if created else "0")
                request_body, request_headers = None, {}
                upload = method == "post" and "multipart/form-data" in operation[
                    "requestBody"]["content"]
                if upload:
                    request_body, request_headers = body, headers
                elif method in ("post", "put", "patch"):
                    media, content = next(iter(operation["requestBody"]["content"].items()))
                    request_body = json.dumps(content["example"]).encode()
                    request_headers = {"Content-Type": media}
                status, answer_headers, answer = send(base, method.upper(), prefix + path,
                                                      request_body, request_headers)
                sent += 1
                self.check_answer(operation, method, path, status, answer_headers, answer)
                if upload:
                    self.assertEqual(202, status, answer)
                    created.append(json.loads(answer)["bucket"])
                elif method != "put" or "{id}" not in template:
                    self.assertLess(status, 300, f"{method} {path}: {answer!r}")
        return sent

    def test_b_every_operation_answers_as_documented(self):
        for base, prefix in [(self.platform.service_base, ""),
                             (self.platform.core_base, "/tarvolt")]:
            with self.subTest(base=base):
                self.assertGreaterEqual(self.run_operations(base, prefix), 8)

    def test_c_parameters_and_errors_answer_as_documented(self):
        paths = self.doc["paths"]
        base = self.platform.core_base
        body, headers = upload_form(b"paged", {"doc": "paged"})
        bucket = json.loads(send(base, "POST", "/tarvolt/bucket", body, headers)[2])["bucket"]
        cases = [
            ("get", "/bucket", "/bucket?limit=1", None, {}),
            ("get", "/bucket", "/bucket?limit=0", None, {}),
            ("put", "/bucket/match", "/bucket/match?limit=1&after=0",
             b'{ "attributes" : { } }', {}),
            ("get", "/bucket/{id}", "/bucket/999999", None, {}),
            ("get", "/bucket/{id}", f"/bucket/{bucket}", None, {"Range": "bytes=0-1"}),
            ("get", "/bucket/{id}", f"/bucket/{bucket}", None, {"Range": "bytes=99-"}),
            ("get", "/bucket/{id}", f"/bucket/{bucket}", None, {"If-Match": '"other"'}),
            ("get", "/bucket/{id}/info", "/bucket/999999/info", None, {}),
            ("put", "/bucket/{id}", "/bucket/999999", b'{ "attributes" : { "a" : "1" } }', {}),
            ("delete", "/bucket/{id}", "/bucket/999999", None, {}),
            ("put", "/bucket/{id}/content", "/bucket/999999/content", b"x", {}),
            ("put", "/bucket/{id}/content", f"/bucket/{bucket}/content", b"x",
             {"If-Match": '"other"'}),
            ("put", "/bucket/{id}/content", f"/bucket/{bucket}/content?sha256=00", b"x", {}),
            ("patch", "/bucket/{id}", "/bucket/999999", b'{ "attributes" : { "a" : null } }',
             {"Content-Type": "application/merge-patch+json"}),
            ("patch", "/bucket/{id}", f"/bucket/{bucket}", b'{ "attributes" : null }',
             {"Content-Type": "application/merge-patch+json"}),
            ("patch", "/bucket/{id}", f"/bucket/{bucket}", b'{ "attributes" : { "a" : null } }',
             {"Content-Type": "application/json"}),
        ]
        for method, template, path, request_body, request_headers in cases:
            status, answer_headers, answer = send(base, method.upper(), "/tarvolt" + path,
                                                  request_body, request_headers)
            self.check_answer(paths[template][method], method, path, status, answer_headers,
                              answer)

    def set_max_bucket_size(self, value):
        with open(os.path.join(self.platform.data, "admin.token")) as file:
            token = file.read().strip()
        status, _, answer = send(
            self.platform.core_base, "PUT",
            "/tarvolt/category/Bucket%20Storage%20Advanced/maxBucketSize",
            json.dumps({"value": value}).encode(), {"Authorization": "Bearer " + token})
        self.assertEqual(200, status, answer)

    def test_d_upload_above_the_maximum_bucket_size(self):
        operation = self.doc["paths"]["/bucket"]["post"]
        attempts = []
        self.set_max_bucket_size("64")
        try:
            for base, prefix in [(self.platform.service_base, ""),
                                 (self.platform.core_base, "/tarvolt")]:
                # The change reaches the service shortly after the core took
                # it; an upload accepted before that must not make the next
                # attempts duplicates.
                def refused():
                    attempts.append(None)
                    body, headers = upload_form(b"x" * 100, {"too large": str(len(attempts))})
                    answer = send(base, "POST", prefix + "/bucket", body, headers)
                    return answer if answer[0] == 413 else None
                status, answer_headers, answer = wait_until(refused, timeout=20,
                                                            what="the maximum bucket size")
                self.check_answer(operation, "post", "/bucket", status, answer_headers, answer)
        finally:
            self.set_max_bucket_size("0")

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--doc", required=True)
    parser.add_argument("--validator", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
