"""Runs the bundled demo server the way the Mirovan app does and checks its contract."""

import http.client
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

SERVE_PY = os.path.abspath(os.environ.get("MIROVAN_SERVE_PY") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "bundle", "app", "serve.py"))
EXAMPLE_PY = os.path.abspath(os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "bundle", "examples", "wsgi_launcher.py"))
READY = re.compile(r"^Mirovan Velto on http://127\.0\.0\.1:(\d+) ")
DEADLINE = 5.0


class ServeTest(unittest.TestCase):
    def start(self, data_dir, script=SERVE_PY):
        env = dict(os.environ, MIROVAN_DATA=data_dir, PYTHONDONTWRITEBYTECODE="1")
        # Unbuffered, so that select() sees every byte Python has not read yet.
        self.proc = self.enterContext(subprocess.Popen(
            [sys.executable, "-B", script, "--port", "0", "--watch-stdin"], bufsize=0, cwd=os.path.dirname(script),
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        self.addCleanup(self.proc.kill)  # before leaving the context waits for it
        return self.proc

    def output_after_exit(self, status):
        code = self.proc.wait(timeout=DEADLINE)  # TimeoutExpired: still running when it should have stopped
        self.assertTrue(status(code), f"exit status {code}")
        return self.proc.stdout.read().decode(errors="replace")

    def ready(self, data_dir, script=SERVE_PY):
        proc, end = self.start(data_dir, script), time.monotonic() + DEADLINE
        while True:
            self.assertTrue(select.select([proc.stdout], [], [], max(0.0, end - time.monotonic()))[0],
                            f"no readiness line within {DEADLINE}s")
            line = proc.stdout.readline().decode(errors="replace")
            self.assertTrue(line, f"ended before the readiness line (exit status {proc.poll()})")
            if match := READY.match(line):
                break
        # The app reads open-link the moment it sees the line, so it must already be complete.
        with open(os.path.join(data_dir, "open-link"), encoding="utf-8") as f:
            self.assertRegex(f.read(), rf"^http://127\.0\.0\.1:{match.group(1)}/?(\?token=[\w-]+)?\s*$")
        return int(match.group(1))

    def get(self, port, path, method="GET", body=None, headers={}, header="Cache-Control"):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
        self.addCleanup(conn.close)
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        return resp.status, resp.getheader(header), resp.read().decode()

    def data_dir(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        return os.path.join(tmp.name, "not", "yet", "there")  # the server makes it

    def test_serves_pages_and_stops_when_stdin_closes(self):
        data_dir = self.data_dir()
        port = self.ready(data_dir)
        status, cache, page = self.get(port, "/")
        self.assertEqual((status, cache), (200, "no-store"))
        self.assertIn("messageHandlers?.noDrag?.postMessage(JSON.stringify(", page)
        self.assertIn("messageHandlers?.appearance?.postMessage(", page)
        self.assertNotRegex(page, r"""(src|href)=["']?(https?:)?//(?!www\.gnu\.org/)""")
        self.assertEqual(self.get(port, "/shell")[0], 200)
        self.assertEqual(self.get(port, "/no/such/page")[0], 404)
        self.proc.stdin.close()
        self.assertNotIn("Mirovan Velto on ", self.output_after_exit(lambda code: code == 0))  # announced once
        self.assertEqual(os.listdir(data_dir), ["open-link"])  # no temporary file left behind

    def test_appearance_is_kept_in_data_dir_across_restarts(self):
        data_dir = self.data_dir()
        port = self.ready(data_dir)
        html_tag = lambda: re.search(r"<html[^>]*>", self.get(port, "/")[2]).group(0)
        self.assertIn('data-appearance="system"', html_tag())
        self.assertNotIn("localStorage", self.get(port, "/")[2])  # forgotten whenever the port changes
        self.assertEqual(self.get(port, "/appearance", "PUT", b"dark")[0], 204)
        for body, status in ((b"purple", 400), (b"", 400), (b"dark\xff", 400), (b"dark" + b" " * 64, 413)):
            self.assertEqual(self.get(port, "/appearance", "PUT", body)[0], status, body)
        self.assertIn('data-appearance="dark"', html_tag())
        self.assertEqual(sorted(os.listdir(data_dir)), ["appearance", "open-link"])  # no temporary file left
        self.proc.send_signal(signal.SIGTERM)  # stops it as well as the end of its input does
        self.output_after_exit(lambda code: code == 0)

        port = self.ready(data_dir)  # a new origin, as on every run of the app
        self.assertIn('data-appearance="dark"', html_tag())

    def test_unusable_data_dir_fails_clearly(self):
        blocker = os.path.join(os.path.dirname(self.data_dir()), "file")
        os.makedirs(os.path.dirname(blocker))
        open(blocker, "w").close()
        self.start(os.path.join(blocker, "data"))
        self.assertIn("data directory", self.output_after_exit(lambda code: code != 0))

    def test_wsgi_example_lets_in_only_its_token(self):
        data_dir = self.data_dir()
        port = self.ready(data_dir, EXAMPLE_PY)
        with open(os.path.join(data_dir, "open-link"), encoding="utf-8") as f:
            query = urllib.parse.urlsplit(f.read().strip()).query
        token = urllib.parse.parse_qs(query)["token"][0]
        self.assertEqual(self.get(port, "/")[0], 403)
        self.assertEqual(self.get(port, "/shell?token=" + token[:-1])[0], 403)
        status, cookie, _ = self.get(port, "/?" + query, header="Set-Cookie")
        self.assertEqual(status, 303)  # to the address without the token
        self.assertEqual(self.get(port, "/", headers={"Cookie": "mirovan_token=" + token[:-1]})[0], 403)
        for path in ("/", "/shell"):
            self.assertEqual(self.get(port, path, headers={"Cookie": cookie.split(";")[0]})[0], 200, path)
        self.proc.stdin.close()
        self.assertNotIn(token, self.output_after_exit(lambda code: code == 0))  # shown in the window if it dies


if __name__ == "__main__":
    unittest.main()
