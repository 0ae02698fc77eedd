"""Runs the bundled demo server the way the Mirovan app does and checks its contract."""

import http.client
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE_PY = os.path.abspath(os.environ.get("MIROVAN_SERVE_PY")
                           or os.path.join(HERE, "..", "..", "bundle", "app", "serve.py"))
READY = re.compile(r"^Mirovan Velto on (http://127\.0\.0\.1:(\d+)) ")
DEADLINE = 5.0


class ServeTest(unittest.TestCase):
    def start(self, data_dir):
        env = dict(os.environ, MIROVAN_DATA=data_dir, PYTHONDONTWRITEBYTECODE="1")
        proc = subprocess.Popen([sys.executable, "-B", SERVE_PY, "--port", "0", "--watch-stdin"],
                                cwd=os.path.dirname(SERVE_PY), env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop, proc)
        # Drain output on a thread so a chatty server never blocks and reads have deadlines.
        self.lines, self.seen = queue.Queue(), []

        def drain():
            for raw in proc.stdout:
                self.seen.append(raw.decode(errors="replace"))
                self.lines.put(self.seen[-1])
        self.reader = threading.Thread(target=drain, daemon=True)
        self.reader.start()
        return proc

    def output_after_exit(self):
        self.reader.join(DEADLINE)
        return "".join(self.seen)

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stdin.close()
        self.reader.join(DEADLINE)  # the pipe hits end of file once the server is gone
        proc.stdout.close()

    def wait_ready(self, proc, data_dir):
        end = time.monotonic() + DEADLINE
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                self.fail(f"no readiness line within {DEADLINE}s (exit status {proc.poll()})")
            match = READY.match(line)
            if match:
                break
        # The app reads open-link the moment it sees the line, so it must already be complete.
        with open(os.path.join(data_dir, "open-link"), encoding="utf-8") as f:
            link = f.read()
        self.assertRegex(link, rf"^http://127\.0\.0\.1:{match.group(2)}/?\s*$")
        return int(match.group(2))

    def get(self, port, path):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
        try:
            conn.request("GET", path)
            resp = conn.getresponse()
            return resp.status, resp.getheader("Cache-Control"), resp.read().decode()
        finally:
            conn.close()

    def assert_exits_cleanly(self, proc):
        try:
            self.assertEqual(proc.wait(timeout=DEADLINE), 0)
        except subprocess.TimeoutExpired:
            self.fail(f"server still running {DEADLINE}s after being told to stop")

    def new_data_dir(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        return os.path.join(tmp.name, "not", "yet", "there")

    def test_serves_pages_and_stops_when_stdin_closes(self):
        data_dir = self.new_data_dir()
        proc = self.start(data_dir)
        port = self.wait_ready(proc, data_dir)

        status, cache, page = self.get(port, "/")
        self.assertEqual(status, 200)
        self.assertEqual(cache, "no-store")
        self.assertIn("messageHandlers?.noDrag?.postMessage(JSON.stringify(", page)
        self.assertIn("messageHandlers?.appearance?.postMessage(", page)
        self.assertNotRegex(page, r"""(src|href)=["']?(https?:)?//(?!www\.gnu\.org/)""")
        self.assertEqual(self.get(port, "/shell")[0], 200)
        self.assertEqual(self.get(port, "/no/such/page")[0], 404)

        proc.stdin.close()
        self.assert_exits_cleanly(proc)
        self.assertEqual(os.listdir(data_dir), ["open-link"])  # no temp file left behind
        self.assertEqual(len(re.findall(r"^Mirovan Velto on ", self.output_after_exit(), re.M)), 1)

    def test_sigterm_stops_server(self):
        data_dir = self.new_data_dir()
        proc = self.start(data_dir)
        self.wait_ready(proc, data_dir)
        proc.send_signal(signal.SIGTERM)
        self.assert_exits_cleanly(proc)

    def test_unusable_data_dir_fails_clearly(self):
        blocker = os.path.join(os.path.dirname(self.new_data_dir()), "file")
        os.makedirs(os.path.dirname(blocker))
        open(blocker, "w").close()
        proc = self.start(os.path.join(blocker, "data"))
        try:
            self.assertNotEqual(proc.wait(timeout=DEADLINE), 0)
        except subprocess.TimeoutExpired:
            self.fail("server kept running without a data directory")
        self.assertIn("data directory", self.output_after_exit())


if __name__ == "__main__":
    unittest.main()
