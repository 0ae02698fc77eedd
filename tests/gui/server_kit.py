# Shared part of the throwaway servers the GUI tests put into a bundle.
# The harness writes OUT = '<test dir>' followed by this file and the test's
# own lines into Resources/app/serve.py, so every server records what it saw
# in OUT/events.jsonl, where the test (not the app) can read it.
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
    dont_write_bytecode=sys.flags.dont_write_bytecode,
    stdin=_fifo(0), stdout=_fifo(1), stderr=_fifo(2))

PAGE = '''<!doctype html><html><body><h1>%s</h1><script>
addEventListener('load', () => fetch('/seen?href=' + encodeURIComponent(location.href)
  + '&text=' + encodeURIComponent(document.body.innerText)));
addEventListener('resize', () => fetch('/size?w=' + innerWidth + '&h=' + innerHeight));
</script></body></html>'''


def serve(label):
    """Serves a page that reports its address and text back; returns the port."""
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            url = urlparse(self.path)
            q = {k: v[0] for k, v in parse_qs(url.query).items()}
            if url.path == '/seen':
                log('seen', label=label, href=q.get('href', ''),
                    text=q.get('text', '').strip())
                body = b''
            elif url.path == '/size':
                log('size', width=int(q['w']), height=int(q['h']))
                body = b''
            else:
                body = (PAGE % ('Page ' + label)).encode()
            self.send_response(200)
            self.send_header('Content-Type', 'text/html; charset=utf-8')
            self.send_header('Content-Length', str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    httpd = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd.server_address[1]


def write_open_link(url):
    os.makedirs(DATA, exist_ok=True)
    with open(os.path.join(DATA, 'open-link'), 'w') as f:
        f.write('  %s \n' % url)  # the app is meant to trim it


def say(text, stream=sys.stdout):
    stream.write(text)
    stream.flush()


def watch_stdin(exit_on_eof=True, linger=0):
    def run():
        while True:
            data = os.read(0, 4096)
            if not data:
                break
            log('stdin', data=data.decode(errors='replace'))   # the app must never write
        log('eof')
        if exit_on_eof:
            time.sleep(linger)
            log('exit')
            os._exit(0)
    threading.Thread(target=run, daemon=True).start()


def idle():
    while True:
        time.sleep(3600)


def standard(stream=sys.stdout, **on_eof):
    """A well-behaved server: real page via open-link, exits on EOF."""
    port = serve('real')
    write_open_link('http://127.0.0.1:%d/?via=open-link' % port)
    watch_stdin(**on_eof)
    say('Mirovan Velto on http://127.0.0.1:%d ready\n' % port, stream)
    idle()
