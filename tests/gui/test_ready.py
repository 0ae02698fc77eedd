"""Which page the app shows: the one open-link names, once the server has announced
itself on stdout or stderr in a line of its own, however it was written."""
import re

from .harness import GuiTest

# The announced port serves a decoy page: loading it would show up as 'announced'.
FROM_OPEN_LINK = '''
decoy, real = serve('announced'), serve('real')
write_open_link('http://127.0.0.1:%d/landing?via=open-link' % real)
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\\n' % decoy)
idle()
'''

SPLIT = '''
port = serve('real')
write_open_link('http://127.0.0.1:%d/?via=open-link' % port)
watch_stdin()
say('booting\\nMirovan Velto on http://127.0.')
time.sleep(0.7)   # lands in a separate read on the app's side
say('0.1:%d ready\\n' % port)
idle()
'''

# Lines that look close to an announcement; while they are the newest output,
# open-link points at a page the app must never show.
NEAR_MISSES = '''
wrong, real = serve('wrong'), serve('real')
write_open_link('http://127.0.0.1:%d/' % wrong)
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d\\n' % wrong)
say(' Mirovan Velto on http://127.0.0.1:%d ready\\n' % wrong)
say('Mirovan Velto on http://localhost:%d ready\\n' % wrong)
say('Mirovan Velto on http://127.0.0.1:%d' % wrong)
time.sleep(1.5)
write_open_link('http://127.0.0.1:%d/' % real)
say('\\nMirovan Velto on http://127.0.0.1:%d ready\\n' % real)
idle()
'''


class ReadinessTest(GuiTest):
    def test_which_page_is_shown(self):
        for case, server, path in (
                ('page address comes from open-link', FROM_OPEN_LINK, '/landing?via=open-link'),
                ('announcement split across writes', SPLIT, '/?via=open-link'),
                ('announcement on stderr', 'standard(sys.stderr)', '/?via=open-link'),
                ('near misses are not announcements', NEAR_MISSES, '/')):
            with self.subTest(case):
                app = self.start(server)
                seen = self.events('seen', app.started)
                self.assertEqual([e['label'] for e in seen], ['real'])
                self.assertRegex(seen[0]['href'], r'^http://127\.0\.0\.1:\d+%s$' % re.escape(path))
                self.assertEqual(seen[0]['text'], 'Page real')
                app.quit()
