#!/usr/bin/python3
"""Demo web app that ships inside the Mirovan bundle.

The desktop shell starts this as
    python3 -B serve.py --port 0 --watch-stdin
waits for the readiness line on stdout, reads the page address from
"$MIROVAN_DATA/open-link" and shows it in a frameless window.  The shell
closes our stdin when it quits; that is our cue to stop.

Standard library only: the bundle carries no third-party packages.
"""

import argparse
import html
import http.server
import os
import signal
import sys
import tempfile
import threading
import urllib.parse

HOST = "127.0.0.1"
APP_NAME = "Mirovan Velto"
APPEARANCES = ("system", "light", "dark")
# Room for the longest word plus stray whitespace; a bigger body is not a choice.
APPEARANCE_MAX_BODY = 64


def _write(stream, text):
    # The shell may close its end of the pipe before we are done; losing a
    # log line then is fine, dying on BrokenPipeError is not.
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _fail(message):
    _write(sys.stderr, f"serve.py: {message}\n")
    return 1


def port_number(text):
    try:
        port = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"out of range 0-65535: {port}")
    return port


def data_dir_from_env():
    path = os.environ.get("MIROVAN_DATA")
    if not path:
        base = os.environ.get("XDG_DATA_HOME") or os.path.join(
            os.path.expanduser("~"), ".local", "share")
        path = os.path.join(base, "Mirovan")
    return os.path.abspath(path)


def write_atomically(path, text):
    # Readers (the shell for open-link, the next page load for appearance) must
    # never observe a half-written file: write aside, then rename.
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


def read_appearance(data_dir):
    # A missing, unreadable or unrecognised file just means the default.
    try:
        with open(os.path.join(data_dir, "appearance"), "rb") as f:
            value = f.read(APPEARANCE_MAX_BODY).decode("ascii").strip()
    except (OSError, UnicodeDecodeError):
        return "system"
    return value if value in APPEARANCES else "system"


# ---------------------------------------------------------------- pages

ICON_RELOAD = ('<svg viewBox="0 0 16 16" aria-hidden="true"><path d="M13 8a5 5 0 1 1'
               '-1.5-3.55"/><path d="M13 2.5v3h-3"/></svg>')
ICON_SYSTEM = ('<svg class="icon-system" viewBox="0 0 16 16" aria-hidden="true">'
               '<circle cx="8" cy="8" r="5.5"/><path class="fill" d="M8 2.5a5.5 5.5 0 0 1 0 11z"/></svg>')
ICON_LIGHT = ('<svg class="icon-light" viewBox="0 0 16 16" aria-hidden="true"><circle cx="8" cy="8" r="3"/>'
              '<path d="M8 1.5v1.5M8 13v1.5M1.5 8H3M13 8h1.5M3.4 3.4l1 1M11.6 11.6l1 1M3.4 12.6l1-1M11.6 4.4l1-1"/></svg>')
ICON_DARK = ('<svg class="icon-dark" viewBox="0 0 16 16" aria-hidden="true">'
             '<path d="M13.5 9.5A6 6 0 0 1 6.5 2.5a5.5 5.5 0 1 0 7 7z"/></svg>')

# Colours follow libadwaita's defaults.  The dark set appears twice: once for
# "follow the system" and once for the explicit choice.
STYLE = """
:root{color-scheme:light dark;
 --bg:#fafafa;--fg:rgba(0,0,0,.8);--dim:rgba(0,0,0,.55);
 --strip:#ebebeb;--strip-line:rgba(0,0,0,.12);
 --card:#fff;--card-line:rgba(0,0,0,.09);--btn:rgba(0,0,0,.08);--btn-hover:rgba(0,0,0,.12);
 --btn-active:rgba(0,0,0,.2);--link:#1c71d8;--accent:#3584e4;--code:rgba(0,0,0,.06)}
:root[data-appearance=light]{color-scheme:light}
:root[data-appearance=dark]{color-scheme:dark;
 --bg:#242424;--fg:#fff;--dim:rgba(255,255,255,.55);
 --strip:#303030;--strip-line:rgba(0,0,0,.36);
 --card:#363636;--card-line:rgba(0,0,0,.3);--btn:rgba(255,255,255,.1);--btn-hover:rgba(255,255,255,.15);
 --btn-active:rgba(255,255,255,.25);--link:#78aeed;--accent:#78aeed;--code:rgba(255,255,255,.08)}
@media (prefers-color-scheme:dark){:root:not([data-appearance=light]){
 --bg:#242424;--fg:#fff;--dim:rgba(255,255,255,.55);
 --strip:#303030;--strip-line:rgba(0,0,0,.36);
 --card:#363636;--card-line:rgba(0,0,0,.3);--btn:rgba(255,255,255,.1);--btn-hover:rgba(255,255,255,.15);
 --btn-active:rgba(255,255,255,.25);--link:#78aeed;--accent:#78aeed;--code:rgba(255,255,255,.08)}}
*{box-sizing:border-box}
html,body{height:100%;margin:0}
body{display:flex;flex-direction:column;background:var(--bg);color:var(--fg);
 font:14px/1.45 system-ui,-apple-system,"Cantarell","Noto Sans",sans-serif}
.strip{flex:none;position:relative;height:36px;padding:0 6px 0 90px;display:flex;align-items:center;
 justify-content:flex-end;gap:6px;background:var(--strip);border-bottom:1px solid var(--strip-line);
 -webkit-user-select:none;user-select:none;cursor:default}
.strip-title{position:absolute;left:90px;right:90px;text-align:center;font-weight:700;
 white-space:nowrap;overflow:hidden;text-overflow:ellipsis;pointer-events:none}
.strip-btn{width:28px;height:24px;padding:0;border:0;border-radius:6px;background:transparent;
 color:inherit;display:grid;place-items:center}
.strip-btn:hover{background:var(--btn-hover)}
.strip-btn:active{background:var(--btn-active)}
.strip-btn svg{width:16px;height:16px;fill:none;stroke:currentColor;stroke-width:1.5;
 stroke-linecap:round;stroke-linejoin:round}
.strip-btn svg .fill{fill:currentColor;stroke:none}
#appearance svg{display:none}
[data-appearance=system] #appearance .icon-system,[data-appearance=light] #appearance .icon-light,
[data-appearance=dark] #appearance .icon-dark{display:block}
main{flex:1;overflow:auto;padding:28px 24px 32px}
.wrap{max-width:720px;margin:0 auto}
h1{font-size:24px;margin:0 0 4px;font-weight:800}
h2{font-size:13px;margin:0 0 10px;font-weight:700;color:var(--dim);text-transform:uppercase;letter-spacing:.04em}
.lead{margin:0 0 22px;color:var(--dim)}
.grid{display:grid;grid-template-columns:repeat(auto-fit,minmax(300px,1fr));gap:14px}
.card{background:var(--card);border:1px solid var(--card-line);border-radius:12px;padding:14px 16px;
 box-shadow:0 1px 2px rgba(0,0,0,.06)}
.card p{margin:6px 0}
a{color:var(--link);text-decoration:none}
a:hover{text-decoration:underline}
ul.links{list-style:none;margin:0;padding:0}
ul.links li{padding:3px 0}
.hint{color:var(--dim);font-size:12.5px}
.row{display:flex;gap:8px;flex-wrap:wrap}
button.pill{font:inherit;font-weight:600;color:inherit;border:0;border-radius:8px;padding:5px 14px;
 background:var(--btn)}
button.pill:hover{background:var(--btn-hover)}
button.pill:active{background:var(--btn-active)}
output,.files{display:block;margin-top:10px;font-size:13px;min-height:1.45em;overflow-wrap:anywhere}
.files{margin:10px 0 0;padding-left:18px}
input[type=file]{font:inherit;font-size:13px;max-width:100%;color:var(--dim)}
input[type=file]::file-selector-button{font:inherit;font-weight:600;color:var(--fg);border:0;
 border-radius:8px;padding:5px 14px;margin-right:10px;background:var(--btn)}
input[type=file]::file-selector-button:hover{background:var(--btn-hover)}
code{font:12.5px ui-monospace,"Source Code Pro",monospace;background:var(--code);padding:1px 5px;
 border-radius:5px;overflow-wrap:anywhere}
dl{display:grid;grid-template-columns:auto 1fr;gap:6px 14px;margin:0}
dt{color:var(--dim)}dd{margin:0;min-width:0}
"""

PAGE_SCRIPT = """
(() => {
  const MODES = ["system", "light", "dark"];
  const NAMES = {system: "System", light: "Light", dark: "Dark"};
  const root = document.documentElement;
  const toggle = document.getElementById("appearance");
  const $ = id => document.getElementById(id);

  // Tell the shell where the clickable controls sit inside the title strip so
  // it does not start a window drag there.  Rounded outwards to cover them fully.
  function postNoDrag() {
    const rects = [];
    for (const el of document.querySelectorAll("#strip button, #strip a, #strip input")) {
      const r = el.getBoundingClientRect();
      if (r.width <= 0 || r.height <= 0) continue;
      const x = Math.floor(r.left), y = Math.floor(r.top);
      rects.push([x, y, Math.ceil(r.right) - x, Math.ceil(r.bottom) - y]);
    }
    try { window.webkit?.messageHandlers?.noDrag?.postMessage(JSON.stringify(rects)); } catch (e) {}
  }

  // The origin's port changes on every run, so browser storage would forget the
  // choice; the server keeps it instead.  Saves are chained so that quick clicks
  // cannot land out of order and leave an older mode stored.
  let saving = Promise.resolve();
  function saveMode(mode) {
    saving = saving.then(() => fetch("/appearance", {method: "PUT", body: mode}).catch(() => {}));
  }

  function applyMode(mode, remember) {
    if (!MODES.includes(mode)) mode = "system";
    root.dataset.appearance = mode;
    root.style.colorScheme = mode === "system" ? "light dark" : mode;
    const next = MODES[(MODES.indexOf(mode) + 1) % MODES.length];
    toggle.title = "Appearance: " + NAMES[mode] + " (click for " + NAMES[next] + ")";
    toggle.setAttribute("aria-label", toggle.title);
    $("mode-name").textContent = NAMES[mode];
    if (remember) saveMode(mode);
    try { window.webkit?.messageHandlers?.appearance?.postMessage(mode); } catch (e) {}
  }

  toggle.addEventListener("click", () => {
    const cur = MODES.indexOf(root.dataset.appearance);
    applyMode(MODES[(cur + 1) % MODES.length], true);
    postNoDrag();
  });
  $("reload").addEventListener("click", () => location.reload());

  const out = $("dialog-result");
  const show = (what, value) => { out.textContent = what + " returned " + value; };
  $("btn-alert").addEventListener("click", () => {
    const v = alert("Hello from the Mirovan demo page.");
    show("alert()", String(v));
  });
  $("btn-confirm").addEventListener("click", () => show("confirm()", String(confirm("Do you like it?"))));
  $("btn-prompt").addEventListener("click", () => {
    const v = prompt("What is your name?", "Ada");
    show("prompt()", v === null ? "null (cancelled)" : JSON.stringify(v));
  });

  $("files").addEventListener("change", ev => {
    const list = $("file-list");
    list.replaceChildren();
    for (const f of ev.target.files) {
      const li = document.createElement("li");
      li.textContent = f.name + " \\u2014 " + f.size.toLocaleString() + " bytes";
      list.appendChild(li);
    }
  });

  let pending = false;
  window.addEventListener("resize", () => {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => { pending = false; postNoDrag(); });
  });
  applyMode(root.dataset.appearance, false);
  postNoDrag();
  window.addEventListener("load", postNoDrag);
})();
"""

# The stored appearance is rendered into <html> so it is in place before first paint.
APP_PAGE = """<!doctype html>
<html lang="en" data-appearance="@APPEARANCE@">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Mirovan</title>
<style>@STYLE@</style>
</head>
<body>
<header class="strip" id="strip">
  <div class="strip-title">Mirovan</div>
  <button class="strip-btn" id="reload" type="button" title="Reload page" aria-label="Reload page">@ICON_RELOAD@</button>
  <button class="strip-btn" id="appearance" type="button" title="Appearance">@ICON_SYSTEM@@ICON_LIGHT@@ICON_DARK@</button>
</header>
<main><div class="wrap">
  <h1>Welcome to Mirovan</h1>
  <p class="lead">This page comes from the small Python server bundled with the app.
  Try the window: drag it by the top strip, and use the controls below.</p>
  <div class="grid">
    <section class="card">
      <h2>Links</h2>
      <ul class="links">
        <li><a href="https://www.gnu.org/">The GNU Project</a>
          <div class="hint">An external site, opened outside the app.</div></li>
        <li><a href="https://www.gnu.org/philosophy/free-sw.html" target="_blank" rel="noopener">What is free software?</a>
          <div class="hint">A link that asks for a new window.</div></li>
        <li><a href="/shell">Recovery page</a>
          <div class="hint">Another page of this app.</div></li>
      </ul>
    </section>
    <section class="card">
      <h2>Dialogs</h2>
      <div class="row">
        <button class="pill" id="btn-alert" type="button">Alert</button>
        <button class="pill" id="btn-confirm" type="button">Confirm</button>
        <button class="pill" id="btn-prompt" type="button">Prompt</button>
      </div>
      <output id="dialog-result" class="hint">Results appear here.</output>
    </section>
    <section class="card">
      <h2>Files</h2>
      <input id="files" type="file" multiple>
      <ul id="file-list" class="files"></ul>
      <p><a href="/sample.csv">Download a sample</a></p>
    </section>
    <section class="card">
      <h2>This server</h2>
      <dl>
        <dt>Appearance</dt><dd><span id="mode-name">System</span>
          <span class="hint">&middot; cycle it with the button at the top right</span></dd>
        <dt>Process</dt><dd><code>@PID@</code></dd>
        <dt>Data</dt><dd><code>@DATA_DIR@</code></dd>
      </dl>
    </section>
  </div>
</div></main>
<script>@SCRIPT@</script>
</body>
</html>
"""

# Kept deliberately plain: this page must work even when the main page does not.
SHELL_PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Mirovan</title>
<style>@STYLE@</style>
</head>
<body>
<header class="strip" id="strip"><div class="strip-title">Mirovan</div></header>
<main><div class="wrap">
  <h1>Mirovan is running</h1>
  <p class="lead">The app server is up (process <code>@PID@</code>).</p>
  <p><a href="/">Back to the app</a></p>
</div></main>
<script>
try { window.webkit?.messageHandlers?.noDrag?.postMessage(JSON.stringify([])); } catch (e) {}
</script>
</body>
</html>
"""

NOT_FOUND_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Not found</title>
<style>:root{color-scheme:light dark}body{font:14px system-ui,sans-serif;margin:48px}</style>
</head><body><h1>Not found</h1><p><a href="/">Back to the app</a></p></body></html>
"""


def fill(template, **values):
    for key, value in values.items():
        template = template.replace("@" + key + "@", value)
    return template


def build_pages(data_dir):
    """Returns the fixed pages, and the main page split around its appearance."""
    pid = str(os.getpid())
    # Split before filling, so no filled-in value (the data path) can be taken
    # for the appearance placeholder.
    app_head, _, app_tail = APP_PAGE.partition("@APPEARANCE@")
    app_tail = fill(app_tail, STYLE=STYLE, SCRIPT=PAGE_SCRIPT,
                    ICON_RELOAD=ICON_RELOAD, ICON_SYSTEM=ICON_SYSTEM,
                    ICON_LIGHT=ICON_LIGHT, ICON_DARK=ICON_DARK,
                    PID=pid, DATA_DIR=html.escape(data_dir))
    shell = fill(SHELL_PAGE, STYLE=STYLE, PID=pid)
    return {"/shell": shell.encode("utf-8")}, (app_head.encode("utf-8"), app_tail.encode("utf-8"))


SAMPLE_CSV = b"city,country,population\nReykjavik,Iceland,139875\nTromso,Norway,77544\n"

# --------------------------------------------------------------- server

class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "MirovanVelto"
    pages = {}
    app_page = (b"", b"")
    data_dir = ""

    def _send(self, status, body, content_type="text/plain; charset=utf-8", send_body=True, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for header in headers:
            self.send_header(*header)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def _respond(self, send_body):
        path = urllib.parse.urlsplit(self.path).path
        # Read on every request, so a reload shows what was stored last.
        if path == "/appearance":
            return self._send(200, read_appearance(self.data_dir).encode("ascii"), send_body=send_body)
        if path == "/sample.csv":
            # Marked as an attachment, so the window saves it rather than shows it.
            return self._send(200, SAMPLE_CSV, "text/csv; charset=utf-8", send_body,
                              [("Content-Disposition", 'attachment; filename="sample.csv"')])
        if path == "/":
            head, tail = self.app_page
            body = head + read_appearance(self.data_dir).encode("ascii") + tail
        else:
            body = self.pages.get(path)
        status = 200
        if body is None:
            status, body = 404, NOT_FOUND_PAGE.encode("utf-8")
        self._send(status, body, "text/html; charset=utf-8", send_body)

    def do_GET(self):
        self._respond(True)

    def do_HEAD(self):
        self._respond(False)

    # PUT rather than POST: a cross-origin PUT needs a CORS preflight, which this
    # server never grants, so other sites open in a browser cannot change it.
    def do_PUT(self):
        if urllib.parse.urlsplit(self.path).path != "/appearance":
            return self._send(404, b"not found\n")
        try:
            length = int(self.headers.get("Content-Length", ""), 10)
        except ValueError:
            self.close_connection = True
            return self._send(411, b"Content-Length required\n")
        if length < 0:
            self.close_connection = True
            return self._send(400, b"bad Content-Length\n")
        if length > APPEARANCE_MAX_BODY:
            self.close_connection = True  # the body stays unread
            return self._send(413, b"too large\n")
        try:
            value = self.rfile.read(length).decode("ascii").strip()
        except UnicodeDecodeError:
            value = None
        if value not in APPEARANCES:
            return self._send(400, b"expected one of: system light dark\n")
        try:
            write_atomically(os.path.join(self.data_dir, "appearance"), value + "\n")
        except OSError as e:
            return self._send(500, f"cannot store appearance: {e.strerror or e}\n".encode())
        self.send_response(204)  # no body, so no Content-Length either
        self.send_header("Cache-Control", "no-store")
        self.end_headers()

    def log_message(self, format, *args):
        _write(sys.stderr, f"{self.address_string()} {format % args}\n")


class Server(http.server.ThreadingHTTPServer):
    # A stuck client must never hold the process open at exit.
    daemon_threads = True


def watch_stdin(stop):
    # Raw os.read, not sys.stdin.buffer.read: a daemon thread parked inside the
    # buffered reader's lock can abort interpreter shutdown on SIGTERM.
    try:
        fd = sys.stdin.fileno()
        while os.read(fd, 65536):
            pass
    except (OSError, ValueError, AttributeError):
        pass  # no usable stdin counts as closed
    stop.set()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Mirovan demo web server.")
    parser.add_argument("--port", type=port_number, default=0,
                        help="TCP port on 127.0.0.1 (0 picks a free one)")
    parser.add_argument("--watch-stdin", action="store_true",
                        help="stop when standard input reaches end of file")
    args = parser.parse_args(argv)

    data_dir = data_dir_from_env()
    try:
        os.makedirs(data_dir, exist_ok=True)
    except OSError as e:
        return _fail(f"cannot create data directory {data_dir}: {e.strerror or e}")

    Handler.pages, Handler.app_page = build_pages(data_dir)
    Handler.data_dir = data_dir
    try:
        server = Server((HOST, args.port), Handler)
    except OSError as e:
        return _fail(f"cannot listen on {HOST}:{args.port}: {e.strerror or e}")

    with server:
        port = server.server_address[1]
        url = f"http://{HOST}:{port}"
        try:
            write_atomically(os.path.join(data_dir, "open-link"), url + "/\n")
        except OSError as e:
            return _fail(f"cannot write {os.path.join(data_dir, 'open-link')}: {e.strerror or e}")

        stop = threading.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda *_: stop.set())
        # No poll interval: the loop sleeps until a request comes, so an idle server
        # costs no CPU. It is never shut down, only abandoned with its daemon thread
        # when the process exits (request threads are daemons too).
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": None},
                         name="http", daemon=True).start()
        if args.watch_stdin:
            threading.Thread(target=watch_stdin, args=(stop,), name="stdin", daemon=True).start()

        try:
            print(f"{APP_NAME} on {url} (press Ctrl+C to stop)", flush=True)
        except OSError:
            pass  # nobody is listening; keep serving until told to stop
        stop.wait()
    return 0


if __name__ == "__main__":
    status = main()
    # If the reader of our pipe is gone, the final flush at exit would fail and
    # turn a clean stop into status 120; point the streams at /dev/null instead.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            try:
                os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())
            except (OSError, ValueError, AttributeError):
                pass
    sys.exit(status)
