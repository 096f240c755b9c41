#!/usr/bin/env python3
"""Runs an update-library test program with PORT WWW-DIR LIB-DIR WORK-DIR SERVER-LOG against a
fresh test server, and an https one (UPD_TEST_TLS_PORT) whose self-signed certificate
(UPD_TEST_TLS_CA) no system trusts. The library reads providers.plist beside its own file, so
the program loads it through a link in LIB-DIR, first on the library path."""
import argparse
import os
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--lib", required=True, help="the libUpdate file the program loads")
    parser.add_argument("program")
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bwv-upd-", ignore_cleanup_errors=True) as tmp:
        www, libdir, work, log, pem = (os.path.join(tmp, n) for n in ("www", "lib", "work", "log", "tls.pem"))
        for d in (www, libdir, work):
            os.mkdir(d)
        lib = os.path.abspath(opts.lib)
        # The library finds libbwvutil beside itself, as in the bundle.
        for f in (lib, os.path.join(os.path.dirname(lib), "libbwvutil.so.1")):
            os.symlink(f, os.path.join(libdir, os.path.basename(f)))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", pem, "-out", pem],
                       check=True, capture_output=True)
        servers = [subprocess.Popen([sys.executable, opts.server, "--root", www] + extra, stdout=subprocess.PIPE,
                                    text=True) for extra in (["--log", log], ["--tls-cert", pem])]
        try:
            port, tls_port = (s.stdout.readline().strip() for s in servers)
            # The servers are on loopback; a proxy from the environment must not be asked.
            env = dict(os.environ, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1", UPD_TEST_TLS_PORT=tls_port,
                       UPD_TEST_TLS_CA=pem, LD_LIBRARY_PATH=libdir + ":" + os.environ.get("LD_LIBRARY_PATH", ""))
            return subprocess.call([opts.program, port, www, libdir, work, log], env=env)
        finally:
            for s in servers:
                s.kill()
                s.wait()


if __name__ == "__main__":
    sys.exit(main())
