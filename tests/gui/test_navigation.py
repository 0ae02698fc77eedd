"""Where links, inner frames and new-window requests of the page end up (the window, the
default browser or the file manager, never a second window); reload, the recovery page,
the retry that brings the server's page back after failed loads or an ended page process;
and the appearance 'system' on a dark desktop."""
import os, signal, subprocess, time, urllib.request

from .harness import (LOAD_TIMEOUT, STEP_TIMEOUT, GuiTest, click, press_in_page, read_proc, retry, run, wait_until,
                      window_box, wm_state)

# A stand-in for the desktop's file manager, writing down what it was handed: a service
# owning the file manager's name (the browser's is the harness's).
FILE_MANAGER = r'''
import json, sys
from gi.repository import Gio, GLib
XML = """<node><interface name="org.freedesktop.FileManager1"><method name="ShowItems">
<arg type="as" direction="in"/><arg type="s" direction="in"/></method></interface></node>"""

def call(conn, sender, path, iface, method, params, invocation):
    with open(sys.argv[1], 'a') as f:
        f.write(json.dumps({'event': 'handed', 'kind': 'file-manager', 'item': ' '.join(params.unpack()[0]), 't': 0}) + '\n')
    invocation.return_value(None)

Gio.bus_own_name(Gio.BusType.SESSION, 'org.freedesktop.FileManager1', Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                 lambda conn, name: conn.register_object('/org/freedesktop/FileManager1',
                                                         Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call),
                 None, lambda *a: sys.exit(3))
GLib.MainLoop().run()
'''

# Servers 'home' (the app's page), 'second' (127.0.0.1 too) and 'other' (as localhost). Home's
# page reports 'alive' while it runs and 'later' 3 s after loading. /drop has home close
# requests unanswered ('dropped'); /close?s=N closes its socket for N seconds ('reopened').
SITE = r'''
import string
servers, dropping = {}, []

def route(handler, path, q):
    if path == '/redirect':
        handler.send_response(302)
        handler.send_header('Location', q['to'])
        handler.end_headers()
        return True
    if path == '/drop':
        dropping.append(True)
        return ''
    if path == '/close':
        threading.Thread(target=close, args=(float(q['s']),)).start()
        return ''
    if dropping:
        log('dropped', path=handler.path)
        handler.close_connection = True
        return True

def close(seconds):
    port = servers['home'].server_address[1]
    servers['home'].shutdown()
    servers['home'].server_close()
    dropping.clear()
    time.sleep(seconds)
    servers['home'] = page_server(BODY, 'home', route, port)
    log('reopened')

servers.update({label: page_server(page(label), label, route) for label in ('other', 'second')},
               home=page_server(lambda: BODY, 'home', route))
ports = {label: s.server_address[1] for label, s in servers.items()}
log('ports', **ports)
BODY = page(string.Template(BODY).substitute(ports, **EXTRA) + """<script>
setInterval(() => report('alive', {href: location.href}), 150);
addEventListener('load', () => setTimeout(() => report('later', {id}), 3000));
</script>""")
announce(ports['home'], '/app?x=1')
'''


# Click targets in a four by two grid below the strip and the inner frame.
TARGETS = [('away', '<a href="http://localhost:$other/away?x=1#part">'),
           ('redirect', '<a href="/redirect?to=http://localhost:$other/moved">'),
           ('own blank', '<a href="http://127.0.0.1:$home/own" target=_blank>'),
           ('popup', '<a onclick="window.open(\'http://localhost:$other/popup\')">'),
           ('plain', '<a onclick="window.open(\'$plain\')">'),
           ('folder', '<a onclick="window.open(\'$folder\')">'),
           ('second', '<a href="http://127.0.0.1:$second/elsewhere?y=2">')]
PAGE = ('<div style="position:fixed;inset:15% 0 3% 0;display:grid;grid:1fr 1fr/repeat(4,1fr)">'
        + ''.join(tag + name + '</a>' for name, tag in TARGETS) + '</div><iframe src="http://localhost:$other/frame" '
        'style="position:fixed;top:40px;left:200px;width:300px;height:35px;border:0"></iframe>')


class NavigationTest(GuiTest):
    def seen(self, label, href, since=0):
        return self.wait_event('seen', LOAD_TIMEOUT, since, lambda e: (e['label'], e['href']) == (label, href))

    def hrefs(self, event, label, since=0):
        return [e['href'] for e in self.events(event, since) if e['label'] == label]

    def paths(self, label, since=0):
        return [e['path'] for e in self.events('get', since) if e['label'] == label and e['path'] != '/favicon.ico']

    def click(self, target):
        i, (_, _, width, height) = [name for name, _ in TARGETS].index(target), window_box(self.wid)
        click(self.wid, width * (0.125 + 0.25 * (i % 4)), height * (0.355 + 0.41 * (i // 4)))

    def open_site(self):
        """Starts the app on the site; returns the app, the page's first report, the ports,
        the home and other addresses and the folder's."""
        self.fake_handlers()
        plain, folder = os.path.join(self.tmp, 'plain.txt'), os.path.join(self.tmp, 'shared folder')
        self.write(plain, '')
        os.makedirs(folder)
        folder = 'file://' + folder.replace(' ', '%20')
        app = self.launch(self.make_bundle('BODY = %r\nEXTRA = %r\n%s' % (
            PAGE, {'plain': 'file://' + plain, 'folder': folder}, SITE)),
            {'ADW_DEBUG_COLOR_SCHEME': 'prefer-dark'})   # libadwaita's stand-in for a dark desktop
        ports = self.wait_event('ports')
        home, other = 'http://127.0.0.1:%d/app?x=1' % ports['home'], 'http://localhost:%d/' % ports['other']
        first = self.seen('home', home)
        self.wid = app.window()
        return app, first, ports, home, other, folder

    def test_what_leaves_the_window(self):
        app, first, ports, home, other, folder = self.open_site()

        with self.subTest('inner frame loads another host'):
            self.seen('other', other + 'frame')

        with self.subTest('appearance strings but light and dark follow the desktop'):
            self.assertIs(first['dark'], True)
            for word, dark in ('light', False), ('system', True):
                since = time.monotonic()
                self.post(('appearance', word))
                self.wait_event('scheme', STEP_TIMEOUT, since, lambda e: e['dark'] is dark)

        with self.subTest('without a file manager the folder\'s parent opens'):
            self.click('folder')
            self.assertEqual([h.replace('file://', '', 1) for h in self.wait_handed('folders')], [self.tmp])

        browser = []
        with self.subTest('links to another host and new windows go to the browser'):
            # The local server sending the main frame elsewhere counts as leaving, too.
            for i, url in (('away', other + 'away?x=1#part'), ('redirect', other + 'moved'),
                           ('own blank', 'http://127.0.0.1:%d/own' % ports['home']), ('popup', other + 'popup')):
                self.click(i)
                browser.append(url)
                self.assertEqual(self.wait_handed('browser', len(browser)), browser)

        with self.subTest('new window for a folder shows it in the file manager'):
            proc = subprocess.Popen(['/usr/bin/python3', '-c', FILE_MANAGER, os.path.join(self.out, 'events.jsonl')],
                                    stdin=subprocess.DEVNULL, start_new_session=True)
            self.addCleanup(lambda: (proc.terminate(), proc.wait(10)))
            run('gdbus', 'wait', '--session', '--timeout', '20', 'org.freedesktop.FileManager1')
            self.click('plain')   # a plain file: nothing
            self.click('folder')
            self.assertEqual(self.wait_handed('file-manager'), [folder])

        with self.subTest('the page stays, each request handed on once'):
            # Long enough to see a retry of a refused load (a second after it).
            since = time.monotonic()
            wait_until(lambda: len(self.hrefs('alive', 'home', since)) >= 12, 30, 'the home page to stay alive')
            # Nothing handed on was ever requested by the app itself.
            self.assertEqual((set(self.hrefs('alive', 'home', since)), self.hrefs('seen', 'home'), len(app.windows()),
                              [len(self.handed(kind)) for kind in ('browser', 'folders', 'file-manager')],
                              self.paths('home'), self.paths('other')),
                             ({home}, [home], 1, [len(browser), 1, 1], ['/app?x=1'], ['/frame']))

    def test_the_page_process_ends_or_hangs(self):
        app = self.start()

        def page_process():   # the app's one WebKitWebProcess, under the sandbox's launchers
            def descendants():
                parents = {int(p): read_proc(int(p), 'stat').rpartition(')')[2].split()[1:2]
                           for p in os.listdir('/proc') if p.isdigit()}
                family = {app.pid}
                while grown := {p for p, parent in parents.items() if parent and int(parent[0]) in family} - family:
                    family |= grown
                return [p for p in family if read_proc(p, 'exe').endswith('/WebKitWebProcess')]
            return wait_until(descendants, STEP_TIMEOUT, 'a web process')[0]

        with self.subTest('ended once: the page comes back by itself'):
            since = time.monotonic()
            os.kill(page_process(), signal.SIGKILL)
            self.wait_event('seen', LOAD_TIMEOUT, since)
        with self.subTest('ended again within 30 s: the window says so and stays'):
            os.kill(page_process(), signal.SIGKILL)
            self.wait_text('The page stopped unexpectedly', 'Reload loads it again')
        with self.subTest('Reload brings it back'):
            since = time.monotonic()
            press_in_page(app.wid, 'ctrl+r')
            self.wait_event('seen', LOAD_TIMEOUT, since)
        with self.subTest('a hung page does not hold the shortcuts'):
            hung = page_process()
            os.kill(hung, signal.SIGSTOP)
            self.addCleanup(lambda: read_proc(hung, 'stat') and os.kill(hung, signal.SIGCONT))
            # WebKit finds the process unresponsive a few seconds after a key it does not answer.
            retry(lambda: press_in_page(app.wid, 'ctrl+m'), lambda: '_NET_WM_STATE_HIDDEN' in wm_state(app.wid),
                  'a minimised window', timeout=LOAD_TIMEOUT, each=5)

    def test_reload_recovery_and_retry(self):
        app, first, ports, home, _, _ = self.open_site()
        with self.subTest('127.0.0.1 on another port stays; reload and recovery load the server\'s page'):
            since = time.monotonic()
            self.click('second')
            away = self.seen('second', 'http://127.0.0.1:%d/elsewhere?y=2' % ports['second'])
            self.assertEqual(len(app.windows()), 1)
            self.assertEqual(self.handed('browser'), [])
            press_in_page(self.wid, 'ctrl+r')   # the server's page itself, not the page on show
            back = self.seen('home', home, away['t'])
            press_in_page(self.wid, 'ctrl+alt+r')   # the recovery page keeps the page's query
            self.seen('home', home.replace('/app?', '/shell?'), back['t'])
            self.assertEqual(self.paths('home', since), ['/app?x=1', '/shell?x=1'])

        with self.subTest('failed loads are retried until the server answers'):
            steer = lambda order: urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
                home.replace('/app?x=1', order), timeout=10).read()
            steer('/drop')
            press_in_page(self.wid, 'ctrl+r')
            attempts = lambda: [e['t'] for e in self.events('dropped') if e['path'] == '/app?x=1']
            times = wait_until(lambda: len(attempts()) >= 4 and attempts(), STEP_TIMEOUT,
                               lambda: 'four load attempts; the server saw %s' % self.events('dropped'))
            gaps = [b - a for a, b in zip(times, times[1:])]
            self.assertTrue(all(0.8 < gap < 2.5 for gap in gaps), 'one attempt a second: %s' % gaps)
            # Refused connections keep the loop going; the page is back once the server is.
            steer('/close?s=2.5')
            reopened = self.wait_event('reopened', STEP_TIMEOUT)['t']
            page = self.seen('home', home, reopened)
            self.assertNotEqual(page['id'], first['id'])
            self.assertLess(self.wait_event('get', 0, reopened, lambda e: e['label'] == 'home')['t'] - reopened, 2.5)
            # And the loop ends there: nothing more is loaded while the page lives on.
            self.wait_event('later', STEP_TIMEOUT, where=lambda e: e['id'] == page['id'])
            self.assertEqual(self.paths('home', reopened), ['/app?x=1'])
