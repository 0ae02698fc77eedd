"""Where links, inner frames and new-window requests of the page end up: the window,
the default browser or the file manager, never a second window."""
import os, time

from .browser_kit import Desktop
from .harness import GuiTest, wait_until, xdo, window_box

# Three servers: 'home' (the app's page), 'second' (127.0.0.1 too) and 'other',
# reached as localhost. Every request is logged as a 'hit'; every page reports
# 'seen' once loaded and then 'alive' while its scripts run, with its address.
SITE = r'''
import string
PAGES = {}
TEMPLATE = """<!doctype html><html><body style="margin:0;font:24px sans-serif">%s<script>
const report = what => fetch('/' + what + '?href=' + encodeURIComponent(location.href));
addEventListener('load', () => { report('seen'); setInterval(() => report('alive'), 150); });
</script></body></html>"""

def site(label):
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            url = urlparse(self.path)
            log('hit', label=label, path=self.path)
            if url.path in ('/seen', '/alive'):
                log(url.path[1:], label=label, href=parse_qs(url.query).get('href', [''])[0])
                body = b''
            elif url.path == '/redirect':
                self.send_response(302)
                self.send_header('Location', parse_qs(url.query)['to'][0])
                self.send_header('Content-Length', '0')
                self.end_headers()
                return
            else:
                body = (TEMPLATE % PAGES.get((label, url.path), label)).encode()
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

ports = {label: site(label) for label in ('home', 'other', 'second')}
log('ports', **ports)
PAGES[('home', '/')] = string.Template(BODY).substitute(ports, **EXTRA)
write_open_link('http://127.0.0.1:%d/' % ports['home'])
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\n' % ports['home'])
idle()
'''

# Click targets fill the left or the right half of the window below the title strip.
LEFT = 'position:fixed;top:80px;bottom:0;left:0;width:50%;display:block;background:#cde'
RIGHT = 'position:fixed;top:80px;bottom:0;right:0;width:50%;display:block;background:#edc'


def link(url, side=LEFT, target=''):
    return '<a href="%s" %s style="%s">link</a>' % (url, target and 'target="%s"' % target, side)


def opener(url, side=RIGHT):
    return '<div onclick="window.open(\'%s\')" style="%s">open</div>' % (url, side)


class NavigationTest(GuiTest):
    def setUp(self):
        super().setUp()
        self.desktop = Desktop(self)

    def open_page(self, body, **extra):
        """Starts the app on a page of 'home' with `body`; returns the servers' ports."""
        bundle = self.make_bundle('BODY = %r\nEXTRA = %r\n%s' % (body, extra, SITE))
        self.app = self.launch(bundle)
        ports = self.wait_event('ports')
        self.home = 'http://127.0.0.1:%d/' % ports['home']
        self.wait_seen('home', self.home)
        self.wid = self.app.window()
        return ports

    def reports(self, event, label, after=0.0):
        return [e['href'] for e in self.events(event) if e['label'] == label and e['t'] > after]

    def wait_seen(self, label, href):
        wait_until(lambda: href in self.reports('seen', label), 40,
                   lambda: '%s to show %s; events: %s' % (label, href, self.events('seen')))

    def click(self, side):
        _, _, width, height = window_box(self.wid)
        xdo('mousemove', '--window', self.wid, str(width // 4 if side == LEFT else width * 3 // 4),
            str(height // 2), 'click', '1')

    def assert_home_stays(self, since):
        """The home page keeps running in the window after `since`, at its own address,
        loaded once: long enough to see a retry of a refused load (a second after it)."""
        wait_until(lambda: len(self.reports('alive', 'home', since)) >= 12, 30,
                   'the home page to stay alive in the window')
        self.assertEqual(set(self.reports('alive', 'home', since)), {self.home})
        self.assertEqual(self.reports('seen', 'home'), [self.home])
        self.assertEqual(len(self.app.windows()), 1)

    def paths(self, label):
        return [e['path'] for e in self.events('hit') if e['label'] == label]

    def test_main_frame_link_to_another_host_goes_to_the_browser(self):
        ports = self.open_page(link('http://localhost:$other/away?x=1#part')
                               + link('/redirect?to=http://localhost:$other/moved', RIGHT))
        self.click(LEFT)
        away = 'http://localhost:%d/away?x=1#part' % ports['other']
        self.assertEqual(self.desktop.wait_handed('browser'), [away])
        self.assert_home_stays(time.monotonic())
        self.assertEqual(self.desktop.handed('browser'), [away])  # once
        # The local server sending the main frame elsewhere counts as leaving, too.
        self.click(RIGHT)
        moved = 'http://localhost:%d/moved' % ports['other']
        self.assertEqual(self.desktop.wait_handed('browser', 2), [away, moved])
        self.assert_home_stays(time.monotonic())
        self.assertEqual(self.desktop.handed('browser'), [away, moved])
        self.assertEqual(self.paths('other'), [])

    def test_main_frame_link_to_127_0_0_1_on_another_port_stays(self):
        ports = self.open_page(link('http://127.0.0.1:$second/next'))
        self.click(LEFT)
        self.wait_seen('second', 'http://127.0.0.1:%d/next' % ports['second'])
        self.assertEqual(len(self.app.windows()), 1)
        self.assertEqual(self.desktop.handed('browser'), [])

    def test_inner_frame_loads_another_host(self):
        body = ('<iframe src="http://localhost:$other/frame" style="position:fixed;top:80px;'
                'width:400px;height:300px"></iframe>')
        ports = self.open_page(body)
        self.wait_seen('other', 'http://localhost:%d/frame' % ports['other'])
        self.assert_home_stays(time.monotonic())
        self.assertEqual(self.desktop.handed('browser'), [])

    def test_new_window_requests_go_to_the_browser(self):
        ports = self.open_page(link('http://127.0.0.1:$home/own', target='_blank')
                               + opener('http://localhost:$other/popup'))
        self.click(LEFT)
        own = 'http://127.0.0.1:%d/own' % ports['home']
        self.assertEqual(self.desktop.wait_handed('browser'), [own])
        self.click(RIGHT)
        popup = 'http://localhost:%d/popup' % ports['other']
        self.assertEqual(self.desktop.wait_handed('browser', 2), [own, popup])
        self.assert_home_stays(time.monotonic())
        self.assertEqual(self.desktop.handed('browser'), [own, popup])
        self.assertNotIn('/own', self.paths('home'))
        self.assertEqual(self.paths('other'), [])

    def folders(self):
        folder = os.path.join(self.tmp, 'shared folder')
        os.makedirs(folder)
        plain = os.path.join(self.tmp, 'plain.txt')
        open(plain, 'w').close()
        return 'file://' + plain, 'file://' + folder.replace(' ', '%20')

    def test_new_window_for_a_folder_shows_it_in_the_file_manager(self):
        self.desktop.run_file_manager()
        plain, folder = self.folders()
        self.open_page(opener('$plain', LEFT) + opener('$folder'), plain=plain, folder=folder)
        self.click(LEFT)   # a plain file: nothing
        self.click(RIGHT)
        self.assertEqual(self.desktop.wait_handed('file-manager'), [folder])
        self.assertEqual(self.desktop.handed('browser') + self.desktop.handed('folders'), [])

    def test_without_a_file_manager_the_folders_parent_opens(self):
        _, folder = self.folders()
        self.open_page(opener('$folder', LEFT), folder=folder)
        self.click(LEFT)
        handed = self.desktop.wait_handed('folders')
        self.assertEqual([h.replace('file://', '', 1) for h in handed], [self.tmp])
