"""Runs the real app from throwaway bundles and watches what it does.

Needs DISPLAY (an X server with a window manager) and a session bus. The app comes
from MIROVAN_BUNDLE; its binary is copied into every test bundle because the app
finds its bundle from its own executable's path.
"""
import glob, json, os, plistlib, random, re, shutil, signal, string
import subprocess, tempfile, time, types, unittest

SOURCE_BUNDLE = os.environ.get('MIROVAN_BUNDLE', '/work/main/build/Mirovan.app')
KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'server_kit.py')
LOAD_TIMEOUT = 40   # cold WebKit start on a busy two-core machine
STEP_TIMEOUT = 15
DEFAULT_SIZE = (1240, 820)


def wait_until(pred, timeout, what, interval=0.05):
    """Returns pred()'s first truthy value; fails with `what` after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError('timed out after %gs waiting for %s'
                                 % (timeout, what() if callable(what) else what))
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


def window_box(wid):
    out = xdo('getwindowgeometry', '--shell', wid).split()
    values = dict(v.split('=', 1) for v in out if '=' in v)
    return tuple(int(values.get(k, 0)) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))


def geometry(wid):
    return window_box(wid)[2:]


def wm_state(wid):
    return run('xprop', '-id', wid, '_NET_WM_STATE')


def click(wid, x, y):
    xdo('mousemove', '--window', wid, str(int(x)), str(int(y)))
    xdo('click', '1')


def press_in_page(wid, *keys):
    """Keys while the page has the keyboard focus."""
    xdo('windowactivate', '--sync', wid)
    click(wid, 600, 400)
    for key in keys:
        xdo('key', key)


def normalise(text):
    text = text.lower().replace('\u2026', '...').replace('\u2019', "'")
    return ' '.join(text.replace("'", '').split())


def shows(text, phrases):
    """Every phrase is in the OCR text; blanks do not count, as OCR may run words together."""
    text = text.replace(' ', '')
    return all(normalise(p).replace(' ', '') in text for p in phrases)


class App:
    def __init__(self, proc, log_path, started):
        self.proc, self.log_path, self.started = proc, log_path, started
        self.pid, self.exited_at = proc.pid, None

    def log(self):
        with open(self.log_path, errors='replace') as f:
            return f.read()

    def trace(self):
        return re.findall(r'^mirovan-trace \d+ (\S+)', self.log(), re.M)

    def wait_trace(self, event, timeout=LOAD_TIMEOUT):
        wait_until(lambda: event in self.trace() or self.proc.poll() is not None,
                   timeout, lambda: 'trace %r; app log:\n%s' % (event, self.log()[-2000:]))
        if event not in self.trace():
            raise AssertionError('app exited (%s) before %r; log:\n%s'
                                 % (self.proc.returncode, event, self.log()[-2000:]))

    def windows(self):
        return xdo('search', '--onlyvisible', '--pid', str(self.pid)).split()

    def others(self, main):
        """The app's visible windows besides `main`: dialogs, menus, tooltips."""
        return [w for w in self.windows() if w != main]

    def window(self, timeout=LOAD_TIMEOUT):
        return wait_until(self.windows, timeout, 'a visible window of the app')[0]

    def wait_exit(self, timeout):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError('app still running after %gs; log:\n%s'
                                 % (timeout, self.log()[-2000:])) from None
        if self.exited_at is None:
            self.exited_at = time.monotonic()
        return self.proc.returncode

    def quit(self):
        self.proc.terminate()
        return self.wait_exit(15)


class GuiTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        for var in ('DISPLAY', 'DBUS_SESSION_BUS_ADDRESS'):
            if not os.environ.get(var):
                self.fail('%s is not set; these tests need an X server with a '
                          'window manager and a session bus' % var)
        with open(os.path.join(SOURCE_BUNDLE, 'Contents', 'Info.plist'), 'rb') as f:
            name = plistlib.load(f)['CFBundleExecutable']
        self.binary = os.path.join(SOURCE_BUNDLE, 'Contents', 'Linux', name)
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix='mirovan-gui-'))
        self.out = os.path.join(self.tmp, 'out')
        self.xdg = {v: os.path.join(self.tmp, 'home', d) for v, d in (
            ('XDG_DATA_HOME', '.local/share'), ('XDG_CONFIG_HOME', '.config'),
            ('XDG_STATE_HOME', '.local/state'), ('XDG_CACHE_HOME', '.cache'))}
        for path in [self.out, *self.xdg.values()]:
            os.makedirs(path)
        self.apps = []
        self.addCleanup(self._clean_up)

    def make_bundle(self, server='standard()', name='Testapp', python='link', script=True):
        """python: link | missing | noexec | directory | garbage."""
        root = os.path.join(self.tmp, 'Test%d.app' % len(glob.glob(self.tmp + '/*.app')))
        contents, exe_name = os.path.join(root, 'Contents'), os.path.basename(self.binary)
        app_dir = os.path.join(contents, 'Resources', 'app')
        os.makedirs(app_dir)
        os.makedirs(os.path.join(contents, 'Resources', 'python', 'bin'))
        # The web process extension ships next to the program.
        shutil.copytree(os.path.dirname(self.binary), os.path.join(contents, 'Linux'))
        info = {'CFBundleIdentifier': 'org.mirovan.Test' + ''.join(
                    random.choices(string.ascii_letters, k=12)),
                'CFBundleVersion': '1.0', 'CFBundleExecutable': exe_name}
        if name is not None:
            info['CFBundleName'] = name
        with open(os.path.join(contents, 'Info.plist'), 'wb') as f:
            plistlib.dump(info, f)

        py = os.path.join(contents, 'Resources', 'python', 'bin', 'python3')
        if python == 'link':
            os.symlink('/usr/bin/python3', py)
        elif python == 'noexec':
            shutil.copy('/usr/bin/python3', py)
            os.chmod(py, 0o644)
        elif python == 'directory':
            os.mkdir(py)   # root may "execute" a directory: it still must be refused
        elif python == 'garbage':
            with open(py, 'wb') as f:
                f.write(bytes(random.Random(7).randrange(256) for _ in range(4096)))
            os.chmod(py, 0o755)

        bundle = types.SimpleNamespace(root=root, app_dir=app_dir,
                                       script=os.path.join(app_dir, 'serve.py'),
                                       executable=os.path.join(contents, 'Linux', exe_name))
        if script:
            with open(KIT) as f, open(bundle.script, 'w') as out:
                out.write('OUT = %r\n%s\n%s\n' % (self.out, f.read(), server))
        return bundle

    def launch(self, bundle, env=None, cwd=None):
        full = {k: v for k, v in os.environ.items() if not k.startswith('MIROVAN_')}
        full.update(self.xdg, HOME=os.path.join(self.tmp, 'home'), GTK_A11Y='none',
                    NO_AT_BRIDGE='1', MIROVAN_TRACE='1', **(env or {}))
        log_path = os.path.join(self.tmp, 'app-%d.log' % len(self.apps))
        started = time.monotonic()
        with open(log_path, 'wb') as log:
            proc = subprocess.Popen([bundle.executable], env=full, cwd=cwd or self.tmp,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    start_new_session=True)
        self.apps.append(App(proc, log_path, started))
        return self.apps[-1]

    def start(self, server='standard()', env=None):
        """Launches the app and waits until its page has loaded; app.wid is its window."""
        bundle = self.make_bundle(server) if isinstance(server, str) else server
        app = self.launch(bundle, env)
        self.wait_event('seen', since=app.started)
        app.wait_trace('page-loaded')
        app.wid = app.window()
        return app

    # -- what the servers recorded, and orders for them ------------------------

    def events(self, name=None, since=0):
        try:
            with open(os.path.join(self.out, 'events.jsonl')) as f:
                found = [json.loads(line) for line in f if line.endswith('\n')]
        except FileNotFoundError:
            return []
        return [e for e in found if name in (None, e['event']) and e['t'] >= since]

    def wait_event(self, name, timeout=LOAD_TIMEOUT, since=0):
        return wait_until(lambda: self.events(name, since), timeout,
                          lambda: 'server event %r; events so far: %s; app logs:\n%s'
                          % (name, self.events(), self._app_logs()))[0]

    def _app_logs(self):
        return '\n'.join(app.log()[-1500:] for app in self.apps)

    def put(self, name, data):
        """Writes OUT/name whole, for a server that polls for it."""
        path = os.path.join(self.out, name)
        with open(path + '.tmp', 'w') as f:
            f.write(data if isinstance(data, str) else json.dumps(data))
        os.rename(path + '.tmp', path)

    # -- what the windows show -----------------------------------------------

    def ocr(self, box=None, steps=('-threshold', '60%')):
        shot, img = os.path.join(self.tmp, 'shot.png'), os.path.join(self.tmp, 'ocr.png')
        run('import', '-window', 'root', shot)
        crop = ['-crop', '%dx%d+%d+%d' % (box[2], box[3], box[0], box[1]), '+repage'] if box else []
        run('convert', shot, *crop, '-colorspace', 'Gray', '-resize', '300%', *steps, img)
        return normalise(run('tesseract', img, '-', '--psm', '6', timeout=60))

    def wait_text(self, *phrases, wid=None, timeout=LOAD_TIMEOUT):
        """Polls OCR of window `wid`, else of the middle of the newest app window where
        status text sits, until every phrase shows; returns the normalised text."""
        seen, tries = [''], [0]

        def found():
            if wid:
                seen[0] = self.ocr(window_box(wid))
                return shows(seen[0], phrases) and seen[0]
            live = [w for app in self.apps if app.proc.poll() is None for w in app.windows()]
            box = None
            if live:
                x, y, width, height = window_box(live[-1])
                w, h = min(width, 700), min(height, 500)
                box = (x + (width - w) // 2, y + (height - h) // 2, w, h)
            # Grey detail text on a light page; negated for a dark one.
            seen[0] = self.ocr(box, (['-threshold', '75%'], ['-negate', '-threshold', '75%'],
                                     ['-threshold', '85%'])[tries[0] % 3])
            tries[0] += 1
            return shows(seen[0], phrases) and seen[0]
        return wait_until(found, timeout, lambda: '%r on screen; OCR read: %r'
                          % (phrases, seen[0]), interval=0.2)

    def _clean_up(self):
        problems = []
        for app in self.apps:
            if app.proc.poll() is None:
                app.proc.send_signal(signal.SIGTERM)
                try:
                    app.proc.wait(15)
                except subprocess.TimeoutExpired:
                    problems.append('app %d ignored SIGTERM' % app.pid)
                    app.proc.kill()
                    app.proc.wait(10)
        # Servers first: one left in the app's process group must not be swept away
        # unnoticed by the group kill below. Pids get reused: the command line must match.
        for path in glob.glob(os.path.join(self.out, 'server-*.pid')):
            pid = int(path.rsplit('-', 1)[1][:-4])
            with open(path, 'rb') as f:
                script = f.read()

            def alive():
                try:
                    with open('/proc/%d/cmdline' % pid, 'rb') as f:
                        return script in f.read()
                except OSError:
                    return False
            try:
                wait_until(lambda: not alive(), 3, 'server exit')
            except AssertionError:
                problems.append('server %d still running after the app was gone' % pid)
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for app in self.apps:
            try:   # WebKit helpers share the app's process group
                os.killpg(app.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)
        if problems:
            self.fail('; '.join(problems))
