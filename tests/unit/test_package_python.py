"""Gives a copy of the built bundle its own Python, moves it, and runs its server with the
system's Python library hidden."""

import http.client
import json
import os
import re
import select
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
READY = re.compile(r"^Mirovan Velto on http://127\.0\.0\.1:\d+")
DEADLINE = 10.0
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter tools/package copies


def namespaces_work():
    try:
        return subprocess.run(["unshare", "-rm", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


def system_folders():
    """What the bundled interpreter must do without: the library it was copied from, dist-packages."""
    stdlib = subprocess.run([SYSTEM_PYTHON, "-I", "-c", "import sysconfig; print(sysconfig.get_path('stdlib'))"],
                            capture_output=True, text=True, check=True).stdout.strip()
    return [f for f in (stdlib, "/usr/lib/python3/dist-packages") if os.path.isdir(f)]


@unittest.skipUnless(namespaces_work(), "`unshare -rm true` fails here: no private mount namespace to hide "
                     "the system's Python library in")
class PackagePythonTest(unittest.TestCase):
    def run_ok(self, *command):
        done = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, f"{shlex.join(command)}:\n{done.stdout}{done.stderr}")
        return done.stdout

    def test_moved_bundle_serves_with_the_system_library_hidden(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        bundle = os.path.join(tmp, "built", "Mirovan.app")
        shutil.copytree(os.environ["MIROVAN_BUNDLE"], bundle, symlinks=True)
        self.run_ok(os.path.join(TOP, "tools", "package"), "python", bundle, "--key", os.environ["MIROVAN_DEV_KEY"])
        self.run_ok(os.environ["MIROVAN_SIGN"], "verify", bundle)

        moved = os.path.join(tmp, "elsewhere", "Moved.app")
        os.renames(bundle, moved)
        python = os.path.join(moved, "Contents", "Resources", "python", "bin", "python3")
        app = os.path.join(moved, "Contents", "Resources", "app")
        # -s: the user's own site-packages would be on any interpreter's path.
        found = json.loads(self.run_ok(python, "-s", "-c", "import json, sys; print(json.dumps([sys.prefix] + sys.path[1:]))"))
        for path in found:
            self.assertTrue(path.startswith(moved + os.sep), f"{path} is outside the moved bundle")

        mounts = " && ".join("mount -t tmpfs tmpfs " + shlex.quote(f) for f in system_folders())
        data = os.path.join(tmp, "data")
        proc = self.enterContext(subprocess.Popen(
            ["unshare", "-rm", "sh", "-c", mounts + ' && exec "$@"', "sh",
             python, "-B", os.path.join(app, "serve.py"), "--port", "0", "--watch-stdin"],
            cwd=app, env=dict(os.environ, MIROVAN_DATA=data, PYTHONDONTWRITEBYTECODE="1"),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0))
        self.addCleanup(proc.kill)  # before leaving the context waits for it

        lines, end = [""], time.monotonic() + DEADLINE
        while not READY.match(lines[-1]):
            self.assertTrue(select.select([proc.stdout], [], [], max(0.0, end - time.monotonic()))[0],
                            f"no readiness line within {DEADLINE}s:\n{''.join(lines)}")
            lines.append(proc.stdout.readline().decode(errors="replace"))
            self.assertTrue(lines[-1], f"ended before the readiness line (exit status {proc.poll()}):\n{''.join(lines)}")

        with open(os.path.join(data, "open-link"), encoding="utf-8") as f:
            url = urllib.parse.urlsplit(f.read().strip())
        conn = http.client.HTTPConnection(url.hostname, url.port, timeout=DEADLINE)  # no proxy
        self.addCleanup(conn.close)
        conn.request("GET", url.path or "/")
        self.assertEqual(conn.getresponse().status, 200)

        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=DEADLINE), 0)


if __name__ == "__main__":
    unittest.main()
