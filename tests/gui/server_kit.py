# Shared part of the throwaway servers the GUI tests put into a bundle: the harness
# writes OUT = '<test dir>', this file and the test's own lines into serve.py, and
# every server records what it saw in OUT/events.jsonl for the test to read.
import json, os, signal, stat, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

_lock = threading.Lock()


def log(event, **fields):
    fields.update(event=event, pid=os.getpid(), t=time.monotonic())
    with _lock, open(os.path.join(OUT, 'events.jsonl'), 'a') as f:
        f.write(json.dumps(fields) + '\n')


def _on_signal(signum, _frame):
    log('signal', name=signal.Signals(signum).name)
    os._exit(0)


for _sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    signal.signal(_sig, _on_signal)

# The harness checks /proc/<pid> against this after every test.
with open(os.path.join(OUT, 'server-%d.pid' % os.getpid()), 'w') as _f:
    _f.write(os.path.abspath(sys.argv[0]))


def _fifo(fd):
    try:
        st = os.fstat(fd)
    except OSError:
        return None
    return {'fifo': stat.S_ISFIFO(st.st_mode), 'id': [st.st_dev, st.st_ino]}


DATA = os.environ.get('MIROVAN_DATA', '')
log('start', argv=sys.orig_argv, cwd=os.getcwd(), pgid=os.getpgid(0),
    data=DATA, env_bytecode=os.environ.get('PYTHONDONTWRITEBYTECODE'),
    stdin=_fifo(0), stdout=_fifo(1), stderr=_fifo(2))

PAGE = '''<!doctype html><html><body><h1>%s</h1><script>
addEventListener('load', () => fetch('/seen?' + new URLSearchParams(
  {href: location.href, text: document.body.innerText.trim()})));
addEventListener('resize', () => fetch('/size?width=' + innerWidth + '&height=' + innerHeight));
</script></body></html>'''
REPORTS = ('seen', 'size', 'down', 'scheme', 'posted', 'result')   # what pages tell


def listen(get, port=0):
    """Answers GETs on 127.0.0.1 with get(handler, path, query), which returns the body
    (str or bytes), or None when it has dealt with the request itself."""
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            url = urlparse(self.path)
            body = get(self, url.path, {k: v[0] for k, v in parse_qs(url.query).items()})
            if body is None:
                return
            body = body.encode() if isinstance(body, str) else body
            self.send_response(200)
            self.send_header('Content-Type', 'text/html; charset=utf-8')
            self.send_header('Content-Length', str(len(body)))
            self.send_header('Cache-Control', 'no-store')
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    httpd = ThreadingHTTPServer(('127.0.0.1', port), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


def _decoded(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def page_server(page, **fields):
    """Serves `page`; returns the port. /next hands out the test's next order (OUT/next.json,
    taken once); a report is logged under its name with `fields` and its query, whose
    values are decoded as JSON."""
    def get(_, path, q):
        if path == '/next':
            order = os.path.join(OUT, 'next.json')
            try:
                with open(order, 'rb') as f:
                    body = f.read()
                os.remove(order)
                return body
            except FileNotFoundError:
                return b'null'
        if path[1:] not in REPORTS:
            return page
        log(path[1:], **fields, **{k: _decoded(v) for k, v in q.items()})
        return b''
    return listen(get).server_address[1]


def serve(label):
    """A page that reports its address, text and size; returns the port."""
    return page_server(PAGE % ('Page ' + label), label=label)


def write_open_link(url):
    os.makedirs(DATA, exist_ok=True)
    with open(os.path.join(DATA, 'open-link'), 'w') as f:
        f.write('  %s \n' % url)  # the app is meant to trim it


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


def announce(port, path='/', stream=sys.stdout, **on_eof):
    """Points open-link at the page, announces the port and serves until EOF."""
    write_open_link('http://127.0.0.1:%d%s' % (port, path))
    watch_stdin(**on_eof)
    say('Mirovan Velto on http://127.0.0.1:%d ready\n' % port, stream)
    idle()


def standard(stream=sys.stdout, **on_eof):
    """A well-behaved server: real page via open-link, exits on EOF."""
    announce(serve('real'), '/?via=open-link', stream, **on_eof)
