#!/usr/bin/env python3
"""Runs an update-library test program against a fresh test server.

The library reads providers.plist beside its own file, so each run links a private copy
of the library folder: a symlink to libUpdate in a temporary folder that comes first on
the library path. The test program gets: PORT WWW-DIR LIB-DIR WORK-DIR SERVER-LOG [ARGS],
and UPD_TEST_TLS_PORT in its environment: an https server whose self-signed certificate
no system trusts, and UPD_TEST_TLS_CA, that certificate (both left out when openssl is
missing).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--lib", required=True, help="the libUpdate file the program loads")
    parser.add_argument("program")
    parser.add_argument("args", nargs="*")
    opts = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="bwv-upd-")
    servers = []
    try:
        www = os.path.join(tmp, "www")
        libdir = os.path.join(tmp, "lib")
        work = os.path.join(tmp, "work")
        log = os.path.join(tmp, "server.log")
        for d in (www, libdir, work):
            os.mkdir(d)
        os.symlink(os.path.abspath(opts.lib), os.path.join(libdir, os.path.basename(opts.lib)))
        # The library finds libbwvutil beside itself, as in the bundle.
        bwvutil = os.path.join(os.path.dirname(os.path.abspath(opts.lib)), "libbwvutil.so.1")
        os.symlink(bwvutil, os.path.join(libdir, "libbwvutil.so.1"))
        open(log, "w").close()

        def start(*extra):
            server = subprocess.Popen([sys.executable, opts.server, "--root", www] + list(extra),
                                      stdout=subprocess.PIPE, text=True)
            servers.append(server)
            port = server.stdout.readline().strip()
            if not port.isdigit():
                raise RuntimeError("test server did not start")
            return port

        port = start("--log", log)
        env = dict(os.environ)
        # The servers are on loopback; a proxy from the environment must not be asked.
        env["NO_PROXY"] = env["no_proxy"] = "127.0.0.1"
        pem = os.path.join(tmp, "selfsigned.pem")
        if shutil.which("openssl") and subprocess.call(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                 "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                 "-keyout", pem, "-out", pem],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0:
            env["UPD_TEST_TLS_PORT"] = start("--tls-cert", pem)
            env["UPD_TEST_TLS_CA"] = pem

        env["LD_LIBRARY_PATH"] = libdir + (":" + env["LD_LIBRARY_PATH"]
                                           if env.get("LD_LIBRARY_PATH") else "")
        return subprocess.call([opts.program, port, www, libdir, work, log] + opts.args, env=env)
    finally:
        for server in servers:
            server.kill()
            server.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
