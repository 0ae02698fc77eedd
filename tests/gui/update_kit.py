"""What the update tests share: builds of the demo bundle (MIROVAN_BUNDLE) re-signed with
the build tree's development key, a feed server on 127.0.0.1, the app's "Check for
Updates…" over D-Bus, and the dialogs it shows. mirovan-sign comes from $MIROVAN_SIGN or
the build tree."""
import collections, functools, json, os, plistlib, random, shutil, signal, string
import subprocess, threading, types
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

from .harness import KIT, SOURCE_BUNDLE, GuiTest, retry, shows, wait_until, window_box, xdo

BUILD = os.path.dirname(os.path.abspath(SOURCE_BUNDLE))
SIGN = os.environ.get('MIROVAN_SIGN') or os.path.join(BUILD, 'mirovan-sign')
DEV_KEY = os.path.join(BUILD, 'dev-key.pem')
RELEASE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), 'tools', 'release')
STEP_TIMEOUT = 30   # a download, extraction and signature check of the demo bundle
HOLD_LIMIT = 60     # a held feed request is answered after this, whatever the test does


class FeedServer(ThreadingHTTPServer):
    """Serves a folder's files and counts requests by name; holds feed requests while
    `released` is clear, and answers them with an error page while `error_page` is set."""
    daemon_threads = True

    def __init__(self, root):
        self.counts, self.error_page = collections.Counter(), False
        self.lock, self.released = threading.Condition(), threading.Event()
        self.released.set()
        server = self

        class Handler(SimpleHTTPRequestHandler):
            def do_GET(self):
                name = os.path.basename(self.path.split('?')[0])
                with server.lock:
                    server.counts[name] += 1
                    server.lock.notify_all()
                if name == 'feed.json':
                    server.released.wait(HOLD_LIMIT)
                    if server.error_page:
                        return self.send_error(500)
                super().do_GET()

            def log_message(self, *args):
                pass

        super().__init__(('127.0.0.1', 0), functools.partial(Handler, directory=root))
        self.url = 'http://127.0.0.1:%d/' % self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def wait_requests(self, n, timeout):
        """True once n feed requests have arrived; False after timeout."""
        with self.lock:
            return self.lock.wait_for(lambda: self.counts['feed.json'] >= n, timeout)

    def stop(self):
        self.released.set()
        self.shutdown()
        self.server_close()


def cmdline(pid):
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return f.read().decode(errors='replace')
    except OSError:
        return None


def program_of(pid):
    try:
        return os.readlink('/proc/%d/exe' % pid)
    except OSError:
        return ''


def processes_using(root):
    """Pids whose program or command line lies in `root`: apps, servers, the swap script."""
    prefix, found = root.rstrip('/') + '/', []
    for pid in map(int, filter(str.isdigit, os.listdir('/proc'))):
        line = cmdline(pid)
        if pid != os.getpid() and line is not None and (
                program_of(pid).startswith(prefix) or prefix in line or root + "'" in line):
            found.append(pid)
    return found


def kill(pid, signum):
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass


def ended(pid):
    """True once pid has exited (gone, or a zombie nobody has reaped yet)."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rpartition(')')[2].split()[0] == 'Z'
    except OSError:
        return True


class UpdateTest(GuiTest):
    def setUp(self):
        super().setUp()
        for path in SIGN, DEV_KEY, RELEASE:
            if not os.path.exists(path):
                self.fail('no %s: build the project first' % path)
        self.new_identity()
        self.feed_dir = os.path.join(self.tmp, 'feed')
        os.makedirs(self.feed_dir)
        self.server = FeedServer(self.feed_dir)
        # Runs before the harness's clean-up: processes it did not start go first.
        self.addCleanup(self.server.stop)
        self.addCleanup(self.stop_strays)

    def new_identity(self):
        """A bundle identifier no other app on the bus has, for the builds made next: an
        app left running by a failed step would otherwise take their launches."""
        self.ident = 'org.mirovan.Update' + ''.join(random.choices(string.ascii_letters, k=12))

    def make_build(self, path, version, feed=True, key=DEV_KEY):
        """A copy of the demo bundle as build `version` whose server logs 'version'."""
        shutil.copytree(SOURCE_BUNDLE, path, symlinks=True)
        plist = os.path.join(path, 'Contents', 'Info.plist')
        with open(plist, 'rb') as f:
            info = plistlib.load(f)
        info.update(CFBundleName='Testapp', CFBundleIdentifier=self.ident,
                    CFBundleVersion=str(version))
        info.pop('MirovanUpdateURL', None)
        if feed:
            info['MirovanUpdateURL'] = self.server.url + 'feed.json' if feed is True else feed
        with open(plist, 'wb') as f:
            plistlib.dump(info, f)
        with open(KIT) as f:
            kit = f.read()
        with open(os.path.join(path, 'Contents', 'Resources', 'app', 'serve.py'), 'w') as f:
            f.write('OUT = %r\n%s\nlog(%r, version=%d)\nstandard()\n'
                    % (self.out, kit, 'version', version))
        self.sign_tool('sign', path, key)
        return types.SimpleNamespace(root=path, executable=os.path.join(
            path, 'Contents', 'Linux', info['CFBundleExecutable']))

    def publish(self, version, name=None, key=DEV_KEY):
        """Build `version`, released into the feed folder with tools/release."""
        folder = os.path.join(self.tmp, 'release-%d' % len(os.listdir(self.tmp)))
        bundle = self.make_build(os.path.join(folder, 'Test.app'), version, key=key)
        done = subprocess.run([RELEASE, bundle.root, self.feed_dir] + (['--name', name] if name else []),
                              capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, MIROVAN_SIGN=SIGN))
        self.assertEqual(done.returncode, 0, done.stderr)

    def write_feed(self, **members):
        with open(os.path.join(self.feed_dir, 'feed.json'), 'w') as f:
            json.dump(members, f)

    def sign_tool(self, *args):
        done = subprocess.run([SIGN, *args], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, 'mirovan-sign %s: %s' % (' '.join(args), done.stderr))
        return done.stdout

    def version_of(self, bundle_root):
        with open(os.path.join(bundle_root, 'Contents', 'Info.plist'), 'rb') as f:
            return plistlib.load(f)['CFBundleVersion']

    # -- the app -------------------------------------------------------------------

    def check_for_updates(self):
        """Runs the menu command over D-Bus; returns once the app has handled it."""
        command = ['gdbus', 'call', '--session', '--dest', self.ident, '--object-path',
                   '/' + self.ident.replace('.', '/'), '--method', 'org.gtk.Actions.Activate',
                   'check-for-updates', '[]', '{}']
        wait_until(lambda: subprocess.run(command, capture_output=True, timeout=30).returncode == 0,
                   STEP_TIMEOUT, 'the app to take "Check for Updates" over D-Bus', interval=0.2)

    def started(self, version):
        return wait_until(lambda: [e for e in self.events('version') if e['version'] == version],
                          STEP_TIMEOUT, lambda: 'a server of build %d; events: %s; app logs:\n%s'
                          % (version, self.events(), self._app_logs()))[-1]

    def wait_dialog(self, app, main, *phrases):
        """The app's one dialog, once it shows every phrase."""
        seen = ['']

        def shown():
            found = app.others(main)
            seen[0] = self.ocr(window_box(found[0])) if len(found) == 1 else '%d dialogs' % len(found)
            return len(found) == 1 and shows(seen[0], phrases) and found[0]
        return wait_until(shown, STEP_TIMEOUT, lambda: 'a dialog with %r; read %r; app log:\n%s'
                          % (phrases, seen[0], app.log()[-1500:]), interval=0.2)

    def answer(self, app, main, wid, *keys):
        """Presses keys in the dialog until it closes: a dialog that came up while the main
        window was still being mapped may lose the first keys to it."""
        def press():
            xdo('windowactivate', '--sync', wid)
            xdo('key', *keys)
        retry(press, lambda: wid not in app.others(main),
              'the dialog to close after ' + ' '.join(keys), STEP_TIMEOUT, each=5)

    def quit_with_keys(self, app, main):
        """Ctrl+Q in the main window, repeated until the app has gone (a key can reach the
        window before the window manager has focused it). An offer that the background
        check 15 s after launch may have repeated is dismissed first; any other dialog
        stays, and fails the test by keeping the app from quitting."""
        def gone():
            if app.proc.poll() is not None:
                return True
            for wid in app.others(main):
                if shows(self.ocr(window_box(wid)), ['A new version of']):
                    xdo('windowactivate', '--sync', wid)
                    xdo('key', 'Escape')
            xdo('windowactivate', '--sync', main)
            xdo('key', 'ctrl+q')
            return app.proc.poll() is not None
        wait_until(gone, STEP_TIMEOUT, 'the app to quit on Ctrl+Q', interval=1)
        return app.proc.returncode

    def stop_strays(self):
        """Stops what the swap script started from the test's bundles: first any script
        still waiting (it would start an app after this), then the apps it started and
        their process groups (the WebKit helpers)."""
        started = {app.pid for app in self.apps}
        for pid in processes_using(self.tmp):
            if pid not in started and (cmdline(pid) or '').startswith('/bin/sh\0-c\0'):
                kill(pid, signal.SIGKILL)
        strays = [pid for pid in processes_using(self.tmp)
                  if pid not in started and program_of(pid).startswith(self.tmp + '/')]
        for pid in strays:
            kill(pid, signal.SIGTERM)
        for pid in strays:
            try:
                wait_until(lambda: ended(pid), 15, 'a relaunched app to quit')
            except AssertionError:
                kill(pid, signal.SIGKILL)
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
