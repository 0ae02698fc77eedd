"""Packs a copy of the built bundle as users get it: its own Python (tools/package python),
then a .deb (tools/package deb), which is inspected and unpacked, not installed. The
unpacked bundle, moved by the unpacking, runs its server with the system's Python library
hidden."""
import http.client, os, plistlib, re, select, shlex, shutil, subprocess, tempfile, time, unittest, urllib.parse

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(TOP, "tools", "package")
BUNDLE, SIGN, KEY = (os.environ.get(k, "") for k in ("MIROVAN_BUNDLE", "MIROVAN_SIGN", "MIROVAN_DEV_KEY"))
APP_ID = "org.mirovan.Mirovan"
NAME = 'Mirovan "Preview"'   # a space and a double quote: the menu entry's Exec must quote and escape
DEADLINE = 10.0


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def exec_argv(value):
    """Exec= as a desktop environment reads it: string escapes, then %%, then the quoting."""
    value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
                   .get(m.group(1), m.group(0)), value)
    return shlex.split(value.replace("%%", "%"))


def hidden_system_python():
    """The library tools/package copies from, and dist-packages: what the bundle must do without."""
    stdlib = run("/usr/bin/python3", "-I", "-c", "import sysconfig; print(sysconfig.get_path('stdlib'))").stdout.strip()
    return [f for f in (stdlib, "/usr/lib/python3/dist-packages") if os.path.isdir(f)]


@unittest.skipUnless(BUNDLE and SIGN and KEY, "needs MIROVAN_BUNDLE, MIROVAN_SIGN and MIROVAN_DEV_KEY")
class PackageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = self.enterContext(tempfile.TemporaryDirectory())
        self.env = dict(os.environ, MIROVAN_SIGN=os.path.abspath(SIGN))

    def ok(self, *command):
        done = run(*command, env=self.env)
        self.assertEqual(done.returncode, 0, f"{shlex.join(command)}:\n{done.stdout}{done.stderr}")
        return done.stdout

    def test_python_then_deb(self):
        bundle = os.path.join(self.tmp, "Mirovan.app")
        shutil.copytree(BUNDLE, bundle, symlinks=True)
        plist = os.path.join(bundle, "Contents", "Info.plist")
        with open(plist, "rb") as f:
            info = plistlib.load(f)
        with open(plist, "wb") as f:
            plistlib.dump(dict(info, CFBundleName=NAME, MirovanUpdateURL="https://example.org/feed.json"), f)
        self.ok(PACKAGE, "python", bundle, "--key", KEY)
        out = os.path.join(self.tmp, "out")
        # What the server needs beside the bundle, repeated or comma-separated.
        self.ok(PACKAGE, "deb", bundle, out, "--key", KEY, "--depends", "nodejs(>=18)",
                "--depends", "syncthing, nodejs (>= 18)")
        deb = os.path.join(out, "org.mirovan.mirovan_%s_%s.deb" % (info["CFBundleVersion"],
                                                                   self.ok("dpkg", "--print-architecture").strip()))
        self.assertEqual(os.listdir(out), [os.path.basename(deb)])

        depends = re.search(r"(?m)^ Depends: (.*)$", self.ok("dpkg-deb", "--info", deb)).group(1)
        # libplist is loaded at run time, so only the tool can name it, by this release's name.
        multiarch = self.ok("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
        plist = run("dpkg-query", "-S", "*/%s/libplist-2.0.so.*" % multiarch).stdout.split(":")[0]
        for needed in ("libwebkitgtk-6.0-4", "libadwaita-1-0", re.escape(plist), "syncthing", r"nodejs \(>= 18\)"):
            self.assertRegex(depends, r"(^|, )%s( |,|$)" % needed)
        self.assertEqual(depends.count("nodejs"), 1)
        opt = "/opt/%s/%s.app" % (APP_ID, NAME)
        desktop, meta = "/usr/share/applications/%s.desktop" % APP_ID, "/usr/share/metainfo/%s.metainfo.xml" % APP_ID
        listing = self.ok("dpkg-deb", "--contents", deb)
        for path in (opt + "/Contents/Info.plist", desktop, meta, "/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID):
            self.assertIn(" ." + path + "\n", listing)

        tree = os.path.join(self.tmp, "tree")
        self.ok("dpkg-deb", "-x", deb, tree)
        self.assertEqual(self.ok("desktop-file-validate", tree + desktop), "")
        self.ok("appstreamcli", "validate", "--no-net", tree + meta)
        with open(tree + desktop, encoding="utf-8") as f:
            entry = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        self.assertEqual(exec_argv(entry["Exec"]), [opt + "/Contents/Linux/" + info["CFBundleExecutable"]])
        with open(tree + opt + "/Contents/Info.plist", "rb") as f:
            self.assertNotIn("MirovanUpdateURL", plistlib.load(f))   # the package manager updates it
        self.ok(SIGN, "verify", tree + opt)
        # Sonames that differ between Debian 12 and 13 would tie the program to the release it
        # was built on.
        needed = self.ok("readelf", "-d", tree + opt + "/Contents/Linux/" + info["CFBundleExecutable"])
        self.assertNotRegex(needed, r"NEEDED.*\[lib(plist|utf8proc)")
        self.serves(tree + opt)

    def serves(self, moved):
        """The bundle's own interpreter, with everything on its path inside the bundle, runs
        the server where the system's Python library is hidden."""
        python = os.path.join(moved, "Contents", "Resources", "python", "bin", "python3")
        app = os.path.join(moved, "Contents", "Resources", "app")
        # -s: the user's own site-packages would be on any interpreter's path.
        for path in self.ok(python, "-s", "-c", "import sys; print('\\n'.join([sys.prefix] + sys.path[1:]))").splitlines():
            self.assertTrue(path.startswith(moved + os.sep), f"{path} is outside the moved bundle")
        if run("unshare", "-rm", "true").returncode != 0:
            self.skipTest("no private mount namespace here to hide the system's Python library in")
        mounts = " && ".join("mount -t tmpfs tmpfs " + shlex.quote(f) for f in hidden_system_python())
        data = os.path.join(self.tmp, "data")
        proc = self.enterContext(subprocess.Popen(
            ["unshare", "-rm", "sh", "-c", mounts + ' && exec "$@"', "sh",
             python, "-B", os.path.join(app, "serve.py"), "--port", "0", "--watch-stdin"],
            cwd=app, env=dict(os.environ, MIROVAN_DATA=data, PYTHONDONTWRITEBYTECODE="1"),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0))
        self.addCleanup(proc.kill)   # before leaving the context waits for it
        said, end = "", time.monotonic() + DEADLINE
        while not re.search(r"(?m)^Mirovan Velto on http://127\.0\.0\.1:\d+ ", said):
            self.assertTrue(select.select([proc.stdout], [], [], max(0.0, end - time.monotonic()))[0],
                            f"no readiness line within {DEADLINE}s:\n{said}")
            line = proc.stdout.readline().decode(errors="replace")
            self.assertTrue(line, f"ended before the readiness line (status {proc.poll()}):\n{said}")
            said += line
        with open(os.path.join(data, "open-link"), encoding="utf-8") as f:
            url = urllib.parse.urlsplit(f.read().strip())
        conn = http.client.HTTPConnection(url.hostname, url.port, timeout=DEADLINE)   # no proxy
        self.addCleanup(conn.close)
        conn.request("GET", url.path or "/")
        self.assertEqual(conn.getresponse().status, 200)
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=DEADLINE), 0)

    def test_no_info_plist_changes_and_writes_nothing(self):
        bundle = os.path.join(self.tmp, "Broken.app")
        shutil.copytree(BUNDLE, bundle, symlinks=True)
        os.unlink(os.path.join(bundle, "Contents", "Info.plist"))
        out = os.path.join(self.tmp, "out")
        for command in ("python", bundle), ("deb", bundle, out):
            built = run(PACKAGE, *command, env=self.env)
            self.assertNotEqual(built.returncode, 0)
            self.assertIn("Info.plist", built.stderr)
        self.assertFalse(os.path.exists(out))
        launcher = os.path.join("Contents", "Resources", "python", "bin", "python3")
        with open(os.path.join(bundle, launcher), "rb") as mine, open(os.path.join(BUNDLE, launcher), "rb") as built:
            self.assertEqual(mine.read(), built.read())   # the interpreter was left as it was


if __name__ == "__main__":
    unittest.main()
