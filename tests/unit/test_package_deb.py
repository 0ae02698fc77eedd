"""Builds a .deb from a copy of the built bundle and checks what it would install (nothing is installed)."""

import os
import plistlib
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(TOP, "tools", "package")
BUNDLE = os.environ.get("MIROVAN_BUNDLE", "")
SIGN = os.environ.get("MIROVAN_SIGN", "")
KEY = os.environ.get("MIROVAN_DEV_KEY", "")
APP_ID = "org.mirovan.Mirovan"
# A space and a double quote make the menu entry's Exec need quoting and escaping.
NAME = 'Mirovan "Preview"'


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def exec_argv(value):
    """Exec= as a desktop environment reads it: string escapes, then %%, then the quoting."""
    value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
                   .get(m.group(1), m.group(0)), value)
    return shlex.split(value.replace("%%", "%"))


@unittest.skipUnless(BUNDLE and SIGN and KEY, "needs MIROVAN_BUNDLE, MIROVAN_SIGN and MIROVAN_DEV_KEY")
class PackageDebTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        self.env = dict(os.environ, MIROVAN_SIGN=os.path.abspath(SIGN))

    def test_deb_installs_the_bundle_and_its_desktop_files(self):
        bundle = os.path.join(self.tmp, "Mirovan.app")
        shutil.copytree(BUNDLE, bundle, symlinks=True)
        plist = os.path.join(bundle, "Contents", "Info.plist")
        with open(plist, "rb") as f:
            info = plistlib.load(f)
        info["CFBundleName"] = NAME
        info["MirovanUpdateURL"] = "https://example.org/feed.json"
        with open(plist, "wb") as f:
            plistlib.dump(info, f)
        out = os.path.join(self.tmp, "out")
        built = run(PACKAGE, "deb", bundle, out, "--key", KEY, env=self.env)
        self.assertEqual(built.returncode, 0, built.stderr)
        debs = os.listdir(out)
        self.assertEqual(len(debs), 1, debs)
        self.assertRegex(debs[0], r"^org\.mirovan\.mirovan_%s_[a-z0-9-]+\.deb$" % re.escape(info["CFBundleVersion"]))
        deb = os.path.join(out, debs[0])

        fields = run("dpkg-deb", "--info", deb).stdout
        self.assertRegex(fields, r"(?m)^ Package: org\.mirovan\.mirovan$")
        self.assertRegex(fields, r"(?m)^ Version: %s$" % re.escape(info["CFBundleVersion"]))
        depends = re.search(r"(?m)^ Depends: (.*)$", fields).group(1)
        for needed in ("libwebkitgtk-6.0-4", "libadwaita-1-0"):
            self.assertRegex(depends, r"(^|, )%s( |,|$)" % re.escape(needed))

        opt = "/opt/%s/%s.app" % (APP_ID, NAME)
        desktop = "/usr/share/applications/%s.desktop" % APP_ID
        icon = "/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID
        meta = "/usr/share/metainfo/%s.metainfo.xml" % APP_ID
        listing = run("dpkg-deb", "--contents", deb).stdout
        for path in (opt + "/Contents/Info.plist", desktop, icon, meta):
            self.assertIn(" ." + path + "\n", listing)

        tree = os.path.join(self.tmp, "tree")
        self.assertEqual(run("dpkg-deb", "-x", deb, tree).returncode, 0)
        checked = run("desktop-file-validate", tree + desktop)
        self.assertEqual((checked.returncode, checked.stdout.strip()), (0, ""), checked.stdout + checked.stderr)
        checked = run("appstreamcli", "validate", "--no-net", tree + meta)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

        with open(tree + desktop, encoding="utf-8") as f:
            entry = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        program = exec_argv(entry["Exec"])
        self.assertEqual(program, [opt + "/Contents/Linux/" + info["CFBundleExecutable"]])
        self.assertTrue(os.access(tree + program[0], os.X_OK), program)

        with open(tree + opt + "/Contents/Info.plist", "rb") as f:
            self.assertNotIn("MirovanUpdateURL", plistlib.load(f))
        verified = run(self.env["MIROVAN_SIGN"], "verify", tree + opt)
        self.assertEqual(verified.returncode, 0, verified.stderr)

    def test_no_info_plist_writes_nothing(self):
        bundle = os.path.join(self.tmp, "Broken.app")
        shutil.copytree(BUNDLE, bundle, symlinks=True)
        os.unlink(os.path.join(bundle, "Contents", "Info.plist"))
        out = os.path.join(self.tmp, "out")
        built = run(PACKAGE, "deb", bundle, out, env=self.env)
        self.assertNotEqual(built.returncode, 0)
        self.assertIn("Info.plist", built.stderr)
        self.assertFalse(os.path.exists(out) and os.listdir(out))


if __name__ == "__main__":
    unittest.main()
