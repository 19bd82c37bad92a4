#!/usr/bin/python3
"""Passes when a GoogleTest XML report shows tests that ran and none failed.

Usage: check_gtest_report.py REPORT

For test programs whose exit status cannot be trusted (ARM64 Windows programs under
emulated Wine): the report is written before the program exits, and a program that
did not get that far leaves none, which fails too.
"""
import sys
import xml.etree.ElementTree as ElementTree


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        suites = ElementTree.parse(sys.argv[1]).getroot()
    except (OSError, ElementTree.ParseError) as error:
        print(f"no usable report: {error}")
        return 1
    tests = int(suites.get("tests", "0"))
    failures = int(suites.get("failures", "0")) + int(suites.get("errors", "0"))
    ran = [case for case in suites.iter("testcase") if case.get("result", "completed") == "completed"
           and case.get("status", "run") == "run"]
    for case in suites.iter("testcase"):
        for failure in case.iter("failure"):
            print(f"FAIL  {case.get('classname')}.{case.get('name')}: {failure.get('message', '')}")
    print(f"{len(ran)} of {tests} tests ran, {failures} failed")
    return 0 if tests > 0 and ran and failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
