"""The page's two messages: the areas of the strip it keeps for itself, and the
appearance it wants, seen from the page through prefers-color-scheme."""
from .harness import wait_until
from .test_window_drag import STEP_TIMEOUT, StripTest


class BridgeTest(StripTest):
    def scheme_after(self, *messages):
        """Posts messages; returns whether the page's next colour-scheme change made it dark."""
        seen = len(self.events('scheme'))
        self.post(*messages)
        got = wait_until(lambda: self.events('scheme')[seen:], STEP_TIMEOUT,
                         lambda: 'the page to change its colour scheme after %r' % (messages,))[0]
        self.assertEqual(got['styled'], got['dark'])
        return got['dark']

    def unchanged_by(self, *messages):
        """Posts messages followed by an area the page keeps; once a press there reaches the
        page, every message before it has been handled. Returns whether the page was
        dark at that press."""
        self.post(*messages, ('noDrag', '[[300, 0, 40, 36]]'))
        return self.probe(310, 10)['dark']


class AppearanceTest(BridgeTest):
    def test_page_sets_the_appearance(self):
        self.assertIs(self.events('loaded')[0]['dark'], False)
        self.assertIs(self.scheme_after(('appearance', 'dark')), True)
        self.assertIs(self.scheme_after(('appearance', 'light')), False)
        self.assertIs(self.scheme_after(('appearance', 'dark')), True)
        # A string body that is not a keyword (case counts) means the desktop's choice.
        self.assertIs(self.scheme_after(('appearance', 'Dark')), False)
        self.assertIs(self.scheme_after(('appearance', 'dark')), True)
        self.assertIs(self.unchanged_by(('appearance', 7), ('appearance', ['light'])), True)
        self.assertIs(self.scheme_after(('appearance', '')), False)


class DarkDesktopAppearanceTest(BridgeTest):
    # libadwaita's stand-in for the desktop's colour-scheme setting.
    app_env = {'ADW_DEBUG_COLOR_SCHEME': 'prefer-dark'}

    def test_other_strings_follow_the_desktop(self):
        self.assertIs(self.events('loaded')[0]['dark'], True)
        self.assertIs(self.scheme_after(('appearance', 'light')), False)
        self.assertIs(self.scheme_after(('appearance', 'system')), True)


class NoDragMessageTest(BridgeTest):
    def test_malformed_lists_leave_the_last_one(self):
        self.post(('noDrag', '[[400, 0, 60, 36]]'))
        self.probe(430, 10)
        # Each of these is dropped whole; the appearance change behind them shows that
        # the app has been through all of them.
        self.assertIs(self.scheme_after(
            ('noDrag', '{"a": 1}'),
            ('noDrag', [[500, 0, 60, 36]]),         # an array, not JSON text
            ('noDrag', '[[500, 0, 60, "36"]]'),
            ('noDrag', '[[500, 0, 60, 36], 5]'),
            ('noDrag', '[[500, 0, 60, 36'),
            ('noDrag', 7),
            ('appearance', 'dark')), True)
        self.reaches_page(430, 10)
        self.drags(510, 10)

        # Inner lists of the wrong length are the only thing dropped on their own.
        self.post(('noDrag', '[[1, 2, 3], [500, 0, 60, 36, 1], [520, 0, 20, 36]]'))
        self.probe(530, 10)
        self.drags(430, 10)
        self.drags(510, 10)
