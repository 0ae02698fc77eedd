#!/usr/bin/python3
"""Runs a server written in any language as a Mirovan app's app/serve.py, as told by the
settings in launch.json beside it; `tools/package launcher` puts both in a bundle.

The app starts this as `python3 -B serve.py --port 0 --watch-stdin` with MIROVAN_DATA set.
It then:

- runs the settings' "command" (a list: the program and its arguments) in the app folder,
  with {port}, {data}, {app} and {resources} in it replaced by the port, the data folder,
  this file's folder and the bundle's Resources folder;
- passes a free port through {port}, or, with "port_from_output" (a regular expression with
  one group), learns the port from the server's output;
- knows the server is ready when a line matches "ready_from_output", else when an HTTP GET
  of "ready_path" (default "/") on the port gets any answer at all;
- writes http://127.0.0.1:PORT + "page" (default "/"; {token} in it is what the group of
  "token_from_output" matched) to $MIROVAN_DATA/open-link, then prints the readiness line;
- passes the server's output through line by line, unchanged;
- at the end of its input, or on SIGTERM or SIGINT, sends SIGTERM to every process the
  server started, in whatever group or session (this process is their child subreaper),
  and SIGKILL to what is left "stop_grace" seconds (default 4) later;
- when the server ends on its own, or cannot start, says why in its last line.

Other settings: "env" (variables to add, placeholders replaced), "ready_within" (seconds,
default 120, before giving up on a server that never gets ready), "about" (words for the
reader of the file, which JSON gives no comments for). Standard library only.
"""

import argparse
import ctypes
import http.client
import json
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import threading
import time

READY_NAME = "Mirovan Velto"  # the app waits for "Mirovan Velto on http://127.0.0.1:<port> "
HOST = "127.0.0.1"
HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = os.path.join(HERE, "launch.json")
PLACEHOLDER = re.compile(r"\{(port|data|app|resources)\}")
KNOWN = {"about", "command", "port_from_output", "ready_from_output", "ready_path", "page",
         "token_from_output", "env", "stop_grace", "ready_within"}
PR_SET_CHILD_SUBREAPER = 36
TICK = 0.1
# The app SIGKILLs everything 8 s after Quit; what a server gets to save its state must end
# before then.
MOST_GRACE = 7.0


class SettingsError(ValueError):
    pass


def check_settings(settings):
    """The settings as read from launch.json, checked; raises SettingsError saying what is wrong."""
    if not isinstance(settings, dict):
        raise SettingsError("the settings must be a JSON object")
    unknown = sorted(set(settings) - KNOWN)
    if unknown:
        raise SettingsError("unknown settings: " + ", ".join(unknown))
    command = settings.get("command")
    if not isinstance(command, list) or not command or not all(isinstance(a, str) for a in command):
        raise SettingsError('"command" must be a non-empty list of strings')
    for key in ("port_from_output", "ready_from_output", "token_from_output"):
        if key in settings:
            try:
                pattern = re.compile(settings[key])
            except (TypeError, re.error) as e:
                raise SettingsError(f'"{key}" is not a regular expression: {e}') from None
            if key != "ready_from_output" and pattern.groups < 1:
                raise SettingsError(f'"{key}" needs a group, (...), around what it takes')
    env = settings.get("env", {})
    if not isinstance(env, dict) or not all(isinstance(v, str) for v in env.values()):
        raise SettingsError('"env" must be an object of strings')
    passed = any("{port}" in a for a in command + list(env.values()))
    if "port_from_output" in settings and passed:
        raise SettingsError('"command" passes {port}, but "port_from_output" says the server picks it')
    if "port_from_output" not in settings and not passed:
        raise SettingsError('the server learns its port from nowhere: put {port} in "command" or '
                            '"env", or say where it reports it with "port_from_output"')
    for key in ("ready_path", "page"):
        if not isinstance(settings.get(key, "/"), str) or not settings.get(key, "/").startswith("/"):
            raise SettingsError(f'"{key}" must be a path starting with /')
    if "{token}" in settings.get("page", "") and "token_from_output" not in settings:
        raise SettingsError('"page" has {token}, but no "token_from_output" says where it comes from')
    for key, default, most in (("stop_grace", 4, MOST_GRACE), ("ready_within", 120, None)):
        value = settings.get(key, default)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value <= 0 \
                or most is not None and value > most:
            raise SettingsError(f'"{key}" must be a number of seconds above 0'
                                + (f" and at most {most:g}" if most else ""))
    return settings


def load_settings(path=SETTINGS):
    try:
        with open(path, encoding="utf-8") as f:
            return check_settings(json.load(f))
    except OSError as e:
        raise SettingsError(f"cannot read {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise SettingsError(f"{path}: {e}") from None


def fill(text, values):
    """Replaces the known placeholders only, so other braces (JSON, regexes) stay as they are."""
    return PLACEHOLDER.sub(lambda m: values[m.group(1)] if values[m.group(1)] is not None
                           else m.group(0), text)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def why_it_ended(status):
    """The last line when the server ends on its own, from a waitpid status."""
    if os.WIFSIGNALED(status):
        return f"the server was killed by signal {os.WTERMSIG(status)}"
    return f"the server exited with status {os.waitstatus_to_exitcode(status)}"


def processes():
    """{pid: (parent pid, state)} of every process, from /proc."""
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        # The command name may hold spaces and parentheses; the fields follow the last ")".
        fields = stat[stat.rfind(b")") + 2:].split()
        found[int(name)] = (int(fields[1]), fields[0].decode())
    return found


def descendants(root):
    """The pids below root that are still alive: zombies have ended, whoever reaps them."""
    table = processes()
    children = {}
    for pid, (parent, _) in table.items():
        children.setdefault(parent, []).append(pid)
    alive, todo = [], list(children.get(root, []))
    while todo:
        pid = todo.pop()
        todo += children.get(pid, [])
        if table[pid][1] not in "ZX":
            alive.append(pid)
    return alive


def become_subreaper():
    # Orphans of the server (a double fork, setsid) come to us instead of PID 1, so /proc
    # shows them below us and we can stop them.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


class Launcher:
    def __init__(self, settings, port, data):
        self.settings = settings
        self.data = data
        self.events = queue.SimpleQueue()  # put() may be called from a signal handler
        self.out = sys.stdout.buffer
        self.out_lock = threading.Lock()
        self.port = None if "port_from_output" in settings else (port or free_port())
        self.token = None
        self.ready_seen = False
        self.server = None
        self.reader = None
        self.status = None

    # ------------------------------------------------------------ output

    def write(self, line):
        with self.out_lock:
            try:
                self.out.write(line)
                self.out.flush()
            except (BrokenPipeError, ValueError):
                pass  # the app is gone; the end of our input stops us

    def say(self, text):
        self.write(text.encode() + b"\n")

    def pass_output(self, stream):
        """Thread: copies the server's output and reports what the patterns find in it."""
        patterns = {key: re.compile(self.settings[key]) for key in
                    ("port_from_output", "ready_from_output", "token_from_output") if key in self.settings}
        for line in iter(stream.readline, b""):
            self.write(line)
            text = line.decode(errors="replace")
            for key, pattern in patterns.items():
                if match := pattern.search(text):
                    self.events.put((key, match.group(1) if pattern.groups else None))
        self.events.put(("output ended", None))

    def watch_input(self):
        """Thread: the app closes our input to ask us to stop, and when it dies."""
        while os.read(sys.stdin.fileno(), 4096):
            pass
        self.events.put(("stop", None))

    # ------------------------------------------------------------- start

    def values(self):
        return {"port": None if self.port is None else str(self.port), "data": self.data,
                "app": HERE, "resources": os.path.dirname(HERE)}

    def start(self):
        values = self.values()
        command = [fill(a, values) for a in self.settings["command"]]
        env = dict(os.environ, **{k: fill(v, values) for k, v in self.settings.get("env", {}).items()})
        try:
            # In our process group, so the app's signal to the group reaches it even if we
            # are gone; its own input is not ours to share.
            self.server = subprocess.Popen(command, cwd=HERE, env=env, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except FileNotFoundError:
            self.say(f"the server's command was not found: {command[0]}")
            return False
        except OSError as e:
            self.say(f"the server's command {command[0]} could not be started: {e.strerror or e}")
            return False
        self.reader = threading.Thread(target=self.pass_output, args=(self.server.stdout,), daemon=True)
        self.reader.start()
        return True

    def answers(self):
        path = self.settings.get("ready_path", "/")
        conn = http.client.HTTPConnection(HOST, self.port, timeout=1)
        try:
            conn.request("GET", path)
            conn.getresponse().read()
            return True
        except (OSError, http.client.HTTPException):
            return False
        finally:
            conn.close()

    def is_ready(self):
        if self.port is None or "token_from_output" in self.settings and self.token is None:
            return False
        if "ready_from_output" in self.settings:
            return self.ready_seen
        return self.answers()

    def announce(self):
        page = self.settings.get("page", "/").replace("{token}", self.token or "")
        url = f"http://{HOST}:{self.port}"
        link = os.path.join(self.data, "open-link")
        # Written whole before the readiness line: the app reads it the moment it sees the line.
        part = link + ".part"
        with open(part, "w", encoding="utf-8") as f:
            os.fchmod(f.fileno(), 0o600)  # the address may hold a login token
            f.write(url + page + "\n")
        os.replace(part, link)
        self.say(f"{READY_NAME} on {url} (the server is ready)")

    # ---------------------------------------------------------- the loop

    def reap(self):
        """Collects our ended children (the server and orphans left to us); True when the
        server has ended."""
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return self.status is not None
            if pid == 0:
                return self.status is not None
            if pid == self.server.pid:
                self.status = status
                self.server.returncode = os.waitstatus_to_exitcode(status)

    def server_gone(self):
        # A server that exits with 0 leaving processes behind has put itself in the background.
        return self.reap() and (self.status != 0 or not descendants(os.getpid()))

    def run(self):
        if not self.start():
            return 1
        ready, give_up = False, time.monotonic() + self.settings.get("ready_within", 120)
        while True:
            try:
                event, value = self.events.get(timeout=TICK)
            except queue.Empty:
                event, value = None, None
            if event == "stop":
                return self.stop(0)
            if event == "port_from_output" and self.port is None:
                self.port = int(value)
            elif event == "token_from_output" and self.token is None:
                self.token = value
            elif event == "ready_from_output":
                self.ready_seen = True
            if self.server_gone():
                self.stop(None)
                self.say(why_it_ended(self.status))
                return 1
            if not ready and self.is_ready():
                ready = True
                try:
                    self.announce()
                except OSError as e:
                    self.stop(None)
                    self.say(f"cannot write {self.data}/open-link: {e.strerror or e}")
                    return 1
            if not ready and time.monotonic() > give_up:
                self.stop(None)
                self.say(f"the server did not get ready within {self.settings.get('ready_within', 120):g} s")
                return 1

    def stop(self, code):
        """SIGTERM to everything below us, SIGKILL to what is left after the grace."""
        grace = time.monotonic() + self.settings.get("stop_grace", 4)
        told = set()
        while True:
            self.reap()
            left = descendants(os.getpid())
            if not left:
                break
            kill = time.monotonic() > grace
            for pid in left:
                if kill or pid not in told:
                    try:
                        os.kill(pid, signal.SIGKILL if kill else signal.SIGTERM)
                    except ProcessLookupError:
                        pass
                    told.add(pid)
            time.sleep(TICK)
        self.reap()
        # Its last words, unless something we no longer wait for holds the pipe open.
        self.reader.join(timeout=1)
        return code


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="the port to pass in (0: any free one)")
    parser.add_argument("--watch-stdin", action="store_true", help="stop at the end of standard input")
    args = parser.parse_args()
    data = os.path.abspath(os.environ.get("MIROVAN_DATA") or ".")
    try:
        settings = load_settings()
        os.makedirs(data, exist_ok=True)
        become_subreaper()
    except (SettingsError, OSError) as e:
        print(f"the launcher cannot start: {e}", flush=True)
        return 1
    launcher = Launcher(settings, args.port, data)
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: launcher.events.put(("stop", None)))
    if args.watch_stdin:
        threading.Thread(target=launcher.watch_input, daemon=True).start()
    return launcher.run()


if __name__ == "__main__":
    sys.exit(main())
