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
from selenium.webdriver.support.ui import Select, WebDriverWait

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


def every_bucket(platform):
    """{ id: attributes } of every stored bucket."""
    status, _, answer = send(platform.core_base, "GET", "/tarvolt/bucket")
    assert status == 200, answer
    return {bucket["bucket"]: bucket["attributes"] for bucket in json.loads(answer)["buckets"]}


def set_category_item(platform, category, item, value):
    with open(os.path.join(platform.data, "admin.token")) as file:
        token = file.read().strip()
    status, _, answer = send(
        platform.core_base, "PUT", "/tarvolt/category/%s/%s" % (category.replace(" ", "%20"), item),
        json.dumps({"value": value}).encode(), {"Authorization": "Bearer " + token})
    assert status == 200, answer


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

    def add_condition(self, name, op, value="", compare="text", negated=False):
        """Adds a condition through the builder's form; "@id", "@size" and
        "@modified" name the facts."""
        fact = name[1:] if name.startswith("@") else ""
        Select(self.find("#search-field")).select_by_value(fact)
        if not fact:
            self.find("#search-name").send_keys(name)
        Select(self.find("#search-op")).select_by_value(op)
        if value:
            self.find("#search-value").send_keys(value)
        if self.find("#search-as").is_enabled():
            Select(self.find("#search-as")).select_by_value(compare)
        if self.find("#search-not").is_selected() != negated:
            self.find("#search-not").click()
        self.find("#search-add").click()

    def sent_condition(self):
        return json.loads(self.browser.execute_script(
            "return document.getElementById('search-where').textContent"))

    def pages(self):
        """The ids of each page from the shown one on, by Next until the last."""
        self.wait(lambda: self.find("#bucket-rows").get_attribute("aria-busy") is None, "the page")
        seen = [self.shown_ids()]
        while self.find("#page-next").is_enabled():
            before = seen[-1]
            self.find("#page-next").click()
            seen.append(self.wait(lambda: self.shown_ids() != before and self.shown_ids(),
                                  "the next page"))
        return seen

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

        # Search by one pair, then by two (eq conditions joined by "all");
        # removing a chip widens it again.
        self.add_filter("site", "north")
        self.wait(lambda: self.find("#search-count").text == "2 buckets match", "one-pair count")
        self.add_filter("kind", "reading")
        self.wait(lambda: self.shown_ids() == [bucket], "two-pair result")
        self.wait(lambda: self.find("#search-count").text == "1 bucket matches", "count")
        self.assertEqual({"all": [{"name": "site", "op": "eq", "value": "north"},
                                  {"name": "kind", "op": "eq", "value": "reading"}]},
                         self.sent_condition())
        self.find('#search-chips .chip-remove[aria-label="Remove condition kind = reading"]').click()
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

        # Remove attributes: all of them is refused (409, nothing changes),
        # one of them goes by a merge patch with null.
        self.find(".edit", self.row(second)).click()
        for name in ("kind", "site"):
            self.find(f'.editor .remove-attribute[aria-label="Remove attribute {name}"]',
                      self.row(second)).click()
        self.find(".editor .save", self.row(second)).click()
        self.wait(lambda: self.find(".editor .form-error", self.row(second)).text ==
                  "A bucket must have at least one attribute", "the empty-set refusal")
        self.assertEqual({"kind": "reading", "site": "east"}, every_bucket(platform)[second])
        keep = self.find('.editor .remove-attribute[aria-label="Remove attribute site"]',
                         self.row(second))
        keep.click()
        self.assertEqual("false", keep.get_attribute("aria-pressed"))
        self.screenshot("desktop-edit-remove")
        self.find(".editor .save", self.row(second)).click()
        self.wait(lambda: self.chips(second) == ["site=east"], "the removal")
        self.assertEqual({"site": "east"}, every_bucket(platform)[second])
        self.assertEqual(200, send(platform.core_base, "GET", f"/tarvolt/bucket/{second}")[0])

        # Replace the file under the shown ETag: once someone else replaced it
        # meanwhile the console says so and changes nothing; after a reload
        # the new file goes in, the attributes stay.
        self.find(".edit", self.row(bucket)).click()
        self.assertIn("ETag", self.find(".editor .file-facts", self.row(bucket)).text)
        meanwhile = b"replaced meanwhile"
        self.assertEqual(202, send(platform.core_base, "PUT",
                                   f"/tarvolt/bucket/{bucket}/content", meanwhile,
                                   {"If-Match": "*"})[0])
        newer = os.path.join(self.scratch, "newer.bin")
        with open(newer, "wb") as file:
            file.write(b"the newer reading")
        self.find(".editor .replace-file", self.row(bucket)).send_keys(newer)
        self.wait(lambda: self.find(".editor .form-error", self.row(bucket)).text.startswith(
            "The file was changed meanwhile"), "the stale refusal")
        self.assertEqual(meanwhile, send(platform.core_base, "GET", f"/tarvolt/bucket/{bucket}")[2])
        self.find("#refresh").click()
        self.wait(lambda: self.find_all(".editor") == [], "the reload")
        self.find(".edit", self.row(bucket)).click()
        self.find(".editor .replace-file", self.row(bucket)).send_keys(newer)
        self.wait(lambda: (self.facts(bucket) or [])[:2] == ["newer.bin", "17 B"], "the new file")
        self.assertEqual(b"the newer reading",
                         send(platform.core_base, "GET", f"/tarvolt/bucket/{bucket}")[2])
        self.assertEqual(["kind=reading", "site=north"], self.chips(bucket))

        # Download: the bytes of the replacement, saved under their name.
        self.find(f'a[aria-label="Download bucket {bucket}"]').click()
        target = os.path.join(self.downloads, "newer.bin")
        wait_until(lambda: os.path.exists(target) and os.path.getsize(target) == 17,
                   what="the download")
        with open(target, "rb") as file:
            self.assertEqual(b"the newer reading", file.read())

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
        seen = self.pages()
        self.assertEqual(expected, [bucket for page in seen for bucket in page])
        self.assertTrue(all(len(page) == 25 for page in seen[:-1]))
        self.assertEqual(f"Page {len(seen)}", self.find("#page-label").text.split(" ·")[0])
        self.find("#page-prev").click()
        self.wait(lambda: self.shown_ids() == seen[-2], "the page before")

        # "any" of a prefix and a numeric range, then the prefix negated:
        # the table pages through exactly what a plain evaluation selects.
        stored = every_bucket(platform)
        self.add_condition("n", "prefix", "1")
        Select(self.find("#search-join")).select_by_value("any")
        self.add_condition("n", "ge", "240", compare="number")
        first = sorted(i for i, a in stored.items() if "n" in a and (
            a["n"].startswith("1") or int(a["n"]) >= 240))
        self.wait(lambda: self.find("#search-count").text == f"{len(first)} buckets match",
                  "the count of the any-search")
        self.assertEqual({"any": [{"name": "n", "op": "prefix", "value": "1"},
                                  {"name": "n", "op": "ge", "value": "240", "as": "number"}]},
                         self.sent_condition())
        self.wait(lambda: self.shown_ids() == first[:25], "the first page of the search")
        self.assertEqual(first, [bucket for page in self.pages() for bucket in page])
        self.find('#search-chips .chip-not[aria-label="Negate condition n starts with 1"]').click()
        negated = sorted(i for i, a in stored.items() if not a.get("n", "").startswith("1") or (
            "n" in a and int(a["n"]) >= 240))
        self.wait(lambda: self.find("#search-count").text == f"{len(negated)} buckets match",
                  "the count with a negated condition")
        self.wait(lambda: self.shown_ids() == negated[:25], "the negated search")
        self.browser.execute_script("window.scrollTo(0, 0)")
        self.screenshot("desktop-search")

        # Bulk deletion of a search: the dry run's count and bytes, the
        # confirmation, then rounds of deletion until none is left.
        self.find("#search-clear").click()
        self.add_condition("batch", "eq", "paging")
        self.add_condition("n", "lt", "230", compare="number")
        doomed = sorted(i for i, a in stored.items()
                        if a.get("batch") == "paging" and int(a["n"]) < 230)
        self.wait(lambda: self.find("#search-count").text == "230 buckets match", "the count")
        self.find("#bulk-open").click()
        self.wait(lambda: self.find("#bulk-text").text.startswith("230 buckets (230 B)"),
                  "the dry run")
        self.assertEqual("IDs " + ", ".join(map(str, doomed[:10])) + " …",
                         self.find("#bulk-ids").text)
        self.assertEqual("bulk-cancel", self.browser.switch_to.active_element.get_attribute("id"))
        self.assertFalse(self.find("#bulk-everything-label").is_displayed())
        self.screenshot("desktop-bulk-confirm")
        self.find("#bulk-ok").click()
        self.wait(lambda: self.find("#bulk").get_attribute("open") is None, "the bulk run")
        self.assertEqual("230 buckets deleted.", self.find("#status").text)
        left = every_bucket(platform)
        self.assertEqual([], [i for i in doomed if i in left])
        self.assertEqual(20, sum(1 for a in left.values() if a.get("batch") == "paging"))
        self.wait(lambda: self.find("#search-count").text == "No bucket matches", "the recount")
        self.find("#search-clear").click()

        # The list at 360 px, and the search by keyboard there.
        self.wait(lambda: len(self.shown_ids()) > 0, "the first page")
        self.browser.set_window_size(360, 800)
        self.browser.execute_script("window.scrollTo(0, 0)")
        self.screenshot("phone-list")
        self.add_filter("n", "247")
        self.wait(lambda: len(self.shown_ids()) == 1, "one match")
        self.screenshot("phone-search")
        self.browser.set_window_size(1280, 900)
        self.assertEqual([], self.javascript_errors())

    def test_c_service_port_console(self):
        # On the service's own port the console lists the buckets; the
        # activity log (the core's) says where to find it.
        self.open_console(self.platform.service_base + "/bucket")
        self.wait(lambda: len(self.shown_ids()) == 22, "the first page")
        # No retention rule is set: nothing is due, the free space is shown.
        self.wait(lambda: self.find("#retention-next").text == "Nothing: no bucket is due.",
                  "the retention state")
        self.assertIn("Maximum age\nnever", self.find("#retention-rules").text)
        self.assertRegex(self.find("#retention-rules").text, r"Free space\n\d.* of \d")
        # "is one of" takes its values separated by commas.
        self.add_condition("n", "in", "245, 247,")
        self.wait(lambda: self.shown_ids() and len(self.shown_ids()) == 2, "the in-search")
        self.assertEqual({"all": [{"name": "n", "op": "in", "values": ["245", "247"]}]},
                         self.sent_condition())
        self.wait(lambda: self.find("#search-count").text == "2 buckets match", "the count")

        # Facts: files over 4 bytes of site north or east changed since 2000.
        self.find("#search-clear").click()
        self.add_condition("site", "in", "north, east")
        self.add_condition("@size", "gt", "4")
        self.add_condition("@modified", "ge", "2000-01-01T00:00:00Z")
        stored = every_bucket(self.platform)
        self.wait(lambda: self.shown_ids() == sorted(
            i for i, a in stored.items() if a.get("site") in ("north", "east")), "the facts")
        self.assertEqual({"all": [{"name": "site", "op": "in", "values": ["north", "east"]},
                                  {"fact": "size", "op": "gt", "value": "4"},
                                  {"fact": "modified", "op": "ge",
                                   "value": "2000-01-01T00:00:00Z"}]}, self.sent_condition())
        self.find('#search-chips .chip-not[aria-label="Negate condition File size > 4"]').click()
        self.wait(lambda: self.shown_ids() == [], "no small file of those sites")
        self.find("#search-clear").click()

        # A condition the service refuses: its message under the form, and
        # the bulk deletion's dry run refused too, with nothing to confirm.
        before = every_bucket(self.platform)
        self.add_condition("n", "gt", "many", compare="number")
        self.wait(lambda: "must be a number" in self.find("#search-error").text, "the refusal")
        self.wait(lambda: self.shown_ids() == [], "no rows of the search before")
        self.find("#bulk-open").click()
        self.wait(lambda: "must be a number" in self.find("#bulk-error").text, "the dry run's")
        self.assertFalse(self.find("#bulk-ok").is_enabled())
        self.find("#bulk-cancel").click()
        self.assertEqual(before, every_bucket(self.platform))
        self.find("#search-clear").click()
        self.assertIn("core", self.find("#audit-note").text)
        # No object store is set: the replication card says so.
        self.wait(lambda: "Not replicating" in self.find("#replication-note").text,
                  "the replication state")
        status, headers, _ = send(self.platform.core_base, "GET",
                                  "/tarvolt/bucket/console/strings.js")
        self.assertEqual(200, status)
        self.assertEqual("text/javascript; charset=utf-8", headers["Content-Type"])


    def test_d_retention_and_deleting_everything(self):
        platform = self.platform
        category = "Bucket Storage Retention"
        set_category_item(platform, category, "maxAgeWhere",
                          json.dumps({"name": "kind", "op": "eq", "value": "expiring"}))
        set_category_item(platform, category, "maxAge", "1")
        self.open_console(platform.core_base + "/tarvolt/bucket")
        try:
            # The card shows the rule and the bucket the next run deletes
            # (unless a run came first: then a new one is due).
            for attempt in range(3):
                due = add_bucket(platform, b"old", {"kind": "expiring", "attempt": str(attempt)})
                wait_until(lambda: self.card_lists(due) or due not in every_bucket(platform),
                           what="the due bucket")
                if self.card_lists(due):
                    break
            self.assertTrue(self.card_lists(due))
            self.assertIn("Maximum age\n1 s", self.find("#retention-rules").text)
            self.browser.execute_script(
                "document.getElementById('retention-heading').scrollIntoView()")
            self.screenshot("desktop-retention")
        finally:
            set_category_item(platform, category, "maxAge", "0")

        # A condition matching every bucket (every stored id is above 0)
        # needs the explicit tick.
        add_bucket(platform, b"last", {"kind": "last"})
        self.open_console(platform.core_base + "/tarvolt/bucket")
        self.add_condition("kind", "exists")
        self.add_condition("@id", "gt", "0")
        Select(self.find("#search-join")).select_by_value("any")
        self.assertEqual({"any": [{"name": "kind", "op": "exists"},
                                  {"fact": "id", "op": "gt", "value": "0"}]},
                         self.sent_condition())
        self.find("#bulk-open").click()
        self.wait(lambda: self.find("#bulk-everything-label").is_displayed(), "the tick")
        self.assertFalse(self.find("#bulk-ok").is_enabled())
        self.assertEqual("Delete everything", self.find("#bulk-ok").text)
        self.screenshot("desktop-bulk-everything")
        self.find("#bulk-everything").send_keys(Keys.SPACE)
        self.assertTrue(self.find("#bulk-ok").is_enabled())
        self.find("#bulk-ok").click()
        self.wait(lambda: self.find("#bulk").get_attribute("open") is None, "the bulk run")
        self.assertEqual({}, every_bucket(platform))
        self.assertEqual([], self.javascript_errors())

    def card_lists(self, bucket):
        self.find("#retention-refresh").click()
        return self.browser.execute_script(
            "return [...document.querySelectorAll('#retention-list li')]"
            ".some(li => li.textContent.startsWith('Bucket ' + arguments[0] + ' ·'))", bucket)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--out", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
