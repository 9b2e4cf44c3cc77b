#!/usr/bin/env python3
"""Prints why each skipped test of a ctest run skipped.

ctest names the skipped tests but shows no output for them; the reason a
test gives (a script's "skipped: ..." line before exit 77, a GoogleTest
GTEST_SKIP message) is in the JUnit file that `ctest --output-junit FILE`
writes (FILE relative to the build directory).
Usage: skip_reasons.py JUNIT_XML
"""
import re
import sys
import xml.etree.ElementTree as ET


def reason(output):
    """The line that says why: the message a GoogleTest skip prints before
    its [  SKIPPED ] line, else the last line of a script that says skip."""
    lines = [l.strip() for l in output.splitlines() if l.strip()]
    for i, line in enumerate(lines):
        if line.startswith("[  SKIPPED ]") and i:
            return lines[i - 1]
    for line in reversed(lines):
        if re.search(r"skip", line, re.I):
            return line
    return lines[-1] if lines else "(no reason printed)"


def main():
    try:
        cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
    except (OSError, ET.ParseError) as e:
        print(f"no skip reasons: {e}")
        return 0
    for case in cases:
        if case.find("skipped") is not None:
            print(f"skipped {case.get('name')}: {reason(case.findtext('system-out') or '')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
