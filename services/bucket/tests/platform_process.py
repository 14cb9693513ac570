"""A Tarvolt platform for the tests written in Python: a core on free
loopback ports that launches the storage and bucket services in a fresh data
directory, and the HTTP helpers those tests share.

Used from one test thread; stop() ends the core (which ends its services).
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
import uuid


def wait_until(condition, timeout=60, what="the platform"):
    """The first true value of condition(), polled every 0.1 s; errors of a
    platform that is still starting count as false. Raises AssertionError
    after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = condition()
            if value:
                return value
        except (OSError, ValueError, urllib.error.URLError):
            pass
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def send(base, method, path, body=None, headers=None):
    """(status, headers, body) of one request; error statuses are answers too."""
    request = urllib.request.Request(base + path, data=body, method=method,
                                     headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def multipart(parts):
    """(body, headers) of a multipart/form-data form of `parts`, each
    (name, file name or None, bytes)."""
    boundary = uuid.uuid4().hex
    body = b""
    for name, filename, data in parts:
        disposition = f'form-data; name="{name}"' + (f'; filename="{filename}"' if filename else "")
        body += f"--{boundary}\r\nContent-Disposition: {disposition}\r\n\r\n".encode() + data
        body += b"\r\n"
    body += f"--{boundary}--\r\n".encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


class Platform:
    """core_base is the core's public API, service_base the bucket service's
    own port, both http://127.0.0.1:<port>; data is the data directory."""

    def __init__(self, bin_dir, prefix="tarvolt-test-"):
        self.data = tempfile.mkdtemp(prefix=prefix)
        self.log = open(os.path.join(self.data, "core.out"), "wb")
        self.core = subprocess.Popen(
            [os.path.join(bin_dir, "tarvolt-core"), "--port=0", "--api-port=0",
             "--data=" + self.data, "--launch=storage,bucket"],
            stdout=self.log, stderr=subprocess.STDOUT)
        ports = wait_until(self._core_ports, what="core.json")
        self.core_base = f"http://127.0.0.1:{ports['api_port']}"
        wait_until(lambda: b"Invalid bucket id" in send(self.core_base, "GET",
                                                        "/tarvolt/bucket/0")[2],
                   what="the bucket service")
        services = json.loads(send(self.core_base, "GET",
                                   "/tarvolt/service?name=Bucket%20Storage")[2])
        self.service_base = f"http://127.0.0.1:{services['services'][0]['service_port']}"

    def _core_ports(self):
        with open(os.path.join(self.data, "core.json")) as file:
            return json.load(file)

    def sanitizer_reports(self):
        """The sanitizer lines in the services' logs."""
        reports = []
        logs = os.path.join(self.data, "logs")
        for name in os.listdir(logs) if os.path.isdir(logs) else []:
            with open(os.path.join(logs, name), errors="replace") as log:
                reports += [f"{name}: {line}" for line in log
                            if "Sanitizer" in line or "runtime error:" in line]
        return reports

    def stop(self, keep_data=False):
        """Stops the core (SIGTERM, SIGKILL after 30 s) and removes the data
        directory unless `keep_data`."""
        if self.core.poll() is None:
            self.core.send_signal(signal.SIGTERM)
            try:
                self.core.wait(30)
            except subprocess.TimeoutExpired:
                self.core.kill()
                self.core.wait()
        self.log.close()
        if not keep_data:
            shutil.rmtree(self.data, ignore_errors=True)
