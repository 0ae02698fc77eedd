"""Runs the real app from throwaway bundles and watches what it does.

Needs DISPLAY (an X server with a window manager) and a session bus. The app
under test comes from MIROVAN_BUNDLE; its binary is copied into every test
bundle because the app finds its bundle from its own executable's path.
"""
import glob, json, os, plistlib, random, re, shutil, signal, string
import subprocess, tempfile, time, unittest

SOURCE_BUNDLE = os.environ.get('MIROVAN_BUNDLE', '/work/main/build/Mirovan.app')
KIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'server_kit.py')
LOAD_TIMEOUT = 40   # cold WebKit start on a busy two-core machine
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


def run(*cmd, timeout=30):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout).stdout


def xdo(*args):
    return run('xdotool', *args)


def window_box(wid):
    out = xdo('getwindowgeometry', '--shell', wid)
    values = dict(line.split('=', 1) for line in out.split() if '=' in line)
    return tuple(int(values.get(k, 0)) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))


def geometry(wid):
    return window_box(wid)[2:]


def normalise(text):
    text = text.lower().replace('\u2026', '...').replace('\u2019', "'")
    return ' '.join(text.replace("'", '').split())


def source_executable():
    try:
        with open(os.path.join(SOURCE_BUNDLE, 'Contents', 'Info.plist'), 'rb') as f:
            name = plistlib.load(f).get('CFBundleExecutable', 'mirovan')
    except (OSError, plistlib.InvalidFileException):
        name = 'mirovan'
    return os.path.join(SOURCE_BUNDLE, 'Contents', 'Linux', name)


def process_alive(pid, marker):
    """True while pid runs and its command line mentions marker (pids get reused)."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return marker.encode() in f.read()
    except OSError:
        return False


class Bundle:
    def __init__(self, root, executable):
        self.root, self.executable = root, executable
        self.app_dir = os.path.join(root, 'Contents', 'Resources', 'app')
        self.script = os.path.join(self.app_dir, 'serve.py')


class App:
    def __init__(self, proc, log_path):
        self.proc, self.log_path = proc, log_path
        self.exited_at = None

    @property
    def pid(self):
        return self.proc.pid

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


class GuiTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        for var in ('DISPLAY', 'DBUS_SESSION_BUS_ADDRESS'):
            if not os.environ.get(var):
                self.fail('%s is not set; these tests need an X server with a '
                          'window manager and a session bus' % var)
        self.binary = source_executable()
        if not os.access(self.binary, os.X_OK):
            self.fail('no app binary at %s (set MIROVAN_BUNDLE)' % self.binary)
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix='mirovan-gui-'))
        self.out = os.path.join(self.tmp, 'out')
        self.home = os.path.join(self.tmp, 'home')
        self.xdg = {v: os.path.join(self.home, d) for v, d in (
            ('XDG_DATA_HOME', '.local/share'), ('XDG_CONFIG_HOME', '.config'),
            ('XDG_STATE_HOME', '.local/state'), ('XDG_CACHE_HOME', '.cache'))}
        for path in [self.out, *self.xdg.values()]:
            os.makedirs(path)
        self.apps = []
        self.addCleanup(self._clean_up)

    # -- bundles ---------------------------------------------------------

    def make_bundle(self, server='standard()', name='Testapp', python='link',
                    script=True, folder='Test.app'):
        """python: link | missing | noexec | directory | garbage."""
        root = os.path.join(self.tmp, folder)
        contents = os.path.join(root, 'Contents')
        exe_name = os.path.basename(self.binary)
        for sub in ('Linux', 'Resources/python/bin', 'Resources/app'):
            os.makedirs(os.path.join(contents, sub), exist_ok=True)
        executable = os.path.join(contents, 'Linux', exe_name)
        shutil.copy2(self.binary, executable)
        # The web process extension ships next to the program.
        extensions = os.path.join(os.path.dirname(self.binary), 'web-extensions')
        if os.path.isdir(extensions):
            shutil.copytree(extensions, os.path.join(contents, 'Linux', 'web-extensions'))
        ident = 'org.mirovan.Test' + ''.join(random.choices(string.ascii_letters, k=12))
        info = {'CFBundleIdentifier': ident, 'CFBundleVersion': '1.0',
                'CFBundleExecutable': exe_name}
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

        bundle = Bundle(root, executable)
        if script:
            with open(KIT) as f:
                kit = f.read()
            with open(bundle.script, 'w') as f:
                f.write('OUT = %r\n%s\n%s\n' % (self.out, kit, server))
        return bundle

    # -- running ---------------------------------------------------------

    def launch(self, bundle, env=None, cwd=None):
        full = {k: v for k, v in os.environ.items() if not k.startswith('MIROVAN_')}
        full.update(self.xdg, HOME=self.home, GTK_A11Y='none', NO_AT_BRIDGE='1',
                    MIROVAN_TRACE='1')
        full.update(env or {})
        log_path = os.path.join(self.tmp, 'app-%d.log' % len(self.apps))
        with open(log_path, 'wb') as log:
            proc = subprocess.Popen([bundle.executable], env=full, cwd=cwd or self.tmp,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    start_new_session=True)
        app = App(proc, log_path)
        self.apps.append(app)
        return app

    def state_file(self, name='Testapp'):
        return os.path.join(self.xdg['XDG_STATE_HOME'], name, 'window-state.ini')

    # -- what the servers recorded -----------------------------------------

    def events(self, name=None):
        try:
            with open(os.path.join(self.out, 'events.jsonl')) as f:
                found = [json.loads(line) for line in f if line.endswith('\n')]
        except FileNotFoundError:
            return []
        return [e for e in found if name is None or e['event'] == name]

    def wait_event(self, name, timeout=LOAD_TIMEOUT):
        return wait_until(lambda: self.events(name), timeout,
                          lambda: 'server event %r; events so far: %s; app logs:\n%s'
                          % (name, self.events(), self._app_logs()))[0]

    def _app_logs(self):
        return '\n'.join(app.log()[-1500:] for app in self.apps)

    def server_pids(self):
        pids = []
        for path in glob.glob(os.path.join(self.out, 'server-*.pid')):
            with open(path) as f:
                pids.append((int(path.rsplit('-', 1)[1][:-4]), f.read()))
        return pids

    # -- what the window shows -----------------------------------------------

    def screen_text(self, variant=0):
        """OCR of the middle of the newest app window, where status text sits."""
        shot = os.path.join(self.tmp, 'shot.png')
        run('import', '-window', 'root', shot)
        crop = []
        live = [w for app in self.apps if app.proc.poll() is None for w in app.windows()]
        if live:
            x, y, width, height = window_box(live[-1])
            w, h = min(width, 700), min(height, 500)
            crop = ['-crop', '%dx%d+%d+%d' % (w, h, x + (width - w) // 2,
                                              y + (height - h) // 2), '+repage']
        # Grey detail text on a light page; negated for a dark one.
        steps = (['-threshold', '75%'], ['-negate', '-threshold', '75%'],
                 ['-threshold', '85%'])[variant % 3]
        img = os.path.join(self.tmp, 'ocr.png')
        run('convert', shot, *crop, '-colorspace', 'Gray', '-resize', '300%', *steps, img)
        return run('tesseract', img, '-', '--psm', '6', timeout=60)

    def wait_text(self, *phrases, timeout=LOAD_TIMEOUT):
        """Polls OCR until every phrase shows; returns the normalised text."""
        seen, tries = [''], [0]

        def found():
            tries[0] += 1
            seen[0] = normalise(self.screen_text(tries[0] - 1))
            return all(normalise(p) in seen[0] for p in phrases) and seen[0]
        return wait_until(found, timeout, lambda: '%r on screen; OCR read: %r'
                          % (phrases, seen[0]), interval=0.2)

    # -- clean-up --------------------------------------------------------

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
        # Servers first: one left in the app's process group must not be
        # swept away unnoticed by the group kill below.
        for pid, script in self.server_pids():
            try:
                wait_until(lambda: not process_alive(pid, script), 3, 'server exit')
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
