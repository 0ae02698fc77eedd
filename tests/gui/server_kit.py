# The shared part of the throwaway servers: the harness writes OUT = '<test dir>', this
# file and the test's own lines into serve.py. Servers record what they and their pages
# saw in OUT/events.jsonl.
import contextlib, json, os, signal, stat, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

_lock = threading.Lock()


def log(event, **fields):
    fields.update(event=event, pid=os.getpid(), t=time.monotonic())
    with _lock, open(os.path.join(OUT, 'events.jsonl'), 'a') as f:
        f.write(json.dumps(fields) + '\n')


for _sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    signal.signal(_sig, lambda signum, _: (log('signal', name=signal.Signals(signum).name), os._exit(0)))
with open(os.path.join(OUT, 'server-%d.pid' % os.getpid()), 'w') as _f:   # checked after each test
    _f.write(os.path.abspath(sys.argv[0]))


def _fifo(fd):
    st = os.fstat(fd)
    return {'fifo': stat.S_ISFIFO(st.st_mode), 'id': [st.st_dev, st.st_ino]}


DATA = os.environ.get('MIROVAN_DATA', '')
log('start', argv=sys.orig_argv, cwd=os.getcwd(), pgid=os.getpgid(0), data=DATA,
    env_bytecode=os.environ.get('PYTHONDONTWRITEBYTECODE'), stdin=_fifo(0), stdout=_fifo(1), stderr=_fifo(2))

# Every page reports to /r/NAME, logged with its query (values as JSON, so that null, ""
# and false stay apart), and runs each script the test leaves in OUT/next.js.
SCRIPT = '''<script>
const id = Math.random().toString(36).slice(2), scheme = matchMedia('(prefers-color-scheme: dark)');
const report = (what, fields = {}) => fetch('/r/' + what + '?' + new URLSearchParams(
  Object.entries(fields).map(([k, v]) => [k, String(JSON.stringify(v))])));
const poll = () => fetch('/next').then(r => r.text()).then(eval).finally(() => setTimeout(poll, 50));
let presses = 0;
addEventListener('mousedown', e => report('down', {n: ++presses, x: e.clientX, y: e.clientY, dark: scheme.matches}), true);
scheme.addEventListener('change', () => report('scheme', {dark: scheme.matches}));
addEventListener('load', () => poll(report('seen', {id, href: location.href, text: document.body.innerText.trim(),
                                                    dark: scheme.matches})));
</script>'''


def page(body, style=''):
    return ('<!doctype html><html><head><style>html, body { margin: 0; height: 100%%; font: 16px sans-serif; }'
            ' %s</style></head><body>%s%s</body></html>' % (style, body, SCRIPT))


def page_server(body, label=None, route=None, port=0):
    """Serves body (or what it returns) on 127.0.0.1 for any path but /next and reports,
    logged as 'get'. route(handler, path, query) sees each request first: it returns True
    once it has answered it, a body to send, or None."""
    tag = {'label': label} if label else {}

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            url = urlparse(self.path)
            q = {k: v[0] for k, v in parse_qs(url.query).items()}
            reply = route(self, url.path, q) if route else None
            if reply is True:
                return
            reply = self.own(url, q) if reply is None else reply
            self.send_response(200)
            self.send_header('Content-Type', 'text/html; charset=utf-8')
            self.send_header('Content-Length', str(len(reply.encode())))
            self.send_header('Cache-Control', 'no-store')
            self.end_headers()
            self.wfile.write(reply.encode())

        def own(self, url, q):
            if url.path.startswith('/r/'):
                log(url.path[3:], **tag, **{k: json.loads(v) if v != 'undefined' else v for k, v in q.items()})
                return ''
            if url.path == '/next':
                with contextlib.suppress(FileNotFoundError), open(os.path.join(OUT, 'next.js')) as f:
                    os.remove(f.name)   # taken once
                    return f.read()
                return ''
            log('get', path=self.path, **tag)
            return body() if callable(body) else body

        def log_message(self, *args):
            pass

    httpd = ThreadingHTTPServer(('127.0.0.1', port), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


def serve(label):
    """A page whose text is 'Page <label>'; returns its port."""
    return page_server(page('<h1>Page %s</h1>' % label), label).server_address[1]


def write_open_link(url):
    os.makedirs(DATA, exist_ok=True)
    with open(os.path.join(DATA, 'open-link'), 'w') as f:
        f.write('  %s \n' % url)   # the app is meant to trim it


def say(text, stream=sys.stdout):
    stream.write(text)
    stream.flush()


def watch_stdin(exit_on_eof=True, linger=0):
    def run():
        while os.read(0, 4096):
            log('stdin')   # the app must never write
        log('eof')
        if exit_on_eof:
            time.sleep(linger)
            log('exit')
            os._exit(0)
    threading.Thread(target=run, daemon=True).start()


def idle():
    while True:
        time.sleep(3600)


def announce(port, path='/', stream=sys.stdout, link=None, **on_eof):
    """Points open-link at the page (or link), announces the port and serves until EOF."""
    write_open_link(link or 'http://127.0.0.1:%d%s' % (port, path))
    watch_stdin(**on_eof)
    say('Mirovan Velto on http://127.0.0.1:%d ready\n' % port, stream)
    idle()


def standard(stream=sys.stdout, gate=None, **on_eof):
    """The page 'real' through open-link; with a gate, only once the test has put OUT/gate."""
    while gate and not os.path.exists(os.path.join(OUT, gate)):
        time.sleep(0.05)
    announce(serve('real'), '/?via=open-link', stream, **on_eof)
