"""Adds up JUnit XML reports into one closing line: 'N passed, N failed, N skipped'."""
import sys
import xml.etree.ElementTree as ET

if sys.argv[1:2] == ["--record"]:
    # --record FILE NAME pass|fail: one check of the test script as a report.
    out, name, outcome = sys.argv[2:5]
    case = f'<testcase classname="scripts.test" name="{name}">'
    case += "" if outcome == "pass" else '<failure message="failed"/>'
    with open(out, "w") as f:
        f.write(f'<testsuite name="scripts">{case}</testcase></testsuite>')
    sys.exit(0)

passed = failed = skipped = 0
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        print(f"missing or unreadable report {path}")
        failed += 1
        continue
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
print(f"summary: {passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed else 0)
