#!/usr/bin/python3
"""Starts a WSGI application the way Mirovan expects of app/serve.py.

Copy this file to Contents/Resources/app/serve.py and replace `application`
below with your framework's.  The app starts it as
    python3 -B serve.py --port 0 --watch-stdin
with MIROVAN_DATA naming the data directory.  This launcher then:

- listens on 127.0.0.1 only, on the given port (0: any free one);
- makes up a login token each run: the first request carries it as ?token=,
  is redirected to the same address without it and gets it as a cookie;
  every request without it gets 403;
- writes the page's address, token included, to MIROVAN_DATA/open-link, and
  only then prints the readiness line (which carries no token);
- answers /shell itself, so the Recovery Page works whatever the app does;
- stops when standard input reaches end of file, and on SIGTERM or SIGINT.

Standard library only.  If your app starts processes of its own, stop them
before main() returns: the app's SIGTERM reaches this process, not its children.
"""

import argparse
import hmac
import html
import os
import secrets
import signal
import socketserver
import sys
import tempfile
import threading
import urllib.parse
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

HOST = "127.0.0.1"
READY_NAME = "Mirovan Velto"  # the app waits for "Mirovan Velto on http://127.0.0.1:<port> "
COOKIE = "mirovan_token"


# ------------------------------------------------------- the application

# A stand-in: replace `application` with your framework's WSGI app, e.g.
#     from myproject.wsgi import application
def application(environ, start_response):
    path = environ.get("PATH_INFO", "/")
    if path != "/":
        start_response("404 Not Found", [("Content-Type", "text/plain; charset=utf-8")])
        return [b"not found\n"]
    body = (
        "<!doctype html><html lang='en'><head><meta charset='utf-8'>"
        "<title>WSGI demo</title></head><body style='font:14px system-ui,sans-serif;margin:48px'>"
        "<h1>Hello from a WSGI app</h1>"
        f"<p>Served by {html.escape(environ.get('SERVER_SOFTWARE', 'wsgiref'))}.</p>"
        "<p><a href='/shell'>Recovery page</a></p></body></html>"
    ).encode("utf-8")
    start_response("200 OK", [("Content-Type", "text/html; charset=utf-8"),
                              ("Content-Length", str(len(body)))])
    return [body]


# ------------------------------------------------------------ the gate

SHELL_PAGE = b"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Recovery</title>
<style>:root{color-scheme:light dark}body{font:14px system-ui,sans-serif;margin:48px}</style>
</head><body><h1>The server is running</h1><p><a href="/">Back to the app</a></p></body></html>
"""


def _plain(start_response, status, text, headers=()):
    body = text.encode("utf-8")
    start_response(status, [("Content-Type", "text/plain; charset=utf-8"),
                            ("Content-Length", str(len(body))),
                            ("Cache-Control", "no-store"), *headers])
    return [body]


class TokenGate:
    """Lets through only requests that carry the token, and answers /shell."""

    def __init__(self, app, token):
        self.app = app
        self.token = token

    def _matches(self, value):
        # Constant time, so the token cannot be guessed a character at a time.
        return hmac.compare_digest(value.encode("utf-8"), self.token.encode("utf-8"))

    def _has_cookie(self, environ):
        for part in environ.get("HTTP_COOKIE", "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == COOKIE and self._matches(value):
                return True
        return False

    def __call__(self, environ, start_response):
        query = urllib.parse.parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True)
        given = [value for name, value in query if name == "token"]
        if given and self._matches(given[-1]):
            # Trade the token for a cookie and take it out of the address, so it
            # stays out of the page's history and Referer headers.
            rest = urllib.parse.urlencode([(n, v) for n, v in query if n != "token"])
            path = environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", "")
            # One leading slash: "//host" would send the window to another host.
            # WSGI hands the path over as latin-1 decoded bytes: quote those bytes.
            location = "/" + urllib.parse.quote(path.lstrip("/").encode("latin-1"))
            # Lax keeps the cookie off what other sites' frames send in the background.
            cookie = f"{COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Lax"
            return _plain(start_response, "303 See Other", "",
                          [("Location", location + ("?" + rest if rest else "")), ("Set-Cookie", cookie)])
        if not self._has_cookie(environ):
            return _plain(start_response, "403 Forbidden", "forbidden: open this app from its window\n")
        if environ.get("PATH_INFO") == "/shell":
            # Answered here: the Recovery Page must work even when the app does not.
            start_response("200 OK", [("Content-Type", "text/html; charset=utf-8"),
                                      ("Content-Length", str(len(SHELL_PAGE))),
                                      ("Cache-Control", "no-store")])
            return [SHELL_PAGE]
        return self.app(environ, start_response)


# --------------------------------------------------------------- server

def _write(stream, text):
    # The app may close its end of the pipe first; losing a log line then is fine.
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


class Server(socketserver.ThreadingMixIn, WSGIServer):
    # A thread per request, so one slow request does not hold up the page;
    # daemons, so a stuck client never holds the process open at exit.
    daemon_threads = True


class Handler(WSGIRequestHandler):
    token = ""

    def log_message(self, format, *args):
        # The app shows the last lines of our output if we die: keep the token out.
        _write(sys.stderr, f"{self.address_string()} {format % args}\n".replace(self.token, "<token>"))


def port_number(text):
    try:
        port = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"out of range 0-65535: {port}")
    return port


def write_atomically(path, text):
    # The app reads open-link as soon as it sees the readiness line: it must never
    # find half a file.  mkstemp makes it 0600, and the token is for us alone.
    folder, name = os.path.split(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def watch_stdin(stop):
    # Raw os.read: a daemon thread parked in the buffered reader's lock can
    # abort interpreter shutdown.  No usable stdin counts as closed.
    try:
        fd = sys.stdin.fileno()
        while os.read(fd, 65536):
            pass
    except (OSError, ValueError, AttributeError):
        pass
    stop.set()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serves a WSGI app for Mirovan.")
    parser.add_argument("--port", type=port_number, default=0,
                        help="TCP port on 127.0.0.1 (0 picks a free one)")
    parser.add_argument("--watch-stdin", action="store_true",
                        help="stop when standard input reaches end of file")
    args = parser.parse_args(argv)

    data_dir = os.path.abspath(os.environ.get("MIROVAN_DATA") or os.path.join(
        os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share"), "Mirovan"))
    try:
        os.makedirs(data_dir, mode=0o700, exist_ok=True)
    except OSError as e:
        _write(sys.stderr, f"serve.py: cannot create data directory {data_dir}: {e.strerror or e}\n")
        return 1

    token = secrets.token_urlsafe(32)
    Handler.token = token
    try:
        server = Server((HOST, args.port), Handler)
    except OSError as e:
        _write(sys.stderr, f"serve.py: cannot listen on {HOST}:{args.port}: {e.strerror or e}\n")
        return 1
    server.set_app(TokenGate(application, token))

    with server:
        url = f"http://{HOST}:{server.server_address[1]}"
        link = os.path.join(data_dir, "open-link")
        try:
            write_atomically(link, f"{url}/?token={token}\n")
        except OSError as e:
            _write(sys.stderr, f"serve.py: cannot write {link}: {e.strerror or e}\n")
            return 1

        stop = threading.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda *_: stop.set())
        # No poll interval: an idle server sleeps.  It is abandoned, not shut down,
        # with its daemon thread when the process exits.
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": None},
                         name="http", daemon=True).start()
        if args.watch_stdin:
            threading.Thread(target=watch_stdin, args=(stop,), name="stdin", daemon=True).start()

        # Only now, with open-link complete: the app reads it when it sees this line.
        try:
            print(f"{READY_NAME} on {url} (press Ctrl+C to stop)", flush=True)
        except OSError:
            pass  # nobody is listening; keep serving until told to stop
        stop.wait()
    return 0


if __name__ == "__main__":
    status = main()
    # If the reader of our pipe is gone, the flush at exit would fail and turn a
    # clean stop into status 120; point the streams at /dev/null instead.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            try:
                os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())
            except (OSError, ValueError, AttributeError):
                pass
    sys.exit(status)
