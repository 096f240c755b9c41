#!/usr/bin/env python3
"""Failure drills of the built installer bundle: the real program, its real update library
and the tool stand-ins, against an update server on 127.0.0.1 that is made to fail.

    bundle_drills.py DRILL --build BUILD_DIR --probe NOTICE_PROBE_SO --server UPD_TEST_SERVER

The notice line is read through the notice probe (LD_PRELOAD), so each drill checks the
text the user is left with. Every drill also checks that nothing was handed to the
Installer stand-in and that no half-downloaded file is left behind. The session bus comes
from the caller (dbus-run-session); the no-bus drill points the installer at a dead one.
"""

import argparse
import hashlib
import os
import plistlib
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import installer_session as e2e  # noqa: E402

BUNDLE = "BrindleWaveFullInstaller.app"
FEED_ENTRY = "Full"  # the full installer asks for the full client
# What the controller writes to the log on the installation road; a download failure is
# reported through the notice only.
CONTROLLER_LOG_MARKERS = ("Failed", "dmg file", "not found", "File does not exist")


def log(msg):
    print(f"[drill] {msg}", flush=True)


def check(cond, what, run=None, detail=""):
    if not cond:
        extra = f"\n--- installer output ---\n{run.output()}\n--- notices ---\n{run.notices()}" if run else ""
        raise AssertionError(what + extra + (f"\n{detail}" if detail else ""))
    log(f"ok: {what}")


class TestServer:
    """upd_test_server.py in a process of its own, so a drill can kill or freeze it."""

    def __init__(self, script, root):
        self.proc = subprocess.Popen([sys.executable, script, "--root", root],
                                     stdout=subprocess.PIPE, text=True)
        port = self.proc.stdout.readline().strip()
        if not port.isdigit():
            self.proc.kill()
            raise RuntimeError("the test server did not start")
        self.port = int(port)

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
        self.proc.wait()


class Run:
    """One installer started in light-installer mode from a private copy of the bundle."""

    def __init__(self, args, stall_timeout=None):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="bwv-drill-")
        self.www = os.path.join(self.work, "www")
        os.makedirs(self.www)
        demo_feed = os.path.join(args.build, "demo", "feed")
        with open(os.path.join(demo_feed, "feed.plist"), "rb") as f:
            self.demo = plistlib.load(f)
        for name in os.listdir(demo_feed):
            shutil.copyfile(os.path.join(demo_feed, name), os.path.join(self.www, name))
        self.server = TestServer(args.server, self.www)
        self.app = None
        self.bundle = os.path.join(self.work, "Applications", BUNDLE)
        shutil.copytree(os.path.join(args.build, "bundles", BUNDLE), self.bundle, symlinks=True)
        providers = {"FeedURLs": [self.server.url("feed.plist")], "ConnectTimeout": 5}
        if stall_timeout:
            providers["StallTimeout"] = stall_timeout
        with open(os.path.join(self.bundle, "Contents/Resources/runtime.helper/providers.plist"), "wb") as f:
            plistlib.dump(providers, f)
        self.tmp = os.path.join(self.work, "tmp") + "/"
        self.state = os.path.join(self.work, "state")
        for d in (self.tmp, self.state, os.path.join(self.work, "home")):
            os.makedirs(d, exist_ok=True)
        self.notice_log = os.path.join(self.work, "notices.txt")
        self.env = dict(os.environ)
        self.env.pop("LANGUAGE", None)
        self.env.update(installer_env(self.work, self.tmp, self.state, self.notice_log))
        self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.env["LD_PRELOAD"] = args.probe

    def entry(self):
        return self.demo[FEED_ENTRY]

    def write_feed(self, url=None):
        """The demo feed, with the full client's image fetched from `url` instead."""
        feed = dict(self.demo)
        feed[FEED_ENTRY] = dict(self.entry(), URL=url or self.entry()["URL"])
        with open(os.path.join(self.www, "feed.plist"), "wb") as f:
            plistlib.dump(feed, f)

    def download_dir(self):
        return os.path.join(self.tmp, "bwvupdate")

    def launch(self, file_size_limit=None):
        exe = os.path.join(self.bundle, "Contents/MacOS", BUNDLE[:-4])
        self.output_path = os.path.join(self.work, "installer.out")
        out = open(self.output_path, "wb")

        def limit():
            if file_size_limit is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        self.app = subprocess.Popen([exe], env=self.env, stdout=out, stderr=out, cwd=self.work,
                                    preexec_fn=limit)
        out.close()
        log(f"installer started (pid {self.app.pid}) against {self.server.url('feed.plist')}")

    def output(self):
        try:
            with open(self.output_path, "r", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def notices(self):
        try:
            with open(self.notice_log, "r", errors="replace") as f:
                return [line.rstrip("\n") for line in f]
        except OSError:
            return []

    def wait_notice(self, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.notices() and self.notices()[-1] == text:
                return True
            if self.app.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def partial_bytes(self):
        """Bytes held in the download folder (the hidden file while the download runs)."""
        try:
            return sum(os.path.getsize(os.path.join(self.download_dir(), n))
                       for n in os.listdir(self.download_dir()))
        except OSError:
            return 0

    def wait_partial(self, at_least, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.partial_bytes() >= at_least:
                return
            if self.app.poll() is not None:
                raise RuntimeError(f"installer ended during the download:\n{self.output()}")
            time.sleep(0.05)
        raise RuntimeError("the download never got going")

    def handoffs(self):
        return [r for r in read_installer_log(self.state) if len(r) > 2 and r[1] == "open"]

    def ended(self):
        status = self.app.poll()
        if status is None:
            return "still running"
        return f"killed by signal {-status}" if status < 0 else f"exited with status {status}"

    def check_failed_download(self, text):
        check(self.wait_notice(text), f"the notice reads the library's text {text!r} (installer {self.ended()})",
              self)
        # A crash or a hang-up would show only after a moment.
        time.sleep(1.0)
        check(self.app.poll() is None, f"the installer is still running, waiting for the user ({self.ended()})",
              self)
        check(self.notices()[-1] == text, "the notice still reads the failure", self)
        left = os.listdir(self.download_dir()) if os.path.isdir(self.download_dir()) else []
        check(left == [], f"nothing is left in the download folder: {left}", self)
        check(not self.handoffs(), "nothing was handed to the Installer", self)
        out = self.output()
        check(not any(m in out for m in CONTROLLER_LOG_MARKERS), "nothing was logged about an installation", self)

    def close(self):
        if self.app and self.app.poll() is None:
            # Light-installer mode ignores SIGTERM.
            self.app.kill()
            self.app.wait()
        self.server.close()
        shutil.rmtree(self.work, ignore_errors=True)


def installer_env(work, tmp, state, notice_log):
    """What the drills set for the installer on top of the caller's environment."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {
        "TMPDIR": tmp,
        "HOME": os.path.join(work, "home"),
        "BWV_TOOLS_STATE_DIR": state,
        "BWV_DRILL_NOTICE_LOG": notice_log,
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        # The servers are on loopback; a proxy from the environment must not be asked.
        "NO_PROXY": "127.0.0.1",
        "no_proxy": "127.0.0.1",
        # Under AddressSanitizer the probe is loaded ahead of the sanitizer's runtime.
        "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0",
    }


def read_installer_log(state):
    path = os.path.join(state, "installer.log")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


def drill_server_vanishes(args):
    """The server process ends for good while the image is on its way."""
    run = Run(args)
    try:
        run.write_feed(run.entry()["URL"] + "?throttle=65536")
        run.launch()
        run.wait_partial(64 * 1024)
        run.server.proc.kill()
        run.server.proc.wait()
        log("the server was killed mid-download")
        run.check_failed_download("Cannot reach the download server.")
    finally:
        run.close()


def drill_server_goes_silent(args):
    """The server stops answering without closing anything (a host that drops off the
    network): each resume stalls until the stall timeout, then the download gives up."""
    run = Run(args, stall_timeout=2)
    try:
        run.write_feed(run.entry()["URL"] + "?throttle=65536")
        run.launch()
        run.wait_partial(64 * 1024)
        run.server.proc.send_signal(signal.SIGSTOP)
        log("the server was frozen mid-download")
        run.check_failed_download("The download was interrupted.")
    finally:
        run.close()


def drill_different_image(args):
    """The server sends a real disk image, but not the one the feed promised: the VPN-only
    client's image of the same size under the full client's name, then one that is larger
    than promised."""
    for label, grow in (("same size, other content", 0), ("larger than promised", 64 * 1024)):
        log(f"substitute: {label}")
        run = Run(args)
        try:
            promised = os.path.join(run.www, run.entry()["URL"])
            other = os.path.join(run.www, run.demo["VPN"]["URL"])
            check(os.path.getsize(promised) == os.path.getsize(other), "the VPN image has the full image's size")
            with open(other, "rb") as f:
                substitute = f.read() + b"\0" * grow
            with open(promised, "wb") as f:
                f.write(substitute)
            run.write_feed()
            run.launch()
            run.check_failed_download("The downloaded disk image is damaged.")
        finally:
            run.close()


def drill_disk_full(args):
    """The disk runs out of room while the image is written: a file-size limit on the
    installer process, well below the image's size."""
    run = Run(args)
    try:
        run.write_feed()
        check(run.entry()["Size"] > 256 * 1024, "the image is larger than the room left")
        run.launch(file_size_limit=128 * 1024)
        run.check_failed_download("Cannot save the disk image.")
    finally:
        run.close()


class ProbedSession(e2e.Session):
    """The end-to-end session, with the notice probe loaded into the installer only (not
    into the X tools that press its buttons)."""

    def __init__(self, probe, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.probe = probe

    def launch(self, *args):
        plain = self.env
        self.env = dict(plain, LD_PRELOAD=self.probe)
        try:
            super().launch(*args)
        finally:
            self.env = plain


def drill_no_session_bus(args):
    """No session bus: the installer starts, downloads and installs all the same; the
    distributed notifications are simply not delivered."""
    display = e2e.Display()
    s = None
    try:
        s = ProbedSession(args.probe, args.build, os.path.join(args.build, "demo", "feed"), display.name,
                          image_seconds=0.5)
        notice_log = os.path.join(s.work, "notices.txt")
        s.env.update(installer_env(s.work, s.tmp, s.state, notice_log))
        s.env["QT_QPA_PLATFORM"] = "xcb"
        s.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(s.work, "no-bus-here")
        s.launch()
        wid = s.wait_window(s.title)
        s.wait_downloaded()
        version = s.feed["Full"]["Version"]
        deadline = time.time() + 30
        downloaded = f"BrindleWave {version} is downloaded"
        while time.time() < deadline and downloaded not in read_lines(notice_log):
            time.sleep(0.1)
        check(downloaded in read_lines(notice_log), f"the notice reads {downloaded!r}")
        outcome = s.install(wid)
        check(outcome == "ended", f"the installation went through without an alert (got {outcome})",
              detail=s.app_log())
        status = s.wait_exit(30)
        check(status == 0, f"the installer ended by itself with status 0 (got {status})", detail=s.app_log())
        pkg = os.path.join(s.download_dir(), "Install.mpkg")
        handoffs = [r for r in s.installer_log() if len(r) >= 5 and r[1] == "open" and r[2] == "handoff"]
        check(len(handoffs) == 1 and os.path.realpath(handoffs[0][3]) == os.path.realpath(pkg),
              f"the Installer was handed the copy: {handoffs}")
        signed = sha256_file(os.path.join(args.build, "demo", "full", "Install.mpkg"))
        check(handoffs[0][4].endswith("sha256=" + signed), "the copy handed over is the signed package")
        check("Failed" not in s.app_log(), "nothing failed on the way", detail=s.app_log())
    finally:
        if s:
            s.close()
        display.close()


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read_lines(path):
    try:
        with open(path, "r", errors="replace") as f:
            return [line.rstrip("\n") for line in f]
    except OSError:
        return []


DRILLS = {
    "server_vanishes": drill_server_vanishes,
    "server_goes_silent": drill_server_goes_silent,
    "different_image": drill_different_image,
    "disk_full": drill_disk_full,
    "no_session_bus": drill_no_session_bus,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("drill", choices=sorted(DRILLS))
    ap.add_argument("--build", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--server", required=True)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.probe = os.path.abspath(args.probe)
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    DRILLS[args.drill](args)
    log(f"{args.drill}: all checks passed")


if __name__ == "__main__":
    main()
