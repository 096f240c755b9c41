#!/usr/bin/env python3
"""The built bundle end to end, driven by scripts/installer_session.py: a good installation
of each client, with the real update library and the tool stand-ins found beside a copied
bundle, and a tampered package the real signature check refuses. The session bus comes from
the caller (dbus-run-session).

    e2e_installer.py --build BUILD_DIR
"""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from installer_session import FULL_BUNDLE, VERIFY_ALERT, VPN_BUNDLE, Display, Session, log  # noqa: E402


def check(cond, what, session):
    if not cond:
        raise AssertionError(f"{what}\n--- installer output ---\n{session.app_log()}")
    log(f"ok: {what}")


def handoffs(s):
    return [r for r in s.installer_log() if len(r) > 3 and r[1] == "open"]


# scale: the window at twice the scale on the 1024x768 screen, installed with Return.
def scenario(build, display, feed, bundle=FULL_BUNDLE, scale=None):
    s = Session(build, os.path.join(build, "demo", feed), display, image_seconds=1.0, bundle=bundle)
    s.env["QT_LOGGING_RULES"] = "qt.*=true"  # the toolkit's own messages, which the installer holds back
    s.env["QT_SCALE_FACTOR"] = scale or "1"
    try:
        s.launch()
        wid = s.wait_window(s.title)
        s.wait_downloaded()
        if scale:
            check(s.fits_screen(wid), f"the window fits the screen at scale {scale}: {s.geometry(wid)}", s)
        outcome = s.install(wid, key=bool(scale))
        pkg = os.path.join(s.download_dir(), "Install.mpkg")
        if feed == "feed":
            check(outcome == "ended" and s.wait_exit(30) == 0, f"installed and ended with status 0 ({outcome})", s)
            check(os.path.isfile(s.image_path()), f"the {'full' if s.full else 'VPN-only'} client was downloaded", s)
            check([os.path.realpath(r[3]) for r in handoffs(s)] == [os.path.realpath(pkg)],
                  "the Installer was handed the verified copy", s)
            check("Failed" not in s.app_log(), "nothing failed on the way", s)
            check(" qt." not in " " + s.app_log().replace("\n", " "), "no toolkit chatter", s)
        else:
            check(outcome == VERIFY_ALERT, "the verification alert is shown", s)
            s.press_ok(s.find_window(VERIFY_ALERT))
            check(s.app.poll() is None, "the installer stays open once the alert is dismissed", s)
            check(not os.path.exists(pkg) and not handoffs(s), "nothing was copied or handed over", s)
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    display = Display(1024, 768)
    try:
        scenario(args.build, display.name, "feed")
        scenario(args.build, display.name, "tampered")
        scenario(args.build, display.name, "feed", VPN_BUNDLE, scale="2")
    finally:
        display.close()
    log("end-to-end: all checks passed")


if __name__ == "__main__":
    main()
