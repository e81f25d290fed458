"""Adds up JUnit XML reports into the closing lines of the test command.

    summary.py REPORT.xml...     prints one line per skip reason with its
                                 count, then 'summary: N passed, N failed,
                                 N skipped'; exits 1 on any failure
    summary.py --record FILE NAME pass|fail
                                 writes one check of the test script as a
                                 report

Skips are allowed only where the interpreter cannot provide a behaviour
(PyPy) and where the shared vocabulary folder beside the project is absent;
any other skip counts as a failure, so no check goes missing silently.
"""
import collections
import sys
import xml.etree.ElementTree as ET

ALLOWED_SKIPS = ("PyPy", "the vocabulary folder")

if sys.argv[1:2] == ["--record"]:
    out, name, outcome = sys.argv[2:5]
    case = f'<testcase classname="scripts.test" name="{name}">'
    case += "" if outcome == "pass" else '<failure message="failed"/>'
    with open(out, "w") as f:
        f.write(f'<testsuite name="scripts">{case}</testcase></testsuite>')
    sys.exit(0)

passed = failed = skipped = 0
reasons = collections.Counter()
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        print(f"missing or unreadable report {path}")
        failed += 1
        continue
    for case in root.iter("testcase"):
        skip = case.find("skipped")
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif skip is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            reason = (skip.get("message") if skip is not None else None) or "no reason given"
            reason = reason.removeprefix("Skipped: ")
            if any(allowed in reason for allowed in ALLOWED_SKIPS):
                skipped += 1
                reasons[reason] += 1
            else:
                print(f"not allowed to skip: {case.get('classname')}.{case.get('name')}: {reason}")
                failed += 1
        else:
            passed += 1
for reason, count in sorted(reasons.items(), key=lambda kv: -kv[1]):
    print(f"skipped {count}: {reason}")
print(f"summary: {passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed else 0)
