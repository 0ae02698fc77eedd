"""Where links, inner frames and new-window requests of the page end up: the window,
the default browser or the file manager, never a second window."""
import os, subprocess, time

from .harness import LOAD_TIMEOUT, GuiTest, click, wait_until, window_box

# Stand-ins for the desktop's browser and file manager, each writing down what it was
# handed: handlers named by a mimeapps.list, and a service owning the file manager's name.
RECORDER = "#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n"
FILE_MANAGER = r'''
import sys
from gi.repository import Gio, GLib
XML = """<node><interface name="org.freedesktop.FileManager1"><method name="ShowItems">
<arg type="as" direction="in"/><arg type="s" direction="in"/></method></interface></node>"""

def call(conn, sender, path, iface, method, params, invocation):
    with open(sys.argv[1], 'a') as f:
        f.write(' '.join(params.unpack()[0]) + '\n')
    invocation.return_value(None)

def bus(conn, name):
    conn.register_object('/org/freedesktop/FileManager1',
                         Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call)

Gio.bus_own_name(Gio.BusType.SESSION, 'org.freedesktop.FileManager1',
                 Gio.BusNameOwnerFlags.DO_NOT_QUEUE, bus,
                 lambda *a: open(sys.argv[2], 'w').close(), lambda *a: sys.exit(3))
GLib.MainLoop().run()
'''

# Three servers: 'home' (the app's page), 'second' (127.0.0.1 too) and 'other', reached
# as localhost. Every request is logged as a 'hit'; every page reports 'seen' once
# loaded and then 'alive' while its scripts run, with its address.
SITE = r'''
import string
TEMPLATE = """<!doctype html><html><body style="margin:0;font:24px sans-serif">%s<script>
const report = what => fetch('/' + what + '?href=' + encodeURIComponent(location.href));
addEventListener('load', () => { report('seen'); setInterval(() => report('alive'), 150); });
</script></body></html>"""

def site(label):
    def get(handler, path, q):
        log('hit', label=label, path=handler.path)
        if path in ('/seen', '/alive'):
            log(path[1:], label=label, href=q.get('href', ''))
            return b''
        if path == '/redirect':
            handler.send_response(302)
            handler.send_header('Location', q['to'])
            handler.send_header('Content-Length', '0')
            handler.end_headers()
            return None
        return TEMPLATE % (BODY if (label, path) == ('home', '/') else label)
    return listen(get).server_address[1]

ports = {label: site(label) for label in ('home', 'other', 'second')}
log('ports', **ports)
BODY = string.Template(BODY).substitute(ports, **EXTRA)
announce(ports['home'])
'''


def spot(i):
    """Style of click target i: a four by two grid below the title strip."""
    return ('position:fixed;display:block;left:%d%%;top:%d%%;width:25%%;height:40%%;'
            'background:#%s' % (25 * (i % 4), 15 + 42 * (i // 4), ('cde', 'edc')[i % 2]))


def link(i, url, target=''):
    return '<a href="%s" %s style="%s">link</a>' % (url, target and 'target="%s"' % target, spot(i))


def opener(i, url):
    return '<div onclick="window.open(\'%s\')" style="%s">open</div>' % (url, spot(i))


AWAY, REDIRECT, OWN_BLANK, POPUP, PLAIN, FOLDER, SECOND = range(7)
PAGE = ''.join([
    link(AWAY, 'http://localhost:$other/away?x=1#part'),
    link(REDIRECT, '/redirect?to=http://localhost:$other/moved'),
    link(OWN_BLANK, 'http://127.0.0.1:$home/own', target='_blank'),
    opener(POPUP, 'http://localhost:$other/popup'),
    opener(PLAIN, '$plain'),
    opener(FOLDER, '$folder'),
    link(SECOND, 'http://127.0.0.1:$second/next'),
    '<iframe src="http://localhost:$other/frame" style="position:fixed;top:40px;left:200px;'
    'width:300px;height:35px;border:0"></iframe>'])


class NavigationTest(GuiTest):
    def set_up_desktop(self):
        apps = os.path.join(self.xdg['XDG_DATA_HOME'], 'applications')
        os.makedirs(apps)
        defaults = ['[Default Applications]']
        for kind, types in (('browser', 'x-scheme-handler/http;x-scheme-handler/https'),
                            ('folders', 'inode/directory')):
            program = os.path.join(self.tmp, kind)
            with open(program, 'w') as f:
                f.write(RECORDER % self.handed_log(kind))
            os.chmod(program, 0o755)
            with open(os.path.join(apps, kind + '.desktop'), 'w') as f:
                f.write('[Desktop Entry]\nType=Application\nName=%s\nExec=%s %%u\nMimeType=%s;\n'
                        % (kind, program, types))
            defaults += ['%s=%s.desktop' % (t, kind) for t in types.split(';')]
        with open(os.path.join(self.xdg['XDG_CONFIG_HOME'], 'mimeapps.list'), 'w') as f:
            f.write('\n'.join(defaults) + '\n')

    def run_file_manager(self):
        ready = os.path.join(self.tmp, 'file-manager.ready')
        proc = subprocess.Popen(['/usr/bin/python3', '-c', FILE_MANAGER,
                                 self.handed_log('file-manager'), ready],
                                stdin=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(10)))
        wait_until(lambda: os.path.exists(ready) or proc.poll() is not None, 20,
                   'the test file manager on the session bus')
        self.assertIsNone(proc.poll(), 'the test file manager could not own its name')

    def handed_log(self, kind):
        return os.path.join(self.tmp, kind + '.log')

    def handed(self, kind):
        """What `kind` (browser, folders, file-manager) was handed, in order."""
        try:
            with open(self.handed_log(kind)) as f:
                return [line.rstrip('\n') for line in f if line.endswith('\n')]
        except FileNotFoundError:
            return []

    def wait_handed(self, kind, count=1):
        return wait_until(lambda: len(self.handed(kind)) >= count and self.handed(kind), 20,
                          lambda: '%d item(s) for the %s: %r' % (count, kind, self.handed(kind)))

    def reports(self, event, label, after=0.0):
        return [e['href'] for e in self.events(event) if e['label'] == label and e['t'] > after]

    def wait_seen(self, label, href):
        wait_until(lambda: href in self.reports('seen', label), LOAD_TIMEOUT,
                   lambda: '%s to show %s; events: %s' % (label, href, self.events('seen')))

    def click(self, i):
        _, _, width, height = window_box(self.wid)
        click(self.wid, width * (0.125 + 0.25 * (i % 4)), height * (0.35 + 0.42 * (i // 4)))

    def test_where_navigation_ends_up(self):
        self.set_up_desktop()
        folder = os.path.join(self.tmp, 'shared folder')
        os.makedirs(folder)
        plain = os.path.join(self.tmp, 'plain.txt')
        open(plain, 'w').close()
        folder = 'file://' + folder.replace(' ', '%20')
        app = self.launch(self.make_bundle('BODY = %r\nEXTRA = %r\n%s' % (
            PAGE, {'plain': 'file://' + plain, 'folder': folder}, SITE)))
        ports = self.wait_event('ports')
        home = 'http://127.0.0.1:%d/' % ports['home']
        other = 'http://localhost:%d/' % ports['other']
        self.wait_seen('home', home)
        self.wid = app.window()

        with self.subTest('inner frame loads another host'):
            self.wait_seen('other', other + 'frame')

        with self.subTest('without a file manager the folder\'s parent opens'):
            self.click(FOLDER)
            handed = self.wait_handed('folders')
            self.assertEqual([h.replace('file://', '', 1) for h in handed], [self.tmp])

        browser = []
        with self.subTest('main frame link to another host goes to the browser'):
            # The local server sending the main frame elsewhere counts as leaving, too.
            for i, url in (AWAY, other + 'away?x=1#part'), (REDIRECT, other + 'moved'):
                self.click(i)
                browser.append(url)
                self.assertEqual(self.wait_handed('browser', len(browser)), browser)

        with self.subTest('new window requests go to the browser'):
            for i, url in (OWN_BLANK, home + 'own'), (POPUP, other + 'popup'):
                self.click(i)
                browser.append(url)
                self.assertEqual(self.wait_handed('browser', len(browser)), browser)

        with self.subTest('new window for a folder shows it in the file manager'):
            self.run_file_manager()
            self.click(PLAIN)   # a plain file: nothing
            self.click(FOLDER)
            self.assertEqual(self.wait_handed('file-manager'), [folder])

        with self.subTest('the page stays, each request handed on once'):
            # Long enough to see a retry of a refused load (a second after it).
            since = time.monotonic()
            wait_until(lambda: len(self.reports('alive', 'home', since)) >= 12, 30,
                       'the home page to stay alive in the window')
            self.assertEqual(set(self.reports('alive', 'home', since)), {home})
            self.assertEqual(self.reports('seen', 'home'), [home])
            self.assertEqual(len(app.windows()), 1)
            self.assertEqual(self.handed('browser'), browser)
            self.assertEqual(len(self.handed('folders')), 1)
            self.assertEqual(self.handed('file-manager'), [folder])
            # Nothing handed on was ever requested by the app itself.
            self.assertNotIn('/own', [e['path'] for e in self.events('hit') if e['label'] == 'home'])
            self.assertEqual([e['path'] for e in self.events('hit') if e['label'] == 'other'
                              and e['path'].startswith(('/away', '/moved', '/popup'))], [])

        with self.subTest('main frame link to 127.0.0.1 on another port stays'):
            self.click(SECOND)
            self.wait_seen('second', 'http://127.0.0.1:%d/next' % ports['second'])
            self.assertEqual(len(app.windows()), 1)
            self.assertEqual(self.handed('browser'), browser)
