#!/usr/bin/env python3
"""Runs the REST examples of README.md, in order, on a fresh platform and
compares what each command prints with the README. The rules are those
written at the top of the README's section "REST API of the bucket
service": the `sh` blocks of that section run unless the line before the
fence is `<!-- not run -->`; a line starting `$ ` is a command (`> ` lines
continue it), the lines after it up to the next command are its expected
output; `<data>` is the data directory and every other `<word>` in an
expected line stands for one run of text that differs per machine."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from platform_process import Platform  # noqa: E402

SECTION = "## REST API of the bucket service"
NOT_RUN = "<!-- not run -->"
README_PORT = "localhost:8081"


def section_lines(readme):
    """The lines of the REST API section, with their line numbers."""
    lines = readme.split("\n")
    start = lines.index(SECTION)
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith("## "))
    return [(number + 1, lines[number]) for number in range(start, end)]


def examples(readme):
    """[(line number, command, expected lines)] of the blocks that run."""
    found, block, previous = [], None, ""
    for number, line in section_lines(readme):
        if block is None:
            if line == "```sh" and previous != NOT_RUN:
                block = True
            elif line.startswith("```") and line != "```":
                block = False  # another kind of block: skipped
            previous = line
            continue
        if line == "```":
            block, previous = None, line
            continue
        if block is False:
            continue
        if line.startswith("$ "):
            found.append((number, line[2:], []))
            block = "commands"
        elif block != "commands":
            raise AssertionError(f"README line {number}: a block that runs must begin with "
                                 f"a command ('$ '), or be marked {NOT_RUN}")
        elif line.startswith("> ") and not found[-1][2]:
            found[-1] = (found[-1][0], found[-1][1] + "\n" + line[2:], [])
        else:
            found[-1][2].append(line)
    return found


def pattern(expected, data):
    """A regular expression for one expected line."""
    parts = re.split(r"(<[a-z][a-z-]*>)", expected)
    regex = ""
    for part in parts:
        if part == "<data>":
            regex += re.escape(data)
        elif re.fullmatch(r"<[a-z][a-z-]*>", part):
            regex += r".+?"
        else:
            regex += re.escape(part)
    return re.compile(regex + r"\Z")


def trimmed(lines):
    while lines and lines[-1].strip() == "":
        lines = lines[:-1]
    return lines


def run_all(found, platform, workdir):
    """The printed lines of each command, run in one shell in `workdir`."""
    port = platform.core_base.rsplit(":", 1)[1]
    script = ""
    for index, (_, command, _) in enumerate(found):
        script += command.replace(README_PORT, "localhost:" + port) + "\n"
        script += f"echo; echo '@@example {index}@@'\n"
    result = subprocess.run(["bash", "-c", script], cwd=workdir, capture_output=True,
                            text=True, timeout=300)
    printed = result.stdout.replace("\r", "")
    pieces = re.split(r"\n@@example \d+@@\n", printed)
    return [trimmed(piece.split("\n")) for piece in pieces], result.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--readme", required=True)
    args = parser.parse_args()
    with open(args.readme) as file:
        found = examples(file.read())
    platform = Platform(args.bin_dir, prefix="tarvolt-readme-")
    failures = []
    try:
        with tempfile.TemporaryDirectory() as workdir:
            os.symlink(platform.data, os.path.join(workdir, "data"))
            outputs, errors = run_all(found, platform, workdir)
            for (number, command, expected), printed in zip(found, outputs):
                expected = trimmed(expected)
                if len(printed) != len(expected) or not all(
                        pattern(line, platform.data).match(text)
                        for line, text in zip(expected, printed)):
                    failures.append(f"README line {number}: $ {command}\n  expected:\n    "
                                    + "\n    ".join(expected) + "\n  printed:\n    "
                                    + "\n    ".join(printed))
        reports = platform.sanitizer_reports()
    finally:
        platform.stop()
    for failure in failures:
        print(failure)
    if errors.strip():
        print("standard error of the examples:\n" + errors)
    print(f"{len(found)} README examples run, {len(failures)} failed")
    if reports:
        print("\n".join(reports))
    return 1 if failures or reports else 0


if __name__ == "__main__":
    sys.exit(main())
