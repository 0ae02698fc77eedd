"""Runs the real app from throwaway bundles and watches what it does. Needs DISPLAY (an X
server with a window manager) and a session bus. The app comes from MIROVAN_BUNDLE; its
program is copied into every test bundle, as the app finds its bundle from its own path."""
import contextlib, glob, itertools, json, os, plistlib, random, re, shlex, shutil, signal, string
import subprocess, tempfile, time, types, unittest

SOURCE_BUNDLE = os.environ.get('MIROVAN_BUNDLE') or os.path.join(os.path.dirname(__file__), '../../build/Mirovan.app')
KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'server_kit.py')
LOAD_TIMEOUT = 40   # cold WebKit start on a busy two-core machine
STEP_TIMEOUT = 15
DEFAULT_SIZE = (1240, 820)


def wait_until(pred, timeout, what, interval=0.05):
    """pred()'s first truthy value; fails with `what` (text or a function) after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError('timed out after %gs waiting for %s' % (timeout, what() if callable(what) else what))
        time.sleep(interval)


def retry(action, done, what, timeout=STEP_TIMEOUT, each=2):
    """Repeats action until done() holds within `each` seconds of it: a key can reach a
    window before the window manager has focused it, or a busy dialog may eat it."""
    def attempt():
        action()
        try:
            return wait_until(done, each, what)
        except AssertionError:
            return False
    wait_until(attempt, timeout, what, interval=0)


def run(*cmd, timeout=30):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout).stdout


def xdo(*args):
    return run('xdotool', *args)


def read(path):
    with open(path, errors='replace') as f:
        return f.read()


def read_proc(pid, what):
    """/proc/PID/WHAT as text (for exe, the program), or '' once the process has gone."""
    with contextlib.suppress(OSError):
        if what == 'exe':
            # A process in a mount namespace of its own that we cannot see into (a test of
            # another release, in a folder) has its program named from the machine's root.
            exe, root = os.readlink('/proc/%d/exe' % pid), os.readlink('/proc/%d/root' % pid)
            return exe[len(root):] if root != '/' and exe.startswith(root + '/') else exe
        with open('/proc/%d/%s' % (pid, what), 'rb') as f:
            return f.read().decode(errors='replace')
    return ''


def kill(pid, group=False):
    with contextlib.suppress(ProcessLookupError):
        (os.killpg if group else os.kill)(pid, signal.SIGKILL)


def window_box(wid):
    values = dict(v.split('=', 1) for v in xdo('getwindowgeometry', '--shell', wid).split() if '=' in v)
    return tuple(int(values.get(k, 0)) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))


def wm_state(wid):
    return run('xprop', '-id', wid, '_NET_WM_STATE')


def click(wid, x, y, *how):
    xdo('mousemove', '--window', wid, str(int(x)), str(int(y)))
    xdo('click', *how, '1')


def press_in_page(wid, *keys):
    """Keys while the page has the keyboard focus."""
    xdo('windowactivate', '--sync', wid)
    click(wid, 600, 90)   # below the strip, where no test page has anything
    xdo('key', *keys)


def squeeze(text):
    """Lower case without blanks or apostrophes, which OCR may drop or run together."""
    return re.sub(r"[\s']", '', text.lower().replace('\u2026', '...').replace('\u2019', "'"))


def shows(text, phrases):   # in order
    return re.search('.*?'.join(re.escape(squeeze(phrase)) for phrase in phrases), text)


class App:
    def __init__(self, proc, log_path):
        self.proc, self.log_path, self.pid, self.started = proc, log_path, proc.pid, time.monotonic()

    def log(self):
        return read(self.log_path)

    def trace(self):
        return re.findall(r'^mirovan-trace \d+ (\S+)', self.log(), re.M)

    def windows(self):
        # A window destroyed while xdotool walks the tree (a closing popover) makes it fail
        # with an X error and list nothing at all: such a search is made again.
        for _ in range(20):
            found = subprocess.run(['xdotool', 'search', '--onlyvisible', '--pid', str(self.pid)],
                                   capture_output=True, text=True, timeout=30)
            if 'X Error' not in found.stderr:
                break
        return found.stdout.split()

    def others(self, main):   # dialogs, menus, tooltips
        return [w for w in self.windows() if w != main]

    def window(self, timeout=LOAD_TIMEOUT):
        return wait_until(self.windows, timeout, 'a visible window of the app')[0]

    def wait_exit(self, timeout):
        wait_until(lambda: self.proc.poll() is not None, timeout, lambda: 'the app to exit; log:\n' + self.log()[-2000:])
        return self.proc.returncode

    def quit(self):
        self.proc.terminate()
        return self.wait_exit(15)


class GuiTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not (os.environ.get('DISPLAY') and os.environ.get('DBUS_SESSION_BUS_ADDRESS')):
            self.fail('these tests need DISPLAY (an X server with a window manager) and a session bus')
        with open(os.path.join(SOURCE_BUNDLE, 'Contents', 'Info.plist'), 'rb') as f:
            self.binary = os.path.join(SOURCE_BUNDLE, 'Contents', 'Linux', plistlib.load(f)['CFBundleExecutable'])
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix='mirovan-gui-'))
        self.out = os.path.join(self.tmp, 'out')
        self.xdg = {v: os.path.join(self.tmp, 'home', d) for v, d in (
            ('XDG_DATA_HOME', '.local/share'), ('XDG_CONFIG_HOME', '.config'),
            ('XDG_STATE_HOME', '.local/state'), ('XDG_CACHE_HOME', '.cache'))}
        for path in self.xdg.values():
            os.makedirs(path)
        self.write(os.path.join(self.out, 'events.jsonl'), '')
        self.apps = []
        self.addCleanup(self._clean_up)

    def write(self, path, text, mode=None):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb' if isinstance(text, bytes) else 'w') as f:
            f.write(text)
        if mode:
            os.chmod(path, mode)

    def make_bundle(self, server='standard()', name='Testapp', python='link', script=True, info=None):
        """python: link | missing | garbage; info: more Info.plist keys."""
        root = os.path.join(self.tmp, 'Test%d.app' % len(glob.glob(self.tmp + '/*.app')))
        contents, exe_name = os.path.join(root, 'Contents'), os.path.basename(self.binary)
        shutil.copytree(os.path.dirname(self.binary), os.path.join(contents, 'Linux'))   # with the web extension
        self.write(os.path.join(contents, 'Info.plist'), plistlib.dumps(dict(
            CFBundleIdentifier='org.mirovan.Test' + ''.join(random.choices(string.ascii_letters, k=12)),
            CFBundleVersion='1.0', CFBundleExecutable=exe_name, **({'CFBundleName': name} if name else {}),
            **(info or {}))))
        py = os.path.join(contents, 'Resources', 'python', 'bin', 'python3')
        os.makedirs(os.path.dirname(py))
        if python == 'link':
            os.symlink('/usr/bin/python3', py)
        elif python == 'garbage':
            self.write(py, random.Random(7).randbytes(4096), 0o755)
        bundle = types.SimpleNamespace(root=root, app_dir=os.path.join(contents, 'Resources', 'app'),
                                       executable=os.path.join(contents, 'Linux', exe_name))
        bundle.script = os.path.join(bundle.app_dir, 'serve.py')
        os.makedirs(bundle.app_dir)
        if script:
            self.write(bundle.script, 'OUT = %r\n%s\n%s\n' % (self.out, read(KIT), server))
        return bundle

    def launch(self, bundle, env=None, cwd=None, argv=None):
        full = {k: v for k, v in os.environ.items() if not k.startswith('MIROVAN_')}
        full.update(self.xdg, HOME=os.path.join(self.tmp, 'home'), GTK_A11Y='none',
                    NO_AT_BRIDGE='1', MIROVAN_TRACE='1', **(env or {}))
        log_path = os.path.join(self.tmp, 'app-%d.log' % len(self.apps))
        with open(log_path, 'wb') as log:
            proc = subprocess.Popen(argv or [bundle.executable], env=full, cwd=cwd or self.tmp, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log, start_new_session=True)
        self.apps.append(App(proc, log_path))
        return self.apps[-1]

    def start(self, server='standard()', env=None, cwd=None):
        """Launches the app and waits until its page has loaded; app.wid is its window."""
        app = self.launch(self.make_bundle(server) if isinstance(server, str) else server, env, cwd)
        self.wait_event('seen', since=app.started)
        wait_until(lambda: 'page-loaded' in app.trace(), LOAD_TIMEOUT, lambda: 'page-loaded; log:\n' + app.log()[-2000:])
        app.wid = app.window()
        return app

    def fake_handlers(self):
        """Stand-ins for the desktop's browser (web addresses) and folder handler, named by a
        mimeapps.list, each writing down what it was handed."""
        recorder = '#!/bin/sh\nprintf \'{"event": "handed", "kind": "%s", "item": "%%s", "t": 0}\\n\' "$1" >> %s\n'
        defaults = ['[Default Applications]']
        for kind, types in ('browser', 'x-scheme-handler/http;x-scheme-handler/https'), ('folders', 'inode/directory'):
            program = os.path.join(self.tmp, kind)
            self.write(program, recorder % (kind, shlex.quote(os.path.join(self.out, 'events.jsonl'))), 0o755)
            self.write(os.path.join(self.xdg['XDG_DATA_HOME'], 'applications', kind + '.desktop'),
                       '[Desktop Entry]\nType=Application\nName=%s\nExec=%s %%u\nMimeType=%s;\n' % (kind, program, types))
            defaults += ['%s=%s.desktop' % (t, kind) for t in types.split(';')]
        self.write(os.path.join(self.xdg['XDG_CONFIG_HOME'], 'mimeapps.list'), '\n'.join(defaults) + '\n')

    def handed(self, kind):
        """What `kind` (browser, folders, file-manager) was handed, in order."""
        return [e['item'] for e in self.events('handed') if e['kind'] == kind]

    def wait_handed(self, kind, count=1):
        return wait_until(lambda: len(self.handed(kind)) >= count and self.handed(kind), 20,
                          lambda: '%d item(s) for the %s: %r' % (count, kind, self.handed(kind)))

    def events(self, name=None, since=0):
        with open(os.path.join(self.out, 'events.jsonl')) as f:
            return [e for e in map(json.loads, filter(lambda line: line.endswith('\n'), f))
                    if name in (None, e['event']) and e['t'] >= since]

    def wait_event(self, name, timeout=LOAD_TIMEOUT, since=0, where=lambda e: True):
        return wait_until(lambda: [e for e in self.events(name, since) if where(e)], timeout,
                          lambda: 'server event %r; events so far: %s; app logs:\n%s'
                          % (name, self.events(), '\n'.join(app.log()[-1500:] for app in self.apps)))[0]

    def put(self, name, data=''):
        """Writes OUT/name whole, for a server or page that polls for it."""
        path = os.path.join(self.out, name)
        self.write(path + '.tmp', data)
        os.rename(path + '.tmp', path)

    def script(self, code, then=None):
        """Has the page run `code`; with `then`, waits for that report and returns it."""
        since = time.monotonic()
        self.put('next.js', code)
        return then and self.wait_event(then, STEP_TIMEOUT, since)

    def post(self, *messages):
        """Has the page post (name, body) messages to the app, in order."""
        self.script(''.join('webkit.messageHandlers[%s].postMessage(%s);' % (json.dumps(name), json.dumps(body))
                            for name, body in messages) + "report('posted');", 'posted')

    def wait_text(self, *phrases, wid=None, timeout=LOAD_TIMEOUT):
        """Polls OCR of window `wid`, else of the middle of the newest app window where
        status text sits (grey on light, or light on dark), until the phrases show in order;
        returns the text read."""
        seen = ['']
        steps = itertools.cycle([['-threshold', '60%']] if wid else [
            ['-threshold', '75%'], ['-negate', '-threshold', '75%'], ['-threshold', '85%']])

        def found():
            live = [wid] if wid else [w for app in self.apps if app.proc.poll() is None for w in app.windows()]
            x, y, width, height = window_box(live[-1]) if live else (0, 0, 1600, 1000)
            w, h = (width, height) if wid else (min(width, 700), min(height, 500))
            seen[0] = squeeze(run('sh', '-c', 'import -window root png:- | convert - -crop %dx%d+%d+%d +repage -colorspace '
                                  'Gray -resize 300%% %s png:- | tesseract - - --psm 6' % (
                                      w, h, x + (width - w) // 2, y + (height - h) // 2, ' '.join(next(steps))), timeout=60))
            return shows(seen[0], phrases) and seen[0]
        return wait_until(found, timeout, lambda: '%r on screen; OCR read: %r' % (phrases, seen[0]), interval=0.2)

    def _clean_up(self):
        problems = []
        for app in self.apps:
            if app.proc.poll() is None:
                app.proc.terminate()
                try:
                    app.proc.wait(15)
                except subprocess.TimeoutExpired:
                    problems.append('app %d ignored SIGTERM' % app.pid)
        # Servers first: one left in the app's process group must not be swept away
        # unnoticed by the group kill below. Pids get reused: the command line must match.
        for path in glob.glob(os.path.join(self.out, 'server-*.pid')):
            pid = int(path.rsplit('-', 1)[1][:-4])
            script = read(path)
            with contextlib.suppress(AssertionError):
                wait_until(lambda: script not in read_proc(pid, 'cmdline'), 3, 'server exit')
                continue
            problems.append('server %d still running after the app was gone' % pid)
            kill(pid)
        for app in self.apps:   # WebKit helpers share the app's process group
            kill(app.pid, group=True)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if problems:
            self.fail('; '.join(problems))
