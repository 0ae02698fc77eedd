#!/usr/bin/python3
"""Startup latency, memory use, server-output throughput and idle CPU of the Mirovan app.

Times come from MIROVAN_TRACE=1 lines on stderr, CLOCK_MONOTONIC like time.monotonic().
The app is also set beside bare_webview, a bare GTK + WebKitGTK window built next to the
bundle, loading the same page: the demo's, and a one-line page whose load costs next to
nothing, so that what the app adds to a start shows. Needs DISPLAY and a session bus, which tools/bench
provides.  Usage: bench.py [--runs N] [--idle-seconds S] [--peer PROGRAM] [BUNDLE]
"""
import argparse, contextlib, os, plistlib, random, re, select, shutil, signal, statistics
import string, subprocess, sys, tempfile, time

LOAD_TIMEOUT = 60    # a cold WebKit start on a busy two-core machine
FLOOD_TIMEOUT = 120  # 200 MB even at a poor 2 MB/s
QUIT_TIMEOUT = 15    # the app itself gives its server up to 6 s
SETTLE = 1.0         # painting goes on after the load has finished
IDLE_SETTLE = 30     # WebKit keeps painting for some 20 s after a load, app or not
FLOOD_MB = 200
AIM_RATIO, AIM_RSS_MIB, AIM_IDLE_PERCENT = 1.05, 15, 0.1

# Never announces, so the status page is the only thing the app loads.
SILENT_SERVER = '''import os
while os.read(0, 65536):
    pass
'''

# Serves a one-line page and announces it at once; run by the app as its server, and by
# the bench for the peer.
ONE_LINE_SERVER = '''import functools, http.server, os, threading
DATA = os.environ["MIROVAN_DATA"]
with open(os.path.join(DATA, "index.html"), "w") as f:
    f.write("<!doctype html><title>line</title><p>One line.")
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
    http.server.SimpleHTTPRequestHandler, directory=DATA))
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/" % server.server_address[1]
with open(os.path.join(DATA, "open-link.tmp"), "w") as f:
    f.write(url + "\\n")
os.replace(os.path.join(DATA, "open-link.tmp"), os.path.join(DATA, "open-link"))
print("Mirovan Velto on %s (line)" % url.rstrip("/"), flush=True)
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
    """The program's name: the WebKit helper it is, or "server" for the demo server."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            args = [os.path.basename(a.decode(errors='replace')) for a in f.read().split(b'\0')]
    except OSError:
        return ''
    return 'server' if 'serve.py' in args else args[0]


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


def usage(pid):
    """CPU seconds so far, threads already gone included, and per live thread its context
    switches, near enough its wakeups."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rpartition(')')[2].split()
        switches = {}
        for task in os.listdir('/proc/%d/task' % pid):
            with contextlib.suppress(OSError), open('/proc/%d/task/%s/status' % (pid, task)) as f:
                switches[task] = sum(int(line.split()[1]) for line in f if 'ctxt_switches:' in line)
    except OSError:
        return 0, {}
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK'), switches


class Traced:
    """A program the bench started, writing trace lines to its log."""
    def __init__(self, proc, log, exec_time):
        self.proc, self.pid, self.log, self.exec_time = proc, proc.pid, log, exec_time

    def traces(self):
        with open(self.log, errors='replace') as f:
            return {parts[2]: int(parts[1]) / 1e6 for parts in map(str.split, f)
                    if len(parts) == 3 and parts[0] == 'mirovan-trace'}

    def wait(self, event, timeout=LOAD_TIMEOUT):
        def seen():
            if self.proc.poll() is not None:
                with open(self.log, errors='replace') as f:
                    raise RuntimeError('%s exited (%s) before %r; its log ends:\n%s' % (
                        os.path.basename(self.proc.args[0]), self.proc.returncode, event,
                        f.read()[-2000:]))
            return self.traces().get(event)
        return wait_until(seen, timeout, 'trace %r' % event)

    def helpers(self):
        """program name -> pids of everything it started that still runs."""
        found = {}
        for pid, _ in family(self.pid, processes()):
            found.setdefault(program(pid), []).append(pid)
        return found


def scratch():
    return tempfile.TemporaryDirectory(prefix='mirovan-bench-', ignore_cleanup_errors=True)


def environment(tmp, **extra):
    """Ours without MIROVAN_* and XDG homes: a private home keeps window state and WebKit's
    caches in the throwaway folder, and every run starts cold."""
    env = {k: v for k, v in os.environ.items() if not k.startswith('MIROVAN_') and k not in
           ('XDG_DATA_HOME', 'XDG_CONFIG_HOME', 'XDG_STATE_HOME', 'XDG_CACHE_HOME')}
    env.update(HOME=os.path.join(tmp, 'home'), GTK_A11Y='none', NO_AT_BRIDGE='1', **extra)
    return env


@contextlib.contextmanager
def launched(argv, tmp, **env):
    """argv traced in a session of its own; on the way out it is stopped as a desktop
    would stop it, and whatever it leaves behind is killed."""
    log = os.path.join(tmp, 'trace.log')
    with open(log, 'wb') as out:
        exec_time = time.monotonic()
        proc = subprocess.Popen(argv, env=environment(tmp, MIROVAN_TRACE='1', **env), cwd=tmp,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                start_new_session=True)
    try:
        yield Traced(proc, log, exec_time)
    finally:
        # Taken while the parent links still lead to the program.
        left = family(proc.pid, processes()) if proc.poll() is None else set()
        proc.terminate()
        try:
            proc.wait(QUIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            print('bench: %s did not quit within %ds; killing it' % (argv[0], QUIT_TIMEOUT),
                  file=sys.stderr)
            proc.kill()
            proc.wait()
        table = processes()
        alive = {(pid, started) for pid, (_, _, started) in table.items()}
        for pid, _ in (left & alive) | session(proc.pid, table):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)


@contextlib.contextmanager
def running(source, server):
    """The app from a throwaway bundle with its own home and data folder.

    The binary is copied because the app finds its bundle from its own path."""
    with scratch() as tmp:
        tmp = os.path.realpath(tmp)
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
        # Every web process loads the extension, so its cost belongs in the figures.
        extensions = os.path.join(source, 'Contents', 'Linux', 'web-extensions')
        if os.path.isdir(extensions):
            shutil.copytree(extensions, os.path.join(contents, 'Linux', 'web-extensions'))
        os.symlink('/usr/bin/python3', os.path.join(contents, 'Resources/python/bin/python3'))
        with open(os.path.join(contents, 'Resources/app/serve.py'), 'w') as f:
            f.write(server)
        with launched([exe], tmp, MIROVAN_DATA=data) as app:
            app.data = data
            yield app


@contextlib.contextmanager
def page_server(python, script):
    """A server started the way the app starts one; yields its page address."""
    with scratch() as data:
        proc = subprocess.Popen(
            [python, '-B', script, '--port', '0', '--watch-stdin'],
            env=environment(data, MIROVAN_DATA=data), cwd=data, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            if not select.select([proc.stdout], [], [], LOAD_TIMEOUT)[0]:
                raise RuntimeError('%s said nothing in %ds' % (script, LOAD_TIMEOUT))
            line = proc.stdout.readline().decode(errors='replace')
            if not re.match(r'Mirovan Velto on http://127\.0\.0\.1:\d+ ', line):
                raise RuntimeError('%s did not announce itself: %r' % (script, line))
            with open(os.path.join(data, 'open-link')) as f:
                yield f.read().strip()
        finally:
            proc.stdin.close()  # its cue to stop
            try:
                proc.wait(QUIT_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def footprint(traced, prefix):
    """Peak RSS of the program and of its WebKit processes, a moment after the page loaded."""
    time.sleep(SETTLE)
    helpers = traced.helpers()
    figures = {prefix + 'hwm': memory_mib(traced.pid, 'VmHWM')}
    for kind in ('WebKitWebProcess', 'WebKitNetworkProcess'):
        figures[prefix + kind] = sum(memory_mib(pid, 'VmHWM') or 0 for pid in helpers.get(kind, ()))
    return figures


def status_run(source):
    with running(source, SILENT_SERVER) as app:
        loaded = app.wait('status-loaded')
        return {'exec_main': (app.traces()['start'] - app.exec_time) * 1e3,
                'exec_status': (loaded - app.exec_time) * 1e3}


def demo_run(source, demo):
    with running(source, demo) as app:
        loaded = app.wait('page-loaded')
        t = app.traces()
        return {'app_page': (loaded - app.exec_time) * 1e3,
                'exec_ready': (t['ready-line'] - app.exec_time) * 1e3,
                'ready_page': (loaded - t['ready-line']) * 1e3,
                'ready_request': (t['page-request'] - t['ready-line']) * 1e6,
                **footprint(app, 'app_')}


def line_run(source):
    with running(source, ONE_LINE_SERVER) as app:
        loaded = app.wait('page-loaded')
        t = app.traces()
        return {'app_line': (loaded - app.exec_time) * 1e3,
                'exec_launch': (t['launch'] - app.exec_time) * 1e3,
                'line_ready': (t['ready-line'] - app.exec_time) * 1e3}


def peer_run(peer, url, key='peer_page', measure=True):
    with scratch() as tmp, launched([peer, url], tmp) as view:
        loaded = (view.wait('page-loaded') - view.exec_time) * 1e3
        return {key: loaded, **(footprint(view, 'peer_') if measure else {})}


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


def idle_run(source, demo, seconds):
    """Per process: share of one core over the first IDLE_SETTLE s after the demo page has
    loaded, then over the next `seconds`, and wakeups a second over those."""
    with running(source, demo) as app:
        app.wait('page-loaded')
        members = {'app': [app.pid], **app.helpers()}
        for name in set(members) - {'app', 'server', 'WebKitWebProcess', 'WebKitNetworkProcess'}:
            del members[name]  # launchers (bwrap) and the sandbox's D-Bus proxy
        samples = []
        for pause in (0, IDLE_SETTLE, seconds):
            time.sleep(pause)
            samples.append((time.monotonic(), {pid: usage(pid) for pids in members.values()
                                               for pid in pids}))
    (t0, first), (t1, mid), (t2, last) = samples
    return {name: (sum(mid[p][0] - first[p][0] for p in pids) / (t1 - t0),
                   sum(last[p][0] - mid[p][0] for p in pids) / (t2 - t1),
                   sum(n - mid[p][1][task] for p in pids for task, n in last[p][1].items()
                       if task in mid[p][1]) / (t2 - t1))
            for name, pids in members.items()}


ROWS = [  # key, label, format
    ('exec_main', 'exec -> main() (ms)', '%.1f'),
    ('exec_launch', 'exec -> launch, one-line run (ms)', '%.1f'),
    ('line_ready', 'exec -> ready line, one-line run (ms)', '%.1f'),
    ('exec_status', 'exec -> status page loaded (ms)', '%.1f'),
    ('app_page', 'exec -> demo page loaded, app (ms)', '%.1f'),
    ('peer_page', 'exec -> demo page loaded, peer (ms)', '%.1f'),
    ('app_line', 'exec -> one-line page loaded, app (ms)', '%.1f'),
    ('peer_line', 'exec -> one-line page loaded, peer (ms)', '%.1f'),
    ('exec_ready', 'exec -> ready line, app (ms)', '%.1f'),
    ('ready_page', 'ready line -> page loaded (ms)', '%.1f'),
    ('ready_request', 'ready line -> page requested (us)', '%.0f'),
] + [(who + '_' + key, 'peak RSS, %s%s (MiB)' % (who, name), '%.1f')
     for key, name in (('hwm', ''), ('WebKitWebProcess', "'s WebKitWebProcess"),
                       ('WebKitNetworkProcess', "'s WebKitNetworkProcess"))
     for who in ('app', 'peer')] + [
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
    parser.add_argument('--idle-seconds', type=float, default=60,
                        help='how long to watch the idle app once its page has settled '
                        '(default 60; 0 skips it)')
    parser.add_argument('--peer', help='the bare WebKitGTK window to compare with '
                        '(default: bare_webview next to the bundle)')
    args = parser.parse_args()
    if args.runs < 1 or args.idle_seconds < 0:
        parser.error('--runs must be at least 1 and --idle-seconds at least 0')
    source = os.path.realpath(args.bundle)
    peer = args.peer or os.path.join(os.path.dirname(source), 'bare_webview')
    try:
        with open(os.path.join(source, 'Contents', 'Resources', 'app', 'serve.py')) as f:
            demo = f.read()
    except OSError as e:
        parser.error('no usable app bundle at %s: %s' % (source, e.strerror))
    if not os.access(peer, os.X_OK):
        parser.error('no peer program at %s (build the bare_webview target)' % peer)
    if not os.environ.get('DISPLAY') or not os.environ.get('DBUS_SESSION_BUS_ADDRESS'):
        parser.error('needs DISPLAY and DBUS_SESSION_BUS_ADDRESS (tools/bench sets them up)')
    # SIGTERM unwinds like Ctrl+C, so every run still cleans up after itself.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('bench: terminated'))

    print('load average before: %s' % load_average())
    results = {}
    resources = os.path.join(source, 'Contents', 'Resources')
    with contextlib.ExitStack() as stack:
        line_script = os.path.join(stack.enter_context(scratch()), 'line.py')
        with open(line_script, 'w') as f:
            f.write(ONE_LINE_SERVER)
        url = stack.enter_context(page_server(os.path.join(resources, 'python/bin/python3'),
                                              os.path.join(resources, 'app/serve.py')))
        line_url = stack.enter_context(page_server(sys.executable, line_script))
        for i in range(args.runs):
            # Interleaved, so drift in machine load spreads over every figure alike; the
            # app and the peer take turns at going first.
            pairs = [[lambda: demo_run(source, demo), lambda: peer_run(peer, url)],
                     [lambda: line_run(source), lambda: peer_run(peer, line_url, 'peer_line', False)]]
            runs = [run for pair in pairs for run in (pair[::-1] if i % 2 else pair)]
            for run in (lambda: status_run(source), *runs, lambda: flood_run(source)):
                for key, value in run().items():
                    results.setdefault(key, []).append(value)
            print('run %d/%d done' % (i + 1, args.runs), file=sys.stderr)
    idle = idle_run(source, demo, args.idle_seconds) if args.idle_seconds else {}

    print('%d runs each, %s\npeer: %s, a bare GTK + WebKitGTK window; both show the demo\n'
          'page and a one-line page, the peer from a server that runs already, the app from its own'
          % (args.runs, source, peer))
    print('%-46s %10s %15s' % ('', 'median', 'min-max'))
    for key, label, fmt in ROWS:
        print('%-46s %10s %15s' % (label, fmt % statistics.median(results[key]),
                                   '%s-%s' % (fmt % min(results[key]), fmt % max(results[key]))))
    median = {key: statistics.median(values) for key, values in results.items()}
    print('start-up, app/peer: demo page %.2f, one-line page %.2f (aim: at most %.2f); '
          'peak RSS, app - peer: %+.1f MiB (aim: within %d)' % (
              median['app_page'] / median['peer_page'], median['app_line'] / median['peer_line'],
              AIM_RATIO, median['app_hwm'] - median['peer_hwm'], AIM_RSS_MIB))
    if idle:
        print('\nidle demo page, %% of one core: %11s %10s %11s' % (
            'first %ds' % IDLE_SETTLE, 'next %gs' % args.idle_seconds, 'wakeups/s'))
        for name, (settling, settled, wakeups) in idle.items():
            print('%-31s %11.3f %10.3f %11.1f' % (name, settling * 100, settled * 100, wakeups))
        busy = [name for name in ('app', 'server')
                if name in idle and idle[name][1] * 100 >= AIM_IDLE_PERCENT]
        print('settled, busy (aim: app and server under %g%%): %s' % (
            AIM_IDLE_PERCENT, ' and '.join(busy) or 'neither'))
    print('load average after:  %s (the machine has %d cores)' % (load_average(), os.cpu_count()))


if __name__ == '__main__':
    try:
        main()
    except RuntimeError as e:
        sys.exit('bench: %s' % e)
    except KeyboardInterrupt:
        sys.exit('bench: interrupted')
