#!/usr/bin/env python3
"""Runs the unit tests of the Windows platform layer (qm_win32_tests.exe)
under Wine, in a fresh prefix, on a terminal so that the console tests have
a console, with a signing-library double planted beside the test program
(the library tests check that it is not the one loaded).

  wine_tests.py --build-dir BUILD-WIN32
Exit status: 0 passed, 1 failed, 77 skipped (no Wine, or not built)."""

import argparse
import os
import shutil
import sys
import xml.etree.ElementTree as ElementTree

import wineprefix


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    opts = ap.parse_args()
    build = os.path.abspath(opts.build_dir)
    tests = os.path.join(build, "tests", "wine", "qm_win32_tests.exe")
    planted = os.path.join(build, "doubles", "all", wineprefix.LIBRARY)

    arch = wineprefix.pe_arch(tests) or "win32"
    why = wineprefix.wine_missing(arch)
    for path in (tests, planted):
        if why is None and not os.path.isfile(path):
            why = "%s is not built" % path
    if why:
        print("SKIPPED: %s" % why)
        return wineprefix.SKIP

    root = os.path.join(build, "wine-unit")
    shutil.rmtree(root, ignore_errors=True)
    bindir = os.path.join(root, "bin")
    os.makedirs(bindir)
    shutil.copy2(tests, bindir)
    shutil.copy2(planted, bindir)
    report = os.path.join(root, "report.xml")

    prefix = wineprefix.Prefix(os.path.join(root, "prefix"), arch)
    try:
        prefix.create()
        screen, code = prefix.run_on_terminal(
            [os.path.join(bindir, "qm_win32_tests.exe"),
             "--gtest_output=xml:" + wineprefix.windows_path(report)], cwd=bindir)
    finally:
        prefix.stop()
    if not os.path.isfile(report):
        sys.stdout.write(screen.decode("utf-8", "replace"))
        print("qm_win32_tests.exe wrote no report (exit %d)" % code)
        return 1

    passed = failed = skipped = 0
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        name = "%s.%s" % (case.get("classname"), case.get("name"))
        failures = case.findall("failure")
        if failures:
            failed += 1
            print("FAIL %s" % name)
            for f in failures:
                print("  " + f.get("message", "").replace("\n", "\n  "))
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            skipped += 1
            print("SKIP %s" % name)
        else:
            passed += 1
            print("ok   %s" % name)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed or code != 0:
        return 1
    shutil.rmtree(prefix.path, ignore_errors=True)  # some 600 MB; kept when a test failed
    return wineprefix.SKIP if passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
