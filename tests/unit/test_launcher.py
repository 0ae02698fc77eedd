"""Puts the launcher in a bundle with tools/package launcher and runs it as the app runs
app/serve.py, around small servers of our own; checks the readiness line, open-link, the output, the last line and that nothing
the server started outlives the launcher."""

import json
import os
import re
import select
import plistlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(TOP, "tools", "package")
PYTHON = os.environ.get("MIROVAN_TEST_PYTHON") or sys.executable
READY = re.compile(rb"^Mirovan Velto on http://127\.0\.0\.1:(\d+) ")
DEADLINE = 10.0

# One server, its behaviour picked by its first argument (words joined by commas): it notes
# every pid it makes in $MIROVAN_DATA/pids and answers every request with 404.
SERVER = r'''
import http.server, os, signal, sys, time
how, port = sys.argv[1].split(","), int(sys.argv[2]) if len(sys.argv) > 2 else 0
def note():
    with open(os.path.join(os.environ["MIROVAN_DATA"], "pids"), "a") as f:
        f.write(f"{os.getpid()}\n")
def linger():
    note()
    if "deaf" in how:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    while True:
        time.sleep(60)
note()
sys.stdout.buffer.write(b"starting \xff\n"); sys.stdout.flush()
if "exit3" in how:
    sys.exit(3)
if "killed" in how:
    os.kill(os.getpid(), signal.SIGKILL)
if "deaf" in how:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
if "workers" in how:
    if os.fork() == 0:
        linger()
    if os.fork() == 0:     # a double fork into a session of its own, as daemons do
        os.setsid()
        if os.fork() == 0:
            linger()
        os._exit(0)
if "slow" in how:
    time.sleep(0.5)        # the launcher's probe finds nothing at first
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_error(404)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", port), Handler)
print(f"listening on 127.0.0.1:{server.server_port} with token t{os.getpid()}", flush=True)
server.serve_forever()
'''


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] not in (b"Z", b"X")


class LauncherTest(unittest.TestCase):
    def package(self, settings, *options):
        """A bundle whose server is server.py, the launcher put in by the tool with these
        settings; returns the tool's run."""
        self.tmp = self.enterContext(tempfile.TemporaryDirectory())
        self.app = os.path.join(self.tmp, "X.app", "Contents", "Resources", "app")
        os.makedirs(self.app)
        with open(os.path.join(self.tmp, "X.app", "Contents", "Info.plist"), "wb") as f:
            plistlib.dump({"CFBundleName": "X"}, f)
        with open(os.path.join(self.app, "server.py"), "w") as f:
            f.write(SERVER)
        with open(os.path.join(self.tmp, "launch.json"), "w") as f:
            json.dump(settings, f)
        return subprocess.run([PACKAGE, "launcher", os.path.join(self.tmp, "X.app"), "--settings",
                               os.path.join(self.tmp, "launch.json"), *options],
                              capture_output=True, text=True)

    def launch(self, settings, *command, stop=lambda proc: proc.stdin.close()):
        """Starts the launcher as the app would, reads up to its readiness line, stops it with
        `stop` and returns (output, open-link or None, seconds the stop took)."""
        packed = self.package(settings, "--stop-grace", "1", *command)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        app, self.data = self.app, os.path.join(self.tmp, "data")
        proc = self.enterContext(subprocess.Popen(
            [PYTHON, "-B", "serve.py", "--port", "0", "--watch-stdin"], cwd=app, bufsize=0,
            env=dict(os.environ, MIROVAN_DATA=self.data), start_new_session=True,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        self.addCleanup(self.kill_all, proc)
        output, link, end = b"", None, time.monotonic() + DEADLINE
        line = b"-"
        while line and not READY.match(line):
            self.assertTrue(select.select([proc.stdout], [], [], max(0.0, end - time.monotonic()))[0],
                            f"no readiness line within {DEADLINE}s:\n{output}")
            line = proc.stdout.readline()
            output += line
        if line:
            # The app reads open-link as soon as it sees the line: it must be whole by then.
            with open(os.path.join(self.data, "open-link")) as f:
                link = f.read()
            began = time.monotonic()
            stop(proc)
            proc.wait(timeout=DEADLINE)
            took = time.monotonic() - began
        else:
            proc.wait(timeout=DEADLINE)
            took = 0
        output += proc.stdout.read()
        self.assertEqual([p for p in self.server_pids() if alive(p)], [], "left running")
        return output.decode(errors="replace"), link, took

    def server_pids(self):
        pids = os.path.join(self.data, "pids")
        with open(pids if os.path.exists(pids) else os.devnull) as f:
            return [int(p) for p in f.read().split()]

    def kill_all(self, proc):
        for pid in self.server_pids():
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)

    def ready_port(self, output):
        lines = output.splitlines()
        ready = [i for i, l in enumerate(lines) if l.startswith("Mirovan Velto on ")]
        self.assertEqual(len(ready), 1, output)
        self.assertIn("starting \ufffd", lines[:ready[0]])   # passed through before, unchanged
        return int(READY.match(lines[ready[0]].encode()).group(1))

    def test_port_token_and_readiness_from_the_output(self):
        output, link, took = self.launch({
            "command": [PYTHON, "server.py", "plain"],
            "port_from_output": r"listening on 127\.0\.0\.1:(\d+)",
            "ready_from_output": "listening on", "token_from_output": r"token (\w+)",
            "page": "/ui/?token={token}"})
        port = self.ready_port(output)
        token = re.search(r"token (\w+)", output).group(1)
        self.assertEqual(link, f"http://127.0.0.1:{port}/ui/?token={token}\n")
        self.assertLess(took, 2)
        self.assertEqual(oct(os.stat(os.path.join(self.data, "open-link")).st_mode & 0o777), "0o600")

    def test_a_port_passed_in_and_an_answer_to_a_request(self):
        # Nothing but a command: a free port through {port}, ready at any answer to GET /
        # (here a 404), the page at /.
        output, link, _ = self.launch({}, "--", PYTHON, "server.py", "slow", "{port}")
        port = self.ready_port(output)
        self.assertIn(f"listening on 127.0.0.1:{port} ", output)
        self.assertEqual(link, f"http://127.0.0.1:{port}/\n")

    def test_workers_in_other_sessions_and_deaf_ones_are_stopped(self):
        for how, stop, most in (("workers", lambda p: p.stdin.close(), 2),
                                ("workers,deaf", lambda p: p.stdin.close(), 1 + 2),
                                ("workers,deaf", lambda p: os.kill(p.pid, signal.SIGTERM), 1 + 2)):
            with self.subTest(how=how):
                output, _, took = self.launch({"command": [PYTHON, "server.py", how, "{port}"]}, stop=stop)
                self.ready_port(output)
                self.assertEqual(len(self.server_pids()), 3)   # the server, its worker, the double-forked one
                self.assertLess(took, most)

    def test_a_server_that_cannot_start_says_why_last(self):
        for command, last in (([PYTHON, "server.py", "exit3", "{port}"], "the server exited with status 3"),
                              ([PYTHON, "server.py", "killed", "{port}"], "the server was killed by signal 9"),
                              (["no-such-server", "{port}"], "the server's command was not found: no-such-server")):
            with self.subTest(last=last):
                output, link, _ = self.launch({"command": command})
                self.assertIsNone(link)
                self.assertEqual(output.splitlines()[-1], last)
                self.assertNotIn("Mirovan Velto", output)

    def test_settings_that_cannot_work_are_refused_before_anything_starts(self):
        for settings, said in (({"command": ["server", "{port}"], "port_from_output": "(\\d+"}, "regular expression"),
                               ({"command": ["server"]}, "{port}"),
                               ({"command": ["server", "{port}"], "page": "/?t={token}"}, "token_from_output"),
                               ({"command": ["server", "{port}"], "stop_grace": 30}, "stop_grace")):
            with self.subTest(said=said):
                packed = self.package(settings)
                self.assertNotEqual(packed.returncode, 0)
                self.assertIn(said, packed.stderr)
                self.assertEqual(os.listdir(self.app), ["server.py"])
        for example in ("node-red.json", "syncthing.json"):   # the README's worked examples
            with open(os.path.join(TOP, "bundle", "examples", example)) as f:
                packed = self.package(json.load(f))
            self.assertEqual(packed.returncode, 0, packed.stderr)


if __name__ == "__main__":
    unittest.main()
