#!/usr/bin/env python3
"""The web console in a real browser: headless Chromium driven by Selenium
against a platform (core, storage and bucket services) started on free
loopback ports. Screenshots of the main views go to the output directory.

    console_browser_test.py --bin-dir <dir with tarvolt-core> --out <dir>
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from platform_process import Platform, multipart, send, wait_until

ARGS = None
WAIT = 30


def add_bucket(platform, content, attributes):
    """Adds a bucket through the core; its id."""
    body, headers = multipart([("bucket", "f.bin", content),
                               ("attributes", None, json.dumps(attributes).encode())])
    status, _, answer = send(platform.core_base, "POST", "/tarvolt/bucket", body, headers)
    assert status == 202, answer
    return json.loads(answer)["bucket"]


def all_ids(platform):
    status, _, answer = send(platform.core_base, "PUT", "/tarvolt/bucket/match",
                             b'{ "attributes" : {} }')
    assert status == 200, answer
    return [match["bucket"] for match in json.loads(answer)["matches"]]


def start_browser(profile, downloads):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--window-size=1280,900",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    options.add_experimental_option("prefs", {
        "download.default_directory": downloads, "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(
        service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
        options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    return driver


class ConsoleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(ARGS.out, exist_ok=True)
        cls.scratch = tempfile.mkdtemp(prefix="tarvolt-browser-")
        cls.downloads = os.path.join(cls.scratch, "downloads")
        os.makedirs(cls.downloads)
        cls.platform = Platform(ARGS.bin_dir, prefix="tarvolt-console-")
        cls.browser = start_browser(os.path.join(cls.scratch, "profile"), cls.downloads)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        # Leaks are reported when the services exit: read the logs after.
        cls.platform.stop(keep_data=True)
        reports = cls.platform.sanitizer_reports()
        if not reports:
            shutil.rmtree(cls.platform.data, ignore_errors=True)
        shutil.rmtree(cls.scratch, ignore_errors=True)
        assert not reports, "\n".join(reports)

    # Helpers -----------------------------------------------------------

    def find(self, selector, root=None):
        return (root or self.browser).find_element(By.CSS_SELECTOR, selector)

    def find_all(self, selector, root=None):
        return (root or self.browser).find_elements(By.CSS_SELECTOR, selector)

    def wait(self, condition, what):
        # Rows are replaced whenever a page loads: an element found a moment
        # ago may be gone by the time it is read.
        return WebDriverWait(self.browser, WAIT, ignored_exceptions=(
            NoSuchElementException, StaleElementReferenceException)).until(
                lambda _: condition(), message=what)

    def open_console(self, base):
        self.browser.get(base + "/console")
        self.wait(lambda: "is-ready" in self.find("body").get_attribute("class"), "the console")
        self.wait(lambda: self.find("#bucket-rows").get_attribute("aria-busy") is None, "the list")

    def row(self, bucket):
        rows = self.find_all(f'#bucket-rows tr[data-id="{bucket}"]')
        return rows[0] if rows else None

    def chips(self, bucket):
        """The sorted "name=value" texts of the row of `bucket`; None without that row."""
        return self.browser.execute_script(
            "const row = document.querySelector(`#bucket-rows tr[data-id='${arguments[0]}']`);"
            "return row && [...row.querySelectorAll('.chip')].map(c => c.textContent).sort()",
            bucket)

    def facts(self, bucket):
        """The name, size and date texts of the row of `bucket`; None without that row."""
        return self.browser.execute_script(
            "const row = document.querySelector(`#bucket-rows tr[data-id='${arguments[0]}']`);"
            "return row && ['.col-name', '.col-size', '.col-date']"
            ".map(c => row.querySelector(c).textContent)", bucket)

    def shown_ids(self):
        # Read in one script: the rows are replaced while a page loads.
        return self.browser.execute_script(
            "return [...document.querySelectorAll('#bucket-rows tr')].map(r => Number(r.dataset.id))")

    def new_row(self, other_than=None):
        """The highlighted row once it is not the one of bucket `other_than`."""
        def found():
            ids = self.browser.execute_script(
                "return [...document.querySelectorAll('#bucket-rows tr.is-new')]"
                ".map(r => Number(r.dataset.id))")
            return ids and ids[0] != other_than and ids[0]
        return self.wait(found, "the new row")

    def screenshot(self, name):
        self.browser.save_screenshot(os.path.join(ARGS.out, name + ".png"))

    def upload(self, path, pairs):
        self.find("#upload-file").send_keys(path)
        for index, (name, value) in enumerate(pairs):
            if index > 0:
                self.find("#upload-add-pair").click()
            row = self.find_all("#upload-pairs .pair")[index]
            self.find(".pair-new-name", row).send_keys(name)
            self.find(".pair-new-value", row).send_keys(value)
        self.find("#upload-submit").click()

    def add_filter(self, name, value):
        self.find("#search-name").send_keys(name)
        self.find("#search-value").send_keys(value + Keys.ENTER)

    def javascript_errors(self):
        return [entry for entry in self.browser.get_log("browser")
                if entry.get("source") == "javascript"]

    # Tests -------------------------------------------------------------

    def test_a_bucket_life_through_the_core(self):
        platform = self.platform
        content = os.urandom(300 * 1024) + b"\0end"
        source = os.path.join(self.scratch, "reading.bin")
        with open(source, "wb") as file:
            file.write(content)
        self.open_console(platform.core_base + "/tarvolt/bucket")

        # Upload with two attributes: listed, highlighted, in the activity.
        self.upload(source, [("site", "north"), ("kind", "reading")])
        bucket = self.new_row()
        self.assertEqual(["kind=reading", "site=north"], self.chips(bucket))
        self.wait(lambda: "Bucket %d" % bucket in self.find("#audit-list").text, "audit entry")
        self.screenshot("desktop-uploaded")

        # The same set again is refused with the service's message by the form.
        self.upload(source, [("kind", "reading"), ("site", "north")])
        self.wait(lambda: self.find("#upload-error").text == "Duplicate bucket", "the refusal")
        # The rows are kept after a refusal: one changed value makes it new.
        value = self.find_all("#upload-pairs .pair-new-value")[1]
        value.clear()
        value.send_keys("south")
        self.find("#upload-submit").click()
        second = self.new_row(other_than=bucket)
        other = add_bucket(platform, b"other", {"site": "north", "kind": "config"})

        # Each file's name, size and date; the headings sort the shown page.
        self.find("#page-first").click()
        self.wait(lambda: self.shown_ids() == [bucket, second, other], "the first page")
        self.wait(lambda: (self.facts(bucket) or [])[:2] == ["reading.bin", "300.0 KiB"],
                  "the name and size of the upload")
        self.assertRegex(self.facts(bucket)[2], r"^\d{4}-\d\d-\d\d \d\d:\d\d UTC$")
        self.assertEqual(["f.bin", "5 B"], self.facts(other)[:2])
        self.find("th.col-size .sort").click()
        self.wait(lambda: self.shown_ids() == [other, bucket, second], "sorted by size")
        self.find("th.col-name .sort").click()
        self.find("th.col-name .sort").click()
        self.wait(lambda: self.shown_ids() == [bucket, second, other], "by name, descending")
        self.assertEqual("descending", self.find("th.col-name").get_attribute("aria-sort"))
        self.assertIsNone(self.find("th.col-size").get_attribute("aria-sort"))
        self.find("th.col-id .sort").click()
        self.wait(lambda: self.shown_ids() == [bucket, second, other], "by id again")
        self.find("th.col-date .sort").click()
        self.wait(lambda: self.shown_ids() == [bucket, second, other], "by date")
        self.find("th.col-id .sort").click()

        # Search by one pair, then by two; removing a chip widens it again.
        self.add_filter("site", "north")
        self.wait(lambda: self.find("#search-count").text == "2 buckets match", "one-pair count")
        self.add_filter("kind", "reading")
        self.wait(lambda: self.shown_ids() == [bucket], "two-pair result")
        self.wait(lambda: self.find("#search-count").text == "1 bucket matches", "count")
        self.screenshot("desktop-search")
        self.find('#search-chips .chip-remove[aria-label="Remove filter kind=reading"]').click()
        self.wait(lambda: len(self.shown_ids()) == 2, "one-pair result again")
        self.find("#search-clear").click()
        self.wait(lambda: self.row(second) is not None, "the full list")

        # Edit: a change to the other bucket's set is refused, a new value works.
        self.find(".edit", self.row(second)).click()
        site = self.find('.editor input[aria-label="Value of site"]', self.row(second))
        self.assertEqual(self.find(".editor input", self.row(second)),
                         self.browser.switch_to.active_element)
        site.clear()
        site.send_keys("north")
        self.find(".editor .save", self.row(second)).click()
        self.wait(lambda: self.find(".editor .form-error", self.row(second)).text ==
                  "Updates would result in a duplicate bucket", "the duplicate refusal")
        self.screenshot("desktop-edit-refused")
        site.clear()
        site.send_keys("east" + Keys.ENTER)
        self.wait(lambda: self.chips(second) == ["kind=reading", "site=east"], "edit")
        self.wait(lambda: self.find("#audit-list .badge").text.lower() == "updated", "BUCCH")
        self.assertEqual(200, send(platform.core_base, "GET", f"/tarvolt/bucket/{second}")[0])

        # Download: the same bytes that were uploaded, saved under their name.
        self.find(f'a[aria-label="Download bucket {bucket}"]').click()
        target = os.path.join(self.downloads, "reading.bin")
        wait_until(lambda: os.path.exists(target) and os.path.getsize(target) == len(content),
                   what="the download")
        with open(target, "rb") as file:
            self.assertEqual(content, file.read())

        # Delete by keyboard: the dialog opens on Cancel; Tab, Enter deletes.
        self.find(".delete", self.row(second)).send_keys(Keys.ENTER)
        self.wait(lambda: self.find("#confirm").get_attribute("open") is not None, "dialog")
        self.screenshot("desktop-delete-confirm")
        self.assertEqual("confirm-cancel", self.browser.switch_to.active_element.get_attribute("id"))
        self.browser.switch_to.active_element.send_keys(Keys.TAB)
        self.browser.switch_to.active_element.send_keys(Keys.ENTER)
        self.wait(lambda: self.row(second) is None, "the row to go")
        self.assertEqual(404, send(platform.core_base, "GET", f"/tarvolt/bucket/{second}")[0])
        self.wait(lambda: self.find("#audit-list .badge").text.lower() == "deleted", "BUCDL")
        self.assertEqual([], self.javascript_errors())

    def test_b_pages_through_250_buckets(self):
        platform = self.platform
        for index in range(250):
            add_bucket(platform, b"x", {"batch": "paging", "n": str(index)})
        expected = sorted(all_ids(platform))
        self.open_console(platform.core_base + "/tarvolt/bucket")
        self.screenshot("desktop-list")
        seen = [self.shown_ids()]
        while self.find("#page-next").is_enabled():
            before = seen[-1]
            self.find("#page-next").click()
            seen.append(self.wait(lambda: self.shown_ids() != before and self.shown_ids(),
                                  "the next page"))
        self.assertEqual(expected, [bucket for page in seen for bucket in page])
        self.assertTrue(all(len(page) == 25 for page in seen[:-1]))
        self.assertEqual(f"Page {len(seen)}", self.find("#page-label").text.split(" ·")[0])
        self.find("#page-prev").click()
        self.wait(lambda: self.shown_ids() == seen[-2], "the page before")

        # The same list at 360 px, and the search by keyboard there.
        self.find("#page-first").click()
        self.wait(lambda: self.shown_ids() == seen[0], "the first page")
        self.browser.set_window_size(360, 800)
        self.browser.execute_script("window.scrollTo(0, 0)")
        self.screenshot("phone-list")
        self.add_filter("n", "7")
        self.wait(lambda: len(self.shown_ids()) == 1, "one match")
        self.screenshot("phone-search")
        self.browser.set_window_size(1280, 900)
        self.assertEqual([], self.javascript_errors())

    def test_c_service_port_console(self):
        # On the service's own port the console lists the buckets; the
        # activity log (the core's) says where to find it.
        self.open_console(self.platform.service_base + "/bucket")
        self.wait(lambda: len(self.shown_ids()) == 25, "the first page")
        self.assertIn("core", self.find("#audit-note").text)
        # No object store is set: the replication card says so.
        self.wait(lambda: "Not replicating" in self.find("#replication-note").text,
                  "the replication state")
        status, headers, _ = send(self.platform.core_base, "GET",
                                  "/tarvolt/bucket/console/strings.js")
        self.assertEqual(200, status)
        self.assertEqual("text/javascript; charset=utf-8", headers["Content-Type"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--out", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
