#!/usr/bin/env python3
"""The built bundle end to end, driven by scripts/installer_session.py: a good installation
of each client and a damaged package. The session bus comes from the caller
(dbus-run-session).

    e2e_installer.py --build BUILD_DIR
"""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from installer_session import FULL_BUNDLE, VERIFY_ALERT, VPN_BUNDLE, Display, Session, log  # noqa: E402


def check(cond, what, session=None):
    if not cond:
        extra = f"\n--- installer output ---\n{session.app_log()}" if session else ""
        raise AssertionError(what + extra)
    log(f"ok: {what}")


def scenario_good(build, display, bundle=FULL_BUNDLE):
    s = Session(build, os.path.join(build, "demo", "feed"), display, image_seconds=1.0, bundle=bundle)
    try:
        s.launch()
        wid = s.wait_window(s.title)
        s.wait_downloaded()
        outcome = s.install(wid)
        check(outcome == "ended", f"the installation went through without an alert (got {outcome})", s)
        status = s.wait_exit(30)
        check(status == 0, f"the installer ended by itself with status 0 (got {status})", s)
        pkg = os.path.join(s.download_dir(), "Install.mpkg")
        check(os.path.isfile(pkg), "the package was copied next to the downloaded image", s)
        check(os.path.isfile(os.path.join(s.download_dir(), "ReadMe.txt")), "the image's other files were copied too", s)
        records = s.installer_log()
        handoffs = [r for r in records if len(r) >= 4 and r[1] == "open" and r[2] == "handoff"]
        check(len(handoffs) == 1 and os.path.realpath(handoffs[0][3]) == os.path.realpath(pkg),
              f"the Installer was handed the verified copy: {handoffs}", s)
        out = s.app_log()
        check(f"BrindleWave dmg file is mounted successfully: {s.download_dir()}" in out,
              "the mount was logged with the target folder", s)
        check("Failed" not in out, "nothing failed on the way", s)
        check(os.path.isfile(s.image_path()), f"the {'full' if s.full else 'VPN-only'} client's image was downloaded", s)
    finally:
        s.close()


def scenario_damaged(build, display):
    s = Session(build, os.path.join(build, "demo", "tampered"), display)
    try:
        s.launch()
        wid = s.wait_window(s.title)
        s.wait_downloaded()
        outcome = s.install(wid)
        check(outcome == VERIFY_ALERT, "the verification alert is shown", s)
        check(s.app.poll() is None, "the installer stays open", s)
        s.press_ok(s.find_window(VERIFY_ALERT))
        check(s.app.poll() is None, "the installer stays open once the alert is dismissed", s)
        out = s.app_log()
        check("Failed to verify package" in out, "the refusal was logged", s)
        check(not os.path.exists(os.path.join(s.download_dir(), "Install.mpkg")),
              "nothing was copied out of the image", s)
        check(not [r for r in s.installer_log() if len(r) > 2 and r[1] == "open"],
              "nothing was handed to the Installer", s)
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    display = Display()
    try:
        scenario_good(args.build, display.name)
        scenario_damaged(args.build, display.name)
        scenario_good(args.build, display.name, VPN_BUNDLE)
    finally:
        display.close()
    log("end-to-end: all checks passed")


if __name__ == "__main__":
    main()
