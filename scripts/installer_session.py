#!/usr/bin/env python3
"""Runs the built installer bundle as a user would: on a private X display, against an
update feed served on 127.0.0.1, pressing its buttons with xdotool.

    installer_session.py --build BUILD_DIR --out DIR [--window]

runs the full installer in light-installer mode and saves a screenshot of each state; with
--window and a DISPLAY it uses the user's display instead of a private one and leaves the
pressing to them. scripts/demo runs it; the end-to-end test (tests/e2e)
imports its Display and Session. The session bus comes from the caller (dbus-run-session).
"""

import argparse
import functools
import http.server
import os
import plistlib
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FULL_BUNDLE = "BrindleWaveFullInstaller.app"
VPN_BUNDLE = "BrindleWaveInstaller.app"
TITLE = "BrindleWave"
VERIFY_ALERT = "BrindleWave Verification Failed!"
RUNNING_ALERT = "BrindleWave is running!"


def log(msg):
    print(f"[installer-session] {msg}", flush=True)


class FeedHandler(http.server.SimpleHTTPRequestHandler):
    """Static files; disk images go out slowly so that the download can be watched."""

    image_seconds = 0.0

    def log_message(self, *args):
        pass

    def copyfile(self, source, outputfile):
        if not self.path.endswith(".dmg") or self.image_seconds <= 0:
            return super().copyfile(source, outputfile)
        size = os.fstat(source.fileno()).st_size
        chunk = max(1024, int(size / (self.image_seconds * 20)))
        while True:
            buf = source.read(chunk)
            if not buf:
                break
            outputfile.write(buf)
            outputfile.flush()
            time.sleep(0.05)


class FeedServer:
    def __init__(self, directory, image_seconds):
        handler = functools.partial(type("H", (FeedHandler,), {"image_seconds": image_seconds}),
                                    directory=directory)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Display:
    """A private Xvfb display; the server picks a free display number itself."""

    def __init__(self, width=1024, height=640):
        self.width, self.height = width, height
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        deadline = time.time() + 20
        with os.fdopen(r, "rb") as f:
            while not number.endswith(b"\n") and time.time() < deadline:
                c = f.read(1)
                if not c:
                    break
                number += c
        if not number.strip():
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def paint_backdrop(self):
        """A desktop-like backdrop instead of the bare black root window."""
        fd, bg = tempfile.mkstemp(suffix=".png")
        os.close(fd)
        try:
            subprocess.run(["convert", "-size", "1024x640", "gradient:#2d5a88-#0e1f33", bg], check=True)
            subprocess.run(["display", "-display", self.name, "-window", "root", bg],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        finally:
            os.unlink(bg)

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class Session:
    def __init__(self, build, feed_dir, display_name, image_seconds=0.0, keep=False, bundle=FULL_BUNDLE):
        self.build = os.path.abspath(build)
        self.work = tempfile.mkdtemp(prefix="bwv-session-")
        self.keep = keep
        self.display = display_name
        self.server = FeedServer(feed_dir, image_seconds)
        with open(os.path.join(feed_dir, "feed.plist"), "rb") as f:
            self.feed = plistlib.load(f)
        self.app = None
        self.bundle_name = bundle
        self.full = bundle == FULL_BUNDLE
        self.title = TITLE if self.full else TITLE + " VPN"
        self.bundle = os.path.join(self.work, "Applications", bundle)
        shutil.copytree(os.path.join(self.build, "bundles", bundle), self.bundle, symlinks=True)
        # The local server replaces the feed URLs; the pinned feed keys stay.
        providers_path = os.path.join(self.bundle, "Contents/Resources/runtime.helper/providers.plist")
        with open(providers_path, "rb") as f:
            providers = plistlib.load(f)
        providers["FeedURLs"] = [self.server.url("feed.plist")]
        with open(providers_path, "wb") as f:
            plistlib.dump(providers, f)
        self.tmp = os.path.join(self.work, "tmp") + "/"
        self.state = os.path.join(self.work, "state")
        for d in (self.tmp, self.state, os.path.join(self.work, "home")):
            os.makedirs(d, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update({
            "DISPLAY": self.display,
            "TMPDIR": self.tmp,
            "HOME": os.path.join(self.work, "home"),
            "BWV_TOOLS_STATE_DIR": self.state,
            "QT_QPA_PLATFORM": "xcb",
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        self.env.pop("LANGUAGE", None)

    # ---- the application

    def image_name(self):
        return os.path.basename(self.feed["Full" if self.full else "VPN"]["URL"])

    def image_path(self):
        return os.path.join(self.tmp, "bwvupdate", self.image_name())

    def download_dir(self):
        return os.path.join(self.tmp, "bwvupdate")

    def launch(self, *args):
        exe = os.path.join(self.bundle, "Contents/MacOS", self.bundle_name[:-4])
        self.stderr_path = os.path.join(self.work, "installer.stderr")
        self.stderr = open(self.stderr_path, "wb")
        self.app = subprocess.Popen([exe, *args], env=self.env, stdout=self.stderr, stderr=self.stderr,
                                    cwd=self.work)
        log(f"installer started (pid {self.app.pid}) against {self.server.url('feed.plist')}")

    def app_log(self):
        with open(self.stderr_path, "r", errors="replace") as f:
            return f.read()

    def xdotool(self, *args, timeout=30):
        r = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=timeout)
        return r.stdout.strip() if r.returncode == 0 else None

    def wait_window(self, name, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.app and self.app.poll() is not None and name == self.title:
                raise RuntimeError(f"installer ended early with status {self.app.returncode}:\n{self.app_log()}")
            out = self.xdotool("search", "--onlyvisible", "--name", f"^{name}$")
            if out:
                return out.split()[0]
            time.sleep(0.2)
        raise RuntimeError(f"no window named {name!r} appeared")

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", wid)
        g = dict(line.split("=", 1) for line in out.splitlines())
        return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])

    def wait_download_started(self, timeout=30):
        deadline = time.time() + timeout
        folder = self.download_dir()
        while time.time() < deadline:
            if os.path.isdir(folder) and os.listdir(folder):
                return
            time.sleep(0.1)
        raise RuntimeError("the download never started")

    def wait_downloaded(self, timeout=120):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if os.path.isfile(self.image_path()):
                return
            if self.app.poll() is not None:
                raise RuntimeError(f"installer ended during the download:\n{self.app_log()}")
            time.sleep(0.2)
        raise RuntimeError("the download did not finish")

    def scale(self):
        return float(self.env.get("QT_SCALE_FACTOR") or 1)

    # The install button is the only one left, at the right end of the button row; the
    # window definition keeps it 24 px from the right edge and 18 px from the bottom, in the
    # window's own pixels (twice as many screen pixels at scale 2).
    def install_button_point(self, wid):
        x, y, w, h = self.geometry(wid)
        k = self.scale()
        return x + w - int((24 + 40) * k), y + h - int((18 + 12) * k)

    def wait_install_button(self, wid, timeout=30):
        """Until something is drawn where the install button appears."""
        x, y, w, h = self.geometry(wid)
        k = self.scale()
        bx, by = w - int((24 + 80) * k), h - int((18 + 20) * k)
        shot = os.path.join(self.work, "window.png")
        deadline = time.time() + timeout
        while time.time() < deadline:
            subprocess.run(["import", "-display", self.display, "-window", wid, shot], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            r = subprocess.run(["convert", shot, "-crop", f"70x14+{bx}+{by}", "+repage", "-colorspace", "gray",
                                "-format", "%[fx:standard_deviation]", "info:"],
                               capture_output=True, text=True, timeout=60)
            try:
                if float(r.stdout.strip() or 0) > 0.02:
                    return
            except ValueError:
                pass
            time.sleep(0.3)
        raise RuntimeError("the install button never appeared")

    def click_install(self, wid):
        self.wait_install_button(wid)
        px, py = self.install_button_point(wid)
        self.xdotool("mousemove", "--sync", str(px), str(py))
        self.xdotool("click", "1")
        log(f"pressed Install at {px},{py}")

    def press_return(self, wid):
        """Return, with the keyboard focus on the window: the window's next step."""
        self.wait_install_button(wid)
        self.xdotool("windowfocus", "--sync", wid)
        self.xdotool("key", "--clearmodifiers", "Return")
        log("pressed Return")

    def fits_screen(self, wid):
        sw, sh = (int(v) for v in self.xdotool("getdisplaygeometry").split())
        x, y, w, h = self.geometry(wid)
        return 0 <= x and 0 <= y and x + w <= sw and y + h <= sh

    def find_window(self, name):
        out = self.xdotool("search", "--onlyvisible", "--name", f"^{name}$")
        return out.split()[0] if out else None

    def press_ok(self, alert):
        """Ends an alert with its default button, as a person pressing Return would."""
        self.xdotool("windowfocus", "--sync", alert)
        self.xdotool("key", "--clearmodifiers", "Return")
        deadline = time.time() + 5
        while time.time() < deadline:
            if not self.find_window_id(alert):
                return
            time.sleep(0.2)
        # Focus did not reach it: press the button itself, at the right end of its row.
        x, y, w, h = self.geometry(alert)
        self.xdotool("mousemove", "--sync", str(x + w - 50), str(y + h - 24))
        self.xdotool("click", "1")
        deadline = time.time() + 5
        while time.time() < deadline:
            if not self.find_window_id(alert):
                return
            time.sleep(0.2)
        raise RuntimeError("the alert did not close")

    def find_window_id(self, wid):
        out = self.xdotool("search", "--onlyvisible", "--name", ".")
        return out and wid in out.split()

    def install(self, wid, timeout=120, key=False):
        """Presses Install (with the mouse, or with Return when key is set) until the
        installer ends or shows an alert other than the one about a running client. Any
        process whose executable name ends in BrindleWaveAgent counts as the running client,
        and other programs on a shared test machine may have one for a moment; like a user,
        dismiss that alert and press Install again. Answers "ended" or the title of the alert
        that stayed."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            (self.press_return if key else self.click_install)(wid)
            while time.time() < deadline:
                if self.app.poll() is not None:
                    return "ended"
                if self.find_window(VERIFY_ALERT):
                    return VERIFY_ALERT
                alert = self.find_window(RUNNING_ALERT)
                if alert:
                    log("a BrindleWaveAgent process is running on this machine; dismissing and retrying")
                    self.press_ok(alert)
                    time.sleep(1.0)
                    break
                time.sleep(0.2)
        raise RuntimeError("the installation neither ended nor alerted")

    def wait_exit(self, timeout=60):
        try:
            return self.app.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def installer_log(self):
        path = os.path.join(self.state, "installer.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [line.rstrip("\n").split("\t") for line in f if line.strip()]

    def center(self, wid):
        x, y, w, h = self.geometry(wid)
        self.xdotool("windowmove", "--sync", wid, str((1024 - w) // 2), str((640 - h) // 3))

    def show_installer_panel(self):
        """The Installer stand-in has no window of its own; show what it recorded for the
        package it was handed, in a window titled as the macOS Installer's would be."""
        deadline = time.time() + 30
        while time.time() < deadline and not [r for r in self.installer_log() if r[1:3] == ["installer", "result"]]:
            time.sleep(0.1)
        records = [r for r in self.installer_log() if len(r) >= 5]
        pkg = next((r[3] for r in records if r[1:3] == ["open", "handoff"]), "?")
        lines = [f"Package:  {pkg}"]
        for r in records:
            if r[1:3] == ["installer", "install"]:
                detail = r[4]
                if " signer=" in detail:
                    sig, signer = detail.split(" signer=", 1)
                    lines.append("Signature:  " + sig.split("signature=", 1)[-1])
                    lines.append("Signer:  " + signer)
            elif r[1:3] == ["installer", "would-install"]:
                lines.append("Would install:  " + r[4].split(" ", 1)[-1])
            elif r[1:3] == ["installer", "result"]:
                lines.append("Result:  " + r[4])
        panel = os.path.join(self.work, "installer-panel.png")
        subprocess.run(["convert", "-size", "700x300", "xc:#f5f5f5",
                        "-fill", "#1d1d1f", "-font", "DejaVu-Sans-Bold", "-pointsize", "20",
                        "-annotate", "+28+46", "Installer",
                        "-font", "DejaVu-Sans", "-pointsize", "13", "-fill", "#333333",
                        "-annotate", "+28+90", "\n".join(lines).replace("%", "%%"), panel], check=True)
        self.panel = subprocess.Popen(["display", "-display", self.display, "-title", "Installer",
                                       "-geometry", "+162+150", panel],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_window("Installer", timeout=20)
        time.sleep(0.5)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       check=True, env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def close(self):
        if getattr(self, "panel", None) and self.panel.poll() is None:
            self.panel.kill()
            self.panel.wait()
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        self.server.close()
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)


def run_demo(args):
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    own_display = None
    if args.window and os.environ.get("DISPLAY"):
        display = os.environ["DISPLAY"]
    else:
        own_display = Display()
        display = own_display.name
        args.window = False
        own_display.paint_backdrop()
    s = Session(args.build, os.path.join(args.build, "demo", "feed"), display, image_seconds=6.0, keep=True)
    shots = []
    try:
        s.launch()
        wid = s.wait_window(s.title)
        if not args.window:
            s.center(wid)
        if args.window:
            log("the installer window is open on your display; press Install when the download is done")
            s.wait_exit(None)
        else:
            s.wait_download_started()
            time.sleep(2.5)
            shots.append(s.screenshot(os.path.join(out, "1-downloading.png")))
            s.wait_downloaded()
            s.wait_install_button(wid)
            shots.append(s.screenshot(os.path.join(out, "2-downloaded.png")))
            s.install(wid)
            status = s.wait_exit(60)
            log(f"installer ended with status {status}")
            s.show_installer_panel()
            shots.append(s.screenshot(os.path.join(out, "3-installer-opened.png")))
        with open(os.path.join(out, "installer.log"), "w") as f:
            for r in s.installer_log():
                f.write("\t".join(r) + "\n")
        shutil.copyfile(s.stderr_path, os.path.join(out, "installer-output.txt"))
    finally:
        s.close()
        if own_display:
            own_display.close()
    for p in shots:
        print(p)
    print(os.path.join(out, "installer.log"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", default="demo-output")
    ap.add_argument("--window", action="store_true")
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    run_demo(args)


if __name__ == "__main__":
    main()
