#!/usr/bin/python3
"""Startup latency, memory use and server-output throughput of the Mirovan app.

Times come from the app's own MIROVAN_TRACE=1 lines on stderr. Needs DISPLAY and
a session bus, which tools/bench provides.  Usage: bench.py [--runs N] [BUNDLE]
"""
import argparse, contextlib, os, plistlib, random, shutil, signal, statistics, string
import subprocess, sys, tempfile, time

LOAD_TIMEOUT = 60    # a cold WebKit start on a busy two-core machine
FLOOD_TIMEOUT = 120  # 200 MB even at a poor 2 MB/s
QUIT_TIMEOUT = 15    # the app itself gives its server up to 6 s
FLOOD_MB = 200

# Never announces, so the status page is the only thing the app loads.
SILENT_SERVER = '''import os
while os.read(0, 65536):
    pass
'''

# Announces a one-line page, waits until the bench opens the "go" FIFO, then writes
# FLOOD_MB * 10^6 bytes of log lines as fast as it can, records when it began and exits.
FLOOD_SERVER = '''import functools, http.server, os, random, sys, threading, time
DATA = os.environ["MIROVAN_DATA"]
EXTRAS = [" user=J\\u00fcrgen", " path=/\\u6771\\u4eac/\\u6587\\u66f8",
          " status=\\u2705 \\U0001F44D\\U0001F3FD", " note=cafe\\u0301 \\U0001F1E9\\U0001F1EA"]

def block(rng, size=1_000_000):  # mostly ASCII; one line in four has multi-byte text
    lines, used = [], 0
    while used < size - 300:
        line = "2024-05-%02d 12:%02d:%02d INFO [worker-%d] GET /api/items/%d 200 %d ms" % (
            rng.randrange(1, 29), rng.randrange(60), rng.randrange(60), rng.randrange(8),
            rng.randrange(100000), rng.randrange(900))
        line = (line + (rng.choice(EXTRAS) if rng.randrange(4) == 0 else "") + "\\n").encode()
        lines.append(line)
        used += len(line)
    return b"".join(lines) + b"." * (size - used - 1) + b"\\n"

def quit_with_app():  # stdin ends when the app quits
    while os.read(0, 65536):
        pass
    os._exit(0)

with open(os.path.join(DATA, "index.html"), "w") as f:
    f.write("<!doctype html><title>flood</title><p>Flooding stdout.")
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
    http.server.SimpleHTTPRequestHandler, directory=DATA))
threading.Thread(target=server.serve_forever, daemon=True).start()
threading.Thread(target=quit_with_app, daemon=True).start()
blocks = [block(random.Random(i)) for i in range(4)]
url = "http://127.0.0.1:%d" % server.server_address[1]
with open(os.path.join(DATA, "open-link.tmp"), "w") as f:
    f.write(url + "/\\n")
os.replace(os.path.join(DATA, "open-link.tmp"), os.path.join(DATA, "open-link"))
print("Mirovan Velto on %s (flood)" % url, flush=True)
open(os.path.join(DATA, "go")).close()  # a FIFO: returns once the bench opens it
start, out = time.monotonic(), sys.stdout.buffer
for i in range(FLOOD_MB):
    out.write(blocks[i % len(blocks)])
    out.flush()
out.write(b"done\\n")
out.flush()
with open(os.path.join(DATA, "flood-start"), "w") as f:
    f.write(repr(start))
'''.replace("FLOOD_MB", str(FLOOD_MB))


def wait_until(pred, timeout, what, interval=0.01):
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise RuntimeError('timed out after %gs waiting for %s' % (timeout, what))
        time.sleep(interval)


def processes():
    """pid -> (ppid, session, start time); the start time tells a reused pid apart."""
    table = {}
    for entry in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/stat' % entry) as f:
                fields = f.read().rpartition(')')[2].split()
        except OSError:
            continue
        table[int(entry)] = (int(fields[1]), int(fields[3]), fields[19])
    return table


def session(root, table):
    """(pid, start time) of the other processes in root's session: the app's children
    stay in it even once the app's death has handed them to init."""
    return {(pid, started) for pid, (_, sid, started) in table.items() if sid == root != pid}


def family(root, table):
    """session() plus root's descendants, some of which (bwrap) start sessions of their own."""
    found, todo = session(root, table), [root]
    while todo:
        parent = todo.pop()
        children = [pid for pid, (ppid, _, _) in table.items() if ppid == parent]
        found.update((pid, table[pid][2]) for pid in children)
        todo += children
    return found


def program(pid):
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return os.path.basename(f.read().split(b'\0')[0].decode(errors='replace'))
    except OSError:
        return ''


def memory_mib(pid, key):
    """VmRSS, VmHWM, ... of a process in MiB; None once it is gone."""
    try:
        with open('/proc/%d/status' % pid) as f:
            for line in f:
                if line.startswith(key + ':'):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


class App:
    def __init__(self, proc, log, data, exec_time):
        self.proc, self.pid, self.log, self.data, self.exec_time = proc, proc.pid, log, data, exec_time

    def traces(self):
        with open(self.log, errors='replace') as f:
            return {parts[2]: int(parts[1]) / 1e6 for parts in map(str.split, f)
                    if len(parts) == 3 and parts[0] == 'mirovan-trace'}

    def wait(self, event, timeout=LOAD_TIMEOUT):
        def seen():
            if self.proc.poll() is not None:
                with open(self.log, errors='replace') as f:
                    raise RuntimeError('app exited (%s) before %r; its log ends:\n%s'
                                       % (self.proc.returncode, event, f.read()[-2000:]))
            return self.traces().get(event)
        return wait_until(seen, timeout, 'trace %r' % event)


@contextlib.contextmanager
def running(source, server):
    """The app from a throwaway bundle with its own home and data folder.

    The binary is copied because the app finds its bundle from its own path."""
    tmp = os.path.realpath(tempfile.mkdtemp(prefix='mirovan-bench-'))
    proc = None
    try:
        contents, data = os.path.join(tmp, 'Bench.app', 'Contents'), os.path.join(tmp, 'data')
        for sub in ('Linux', 'Resources/python/bin', 'Resources/app'):
            os.makedirs(os.path.join(contents, sub))
        os.makedirs(data)
        with open(os.path.join(source, 'Contents', 'Info.plist'), 'rb') as f:
            info = plistlib.load(f)
        # A new identifier each time, so no lingering instance can take the launch over.
        info['CFBundleIdentifier'] = 'org.mirovan.Bench' + ''.join(
            random.choices(string.ascii_letters, k=12))
        with open(os.path.join(contents, 'Info.plist'), 'wb') as f:
            plistlib.dump(info, f)
        exe = os.path.join(contents, 'Linux', info.get('CFBundleExecutable', 'mirovan'))
        shutil.copy2(os.path.join(source, 'Contents', 'Linux', os.path.basename(exe)), exe)
        os.symlink('/usr/bin/python3', os.path.join(contents, 'Resources/python/bin/python3'))
        with open(os.path.join(contents, 'Resources/app/serve.py'), 'w') as f:
            f.write(server)
        # A private home: window state and WebKit's caches stay in the throwaway folder.
        env = {k: v for k, v in os.environ.items() if not k.startswith('MIROVAN_') and k not in
               ('XDG_DATA_HOME', 'XDG_CONFIG_HOME', 'XDG_STATE_HOME', 'XDG_CACHE_HOME')}
        env.update(HOME=os.path.join(tmp, 'home'), MIROVAN_DATA=data, MIROVAN_TRACE='1',
                   GTK_A11Y='none', NO_AT_BRIDGE='1')
        log = os.path.join(tmp, 'app.log')
        with open(log, 'wb') as out:
            exec_time = time.monotonic()
            proc = subprocess.Popen([exe], env=env, cwd=tmp, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=out, start_new_session=True)
        yield App(proc, log, data, exec_time)
    finally:
        if proc:
            # Taken while the parent links still lead to the app.
            left = family(proc.pid, processes()) if proc.poll() is None else set()
            proc.terminate()
            try:
                proc.wait(QUIT_TIMEOUT)
            except subprocess.TimeoutExpired:
                print('bench: the app did not quit within %ds; killing it' % QUIT_TIMEOUT,
                      file=sys.stderr)
                proc.kill()
                proc.wait()
            table = processes()
            alive = {(pid, started) for pid, (_, _, started) in table.items()}
            for pid, _ in (left & alive) | session(proc.pid, table):
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)
        shutil.rmtree(tmp, ignore_errors=True)


def status_run(source):
    with running(source, SILENT_SERVER) as app:
        loaded = app.wait('status-loaded')
        return {'exec_main': (app.traces()['start'] - app.exec_time) * 1e3,
                'exec_status': (loaded - app.exec_time) * 1e3}


def demo_run(source, demo):
    with running(source, demo) as app:
        loaded = app.wait('page-loaded')
        t = app.traces()
        figures = {'ready_page': (loaded - t['ready-line']) * 1e3,
                   'ready_request': (t['page-request'] - t['ready-line']) * 1e6,
                   'hwm_app': memory_mib(app.pid, 'VmHWM')}
        helpers = [(program(pid), pid) for pid, _ in family(app.pid, processes())]
        for kind in ('WebKitWebProcess', 'WebKitNetworkProcess'):
            figures['hwm_' + kind] = sum(memory_mib(pid, 'VmHWM') or 0
                                         for name, pid in helpers if name == kind)
        return figures


def flood_run(source):
    with running(source, FLOOD_SERVER) as app:
        go = os.path.join(app.data, 'go')
        os.mkfifo(go)
        app.wait('page-loaded')
        before = memory_mib(app.pid, 'VmRSS')

        def open_go():  # ENXIO until the server has the FIFO open for reading
            try:
                return os.open(go, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                return None
        os.close(wait_until(open_go, LOAD_TIMEOUT, 'the flood server to wait for "go"'))
        exited = app.wait('server-exited', FLOOD_TIMEOUT)
        after, peak = memory_mib(app.pid, 'VmRSS'), memory_mib(app.pid, 'VmHWM')
        with open(os.path.join(app.data, 'flood-start')) as f:
            seconds = exited - float(f.read())
        return {'flood': FLOOD_MB / seconds, 'rss_before': before, 'rss_after': after,
                'hwm_flood': peak}


ROWS = [  # key, label, format
    ('exec_main', 'exec -> main() (ms)', '%.1f'),
    ('exec_status', 'exec -> status page loaded (ms)', '%.1f'),
    ('ready_page', 'ready line -> page loaded (ms)', '%.1f'),
    ('ready_request', 'ready line -> page requested (us)', '%.0f'),
    ('hwm_app', 'peak RSS, app, demo page (MiB)', '%.1f'),
    ('hwm_WebKitWebProcess', 'peak RSS, WebKitWebProcess (MiB)', '%.1f'),
    ('hwm_WebKitNetworkProcess', 'peak RSS, WebKitNetworkProcess (MiB)', '%.1f'),
    ('flood', 'output throughput, %d MB (MB/s)' % FLOOD_MB, '%.1f'),
    ('rss_before', 'app RSS before the flood (MiB)', '%.1f'),
    ('rss_after', 'app RSS after the flood (MiB)', '%.1f'),
    ('hwm_flood', 'app peak RSS, flood run (MiB)', '%.1f'),
]


def load_average():
    with open('/proc/loadavg') as f:
        return ' '.join(f.read().split()[:3])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('bundle', nargs='?', default=os.path.join(here, '..', 'build', 'Mirovan.app'))
    parser.add_argument('--runs', type=int, default=5, help='runs of each measurement (default 5)')
    args = parser.parse_args()
    if args.runs < 1:
        parser.error('--runs must be at least 1')
    source = os.path.realpath(args.bundle)
    try:
        with open(os.path.join(source, 'Contents', 'Resources', 'app', 'serve.py')) as f:
            demo = f.read()
    except OSError as e:
        parser.error('no usable app bundle at %s: %s' % (source, e.strerror))
    if not os.environ.get('DISPLAY') or not os.environ.get('DBUS_SESSION_BUS_ADDRESS'):
        parser.error('needs DISPLAY and DBUS_SESSION_BUS_ADDRESS (tools/bench sets them up)')
    # SIGTERM unwinds like Ctrl+C, so every run still cleans up after itself.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('bench: terminated'))

    print('load average before: %s' % load_average())
    results = {}
    for i in range(args.runs):
        # Interleaved, so drift in machine load spreads over every figure alike.
        for figures in (status_run(source), demo_run(source, demo), flood_run(source)):
            for key, value in figures.items():
                results.setdefault(key, []).append(value)
        print('run %d/%d done' % (i + 1, args.runs), file=sys.stderr)

    print('%d runs each, %s' % (args.runs, source))
    print('%-40s %10s %10s %10s' % ('', 'median', 'min', 'max'))
    for key, label, fmt in ROWS:
        values = results[key]
        print('%-40s %10s %10s %10s' % (label, *(fmt % v for v in (
            statistics.median(values), min(values), max(values)))))
    print('load average after:  %s (the machine has %d cores)' % (load_average(), os.cpu_count()))


if __name__ == '__main__':
    try:
        main()
    except RuntimeError as e:
        sys.exit('bench: %s' % e)
    except KeyboardInterrupt:
        sys.exit('bench: interrupted')
