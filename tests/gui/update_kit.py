"""What the update tests share: signed builds of the demo bundle, a feed server on
127.0.0.1, the app's "Check for Updates…" over D-Bus, and the dialogs it shows.

The builds are copies of the built demo bundle (MIROVAN_BUNDLE), re-signed with the
build tree's development key, so they carry its team. mirovan-sign comes from
$MIROVAN_SIGN or the build tree.
"""
import json, os, plistlib, random, shutil, signal, socket, string, subprocess, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .harness import (KIT, SOURCE_BUNDLE, Bundle, GuiTest, normalise, run, wait_until,
                      window_box, xdo)

BUILD = os.path.dirname(os.path.abspath(SOURCE_BUNDLE))
SIGN = os.environ.get('MIROVAN_SIGN') or os.path.join(BUILD, 'mirovan-sign')
DEV_KEY = os.path.join(BUILD, 'dev-key.pem')
RELEASE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), 'tools', 'release')
STEP_TIMEOUT = 30   # a download, extraction and signature check of the demo bundle
HOLD_LIMIT = 60     # a held feed request is answered after this, whatever the test does


class FeedServer:
    """Serves files from a folder; counts requests by path; can hold every request for
    the feed until release(); can answer the feed with an error page instead."""

    def __init__(self, root):
        self.root, self.counts, self.error_page = root, {}, False
        self._lock, self._released = threading.Condition(), threading.Event()
        self._released.set()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                name = self.path.lstrip('/').split('?')[0]
                with server._lock:
                    server.counts[name] = server.counts.get(name, 0) + 1
                    server._lock.notify_all()
                if name == 'feed.json':
                    server._released.wait(HOLD_LIMIT)
                    if server.error_page:
                        return self.answer(500, b'<html><h1>Internal Server Error</h1></html>',
                                           'text/html')
                try:
                    with open(os.path.join(server.root, os.path.basename(name)), 'rb') as f:
                        body = f.read()
                except OSError:
                    return self.answer(404, b'not found', 'text/plain')
                self.answer(200, body, 'application/octet-stream')

            def answer(self, status, body, kind):
                self.send_response(status)
                self.send_header('Content-Type', kind)
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.httpd.daemon_threads = True
        self.url = 'http://127.0.0.1:%d/' % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def requests(self, name='feed.json'):
        with self._lock:
            return self.counts.get(name, 0)

    def wait_requests(self, n, timeout, name='feed.json'):
        """True once `n` requests for `name` have arrived; False after timeout."""
        with self._lock:
            return self._lock.wait_for(lambda: self.counts.get(name, 0) >= n, timeout)

    def hold(self):
        self._released.clear()

    def release(self):
        self._released.set()

    def stop(self):
        self.release()
        self.httpd.shutdown()
        self.httpd.server_close()


def closed_port():
    """A port on 127.0.0.1 nothing listens on (just freed; nothing here reuses it)."""
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def processes_using(root):
    """Pids whose program or command line lies in `root` (apps, their servers, the swap
    script), from /proc."""
    prefix, found = root.rstrip('/') + '/', []
    for entry in filter(str.isdigit, os.listdir('/proc')):
        pid = int(entry)
        if pid == os.getpid():
            continue
        try:
            exe = os.readlink('/proc/%d/exe' % pid)
        except OSError:
            exe = ''
        try:
            with open('/proc/%d/cmdline' % pid, 'rb') as f:
                cmdline = f.read().decode(errors='replace')
        except OSError:
            continue
        if exe.startswith(prefix) or prefix in cmdline or (root + "'") in cmdline:
            found.append(pid)
    return found


def program_of(pid):
    try:
        return os.readlink('/proc/%d/exe' % pid)
    except OSError:
        return ''


class UpdateTest(GuiTest):
    def setUp(self):
        super().setUp()
        for path, what in ((SIGN, 'the signing tool'), (DEV_KEY, 'the development key'),
                           (RELEASE, 'tools/release')):
            if not os.path.exists(path):
                self.fail('no %s at %s: build the project first' % (what, path))
        self.new_identity()
        self.feed_dir = os.path.join(self.tmp, 'feed')
        os.makedirs(self.feed_dir)
        self.server = FeedServer(self.feed_dir)
        self.feed_url = self.server.url + 'feed.json'
        # Runs before the harness's clean-up: processes it did not start go first.
        self.addCleanup(self.server.stop)
        self.addCleanup(self.stop_strays)

    # -- builds ----------------------------------------------------------------

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
            info['MirovanUpdateURL'] = self.feed_url if feed is True else feed
        with open(plist, 'wb') as f:
            plistlib.dump(info, f)
        with open(KIT) as f:
            kit = f.read()
        with open(os.path.join(path, 'Contents', 'Resources', 'app', 'serve.py'), 'w') as f:
            f.write('OUT = %r\n%s\nlog(%r, version=%d)\nstandard()\n'
                    % (self.out, kit, 'version', version))
        self.sign_tool('sign', path, key)
        return Bundle(path, os.path.join(path, 'Contents', 'Linux', info['CFBundleExecutable']))

    def publish(self, version, name=None, key=DEV_KEY):
        """Build `version`, released into the feed folder with tools/release."""
        folder = os.path.join(self.tmp, 'release-%d' % len(os.listdir(self.tmp)))
        bundle = self.make_build(os.path.join(folder, 'Test.app'), version, key=key)
        args = [RELEASE, bundle.root, self.feed_dir] + (['--name', name] if name else [])
        done = subprocess.run(args, capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, MIROVAN_SIGN=SIGN))
        self.assertEqual(done.returncode, 0, done.stderr)
        return bundle

    def write_feed(self, **members):
        with open(os.path.join(self.feed_dir, 'feed.json'), 'w') as f:
            json.dump(members, f)

    def read_feed(self):
        with open(os.path.join(self.feed_dir, 'feed.json')) as f:
            return json.load(f)

    def sign_tool(self, *args):
        done = subprocess.run([SIGN, *args], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, 'mirovan-sign %s: %s' % (' '.join(args), done.stderr))
        return done.stdout

    def version_of(self, bundle_root):
        with open(os.path.join(bundle_root, 'Contents', 'Info.plist'), 'rb') as f:
            return plistlib.load(f)['CFBundleVersion']

    def work_dir(self):
        return os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')

    # -- the app -------------------------------------------------------------------

    def check_for_updates(self, timeout=STEP_TIMEOUT):
        """Runs the menu command over D-Bus; returns once the app has handled it."""
        command = ['gdbus', 'call', '--session', '--dest', self.ident, '--object-path',
                   '/' + self.ident.replace('.', '/'), '--method', 'org.gtk.Actions.Activate',
                   'check-for-updates', '[]', '{}']
        wait_until(lambda: subprocess.run(command, capture_output=True, timeout=30).returncode == 0,
                   timeout, 'the app to take "Check for Updates" over D-Bus', interval=0.2)

    def started(self, version, timeout=STEP_TIMEOUT):
        """The 'version' event of a server of that build."""
        return wait_until(lambda: [e for e in self.events('version') if e['version'] == version],
                          timeout, lambda: 'a server of build %d; events: %s; app logs:\n%s'
                          % (version, self.events(), self._app_logs()))[-1]

    def dialogs(self, app, main):
        return [w for w in app.windows() if w != main]

    def dialog_text(self, wid):
        shot, img = os.path.join(self.tmp, 'shot.png'), os.path.join(self.tmp, 'dialog.png')
        x, y, width, height = window_box(wid)
        run('import', '-window', 'root', shot)
        run('convert', shot, '-crop', '%dx%d+%d+%d' % (width, height, x, y), '+repage',
            '-colorspace', 'Gray', '-resize', '300%', '-threshold', '60%', img)
        return normalise(run('tesseract', img, '-', '--psm', '6', timeout=60))

    def wait_dialog(self, app, main, *phrases, timeout=STEP_TIMEOUT):
        """The one dialog of the app, once it shows every phrase; returns its window."""
        seen = ['']

        def shown():
            found = self.dialogs(app, main)
            if len(found) != 1:
                seen[0] = '%d dialogs' % len(found)
                return None
            seen[0] = self.dialog_text(found[0])
            # OCR may run words together ("orit"): compare without blanks.
            text = seen[0].replace(' ', '')
            return all(normalise(p).replace(' ', '') in text for p in phrases) and found[0]
        return wait_until(shown, timeout, lambda: 'a dialog with %r; read %r; app log:\n%s'
                          % (phrases, seen[0], app.log()[-1500:]), interval=0.2)

    def answer(self, app, main, wid, *keys):
        """Presses keys in the dialog until it closes: a dialog that came up while the main
        window was still being mapped may lose the first keys to it."""
        def closed():
            xdo('windowactivate', '--sync', wid)
            xdo('key', *keys)
            try:
                wait_until(lambda: wid not in self.dialogs(app, main), 5, 'close')
            except AssertionError:
                return False
            return True
        wait_until(closed, STEP_TIMEOUT, 'the dialog to close after %s' % ' '.join(keys), interval=0)

    def quit_with_keys(self, app, main):
        """Ctrl+Q in the main window, repeated until the app has gone (a key can reach the
        window before the window manager has focused it). An offer that the background
        check 15 s after launch may have repeated is dismissed first; any other dialog
        stays, and fails the test by keeping the app from quitting."""
        def gone():
            if app.proc.poll() is not None:
                return True
            for wid in self.dialogs(app, main):
                if 'anewversionof' in self.dialog_text(wid).replace(' ', ''):
                    xdo('windowactivate', '--sync', wid)
                    xdo('key', 'Escape')
            xdo('windowactivate', '--sync', main)
            xdo('key', 'ctrl+q')
            return app.proc.poll() is not None
        wait_until(gone, STEP_TIMEOUT, 'the app to quit on Ctrl+Q', interval=1)
        return app.proc.returncode

    # -- processes the test did not start --------------------------------------------

    def stop_strays(self):
        """Stops what the swap script started from the test's bundles: first any script
        still waiting (it would start an app after this), then the apps it started and
        their process groups (the WebKit helpers)."""
        started = {app.pid for app in self.apps}
        for pid in processes_using(self.tmp):
            if pid not in started and _argv(pid)[:2] == ['/bin/sh', '-c']:
                _kill(pid, signal.SIGKILL)
        strays = [pid for pid in processes_using(self.tmp)
                  if pid not in started and program_of(pid).startswith(self.tmp + '/')]
        for pid in strays:
            _kill(pid, signal.SIGTERM)
        for pid in strays:
            try:
                wait_until(lambda: _ended(pid), 15, 'a relaunched app to quit')
            except AssertionError:
                _kill(pid, signal.SIGKILL)
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def _argv(pid):
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return f.read().decode(errors='replace').split('\0')
    except OSError:
        return []


def _kill(pid, signum):
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass


def _ended(pid):
    """True once pid has exited (gone, or a zombie nobody has reaped yet)."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rpartition(')')[2].split()[0] == 'Z'
    except OSError:
        return True
