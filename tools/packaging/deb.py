"""Writes a .deb that installs a bundle system-wide, for the package manager to keep up to date.

    tools/package deb BUNDLE.app OUTDIR [--depends PACKAGE]... [--key KEY]

Writes OUTDIR/<package>_<version>_<arch>.deb: the package name is CFBundleIdentifier in
lower case (characters other than a-z, 0-9, '.', '+' and '-' become '-'), the version is
CFBundleVersion and the architecture this system's (dpkg --print-architecture). It installs

    /opt/<CFBundleIdentifier>/<CFBundleName>.app                 the bundle, owned by root
    /usr/share/applications/<CFBundleIdentifier>.desktop         the menu entry
    /usr/share/icons/hicolor/.../apps/<CFBundleIdentifier>.svg|png   CFBundleIconFile, if any
    /usr/share/metainfo/<CFBundleIdentifier>.metainfo.xml        for software centres

The packaged Info.plist has no MirovanUpdateURL: the package manager updates this copy, and
the app's own updater is off. Removing the key changes Info.plist, so with --key the packaged
bundle is signed again; without it its signature no longer matches (a warning says so).

Depends is worked out by dpkg-shlibdeps from every ELF file in the bundle, plus python3 when
the bundle's interpreter is a launcher of the system's, plus what --depends adds (a package
the server needs, e.g. --depends syncthing or --depends "nodejs (>= 18)"; repeatable or
comma-separated, alternatives with "|"). Optional Info.plist keys:
MirovanSummary (one line), MirovanLicense (an SPDX expression, default
LicenseRef-proprietary), MirovanMaintainer ("Name <address>").

Needs dpkg-dev, desktop-file-utils and appstream (tools/debian-packages.txt). mirovan-sign
(only for --key) is taken from $MIROVAN_SIGN, else from PATH, else from the build tree
($MIROVAN_BUILD or build/).
"""
import datetime, math, os, plistlib, re, shutil, stat, subprocess, sys, tempfile, textwrap, urllib.parse

import signing
import xml.etree.ElementTree as ET

PNG_SIGNATURE = b'\x89PNG\r\n\x1a\n'
ICON_SIZES = (16, 22, 24, 32, 48, 64, 96, 128, 256, 512)
# The program loads libplist at run time by the first of these it finds (as
# src/platform/PropertyList.cpp), so dpkg-shlibdeps cannot see it.
PLIST_SONAMES = ('libplist-2.0.so.4', 'libplist-2.0.so.3')


def fail(message):
    sys.exit('package deb: ' + message)


def warn(message):
    print('package deb: warning: ' + message, file=sys.stderr)


def run(command, what, **kwargs):
    try:
        done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    except OSError as e:
        fail('cannot run %s: %s (install it: see tools/debian-packages.txt)' % (command[0], e))
    if done.returncode != 0:
        fail('%s failed:\n%s' % (what, (done.stderr or done.stdout).strip()))
    return done.stdout


def one_line(info, key, default=None):
    value = info.get(key, default)
    if not isinstance(value, str) or not value.strip() \
            or any(ord(c) < 32 or ord(c) == 127 for c in value):
        fail('%s must be a non-empty string of one line, not %r' % (key, value))
    return value.strip()


def read_info(bundle):
    try:
        with open(os.path.join(bundle, 'Contents', 'Info.plist'), 'rb') as f:
            data = f.read()
        info = plistlib.loads(data)
    except (OSError, plistlib.InvalidFileException, ValueError) as e:
        fail('cannot read %s/Contents/Info.plist: %s' % (bundle, e))
    if not isinstance(info, dict):
        fail('%s/Contents/Info.plist does not hold a dictionary' % bundle)
    return info, data.startswith(b'bplist')


def plain_file_name(value):
    """A name that stays one entry of its folder, as the program's plainFileName has it."""
    return value not in ('', '.', '..') and '/' not in value and '\0' not in value


def describe(bundle):
    info, binary = read_info(bundle)
    app = {'info': info, 'binary_plist': binary}
    identifier = one_line(info, 'CFBundleIdentifier')
    # The app needs a D-Bus name anyway; it also keeps the file names below plain.
    if len(identifier) > 255 or not re.fullmatch(r'[A-Za-z_-][A-Za-z0-9_-]*(\.[A-Za-z_-][A-Za-z0-9_-]*)+',
                                                 identifier):
        fail('CFBundleIdentifier %r is not a D-Bus name such as org.example.MyApp' % identifier)
    app['id'] = identifier
    app['package'] = re.sub(r'[^a-z0-9.+-]', '-', identifier.lower())
    if not re.fullmatch(r'[a-z0-9][a-z0-9.+-]+', app['package']):
        fail('CFBundleIdentifier %r gives no valid package name (%r)' % (identifier, app['package']))

    app['name'] = one_line(info, 'CFBundleName')
    if not plain_file_name(app['name']):
        fail('CFBundleName %r cannot name a folder' % app['name'])
    app['version'] = one_line(info, 'CFBundleVersion')
    # No '-' and no ':': this is the upstream version alone, without revision or epoch.
    if not re.fullmatch(r'[0-9][A-Za-z0-9.+~]*', app['version']):
        fail('CFBundleVersion %r is not a Debian version (digits first, then letters, digits, . + ~)'
             % app['version'])

    executable = one_line(info, 'CFBundleExecutable')
    if not plain_file_name(executable) or not os.path.isfile(os.path.join(bundle, 'Contents', 'Linux', executable)):
        fail('CFBundleExecutable %r is not a file in %s/Contents/Linux' % (executable, bundle))
    app['executable'] = executable

    app['summary'] = one_line(info, 'MirovanSummary', 'The %s desktop app' % app['name'])
    app['license'] = one_line(info, 'MirovanLicense', 'LicenseRef-proprietary')
    default_maintainer = '%s developers <nobody@localhost>' % re.sub(r'[<>,]', '', app['name']).strip()
    app['maintainer'] = one_line(info, 'MirovanMaintainer', default_maintainer)
    match = re.fullmatch(r'([^<>,]+?)\s*<([^<>\s]+@[^<>\s]+)>', app['maintainer'])
    if not match:
        fail('MirovanMaintainer %r is not of the form "Name <address>"' % app['maintainer'])
    app['developer'] = match.group(1)

    app['icon'] = None
    if 'CFBundleIconFile' in info:
        icon_name = one_line(info, 'CFBundleIconFile')
        icon = os.path.join(bundle, 'Contents', 'Resources', icon_name)
        if not plain_file_name(icon_name) or not os.path.isfile(icon):
            fail('CFBundleIconFile %r is not a file in %s/Contents/Resources' % (icon_name, bundle))
        # The app shows no other icon, in its windows or its own menu entry.
        if icon_name.startswith('.') or not icon_name.endswith(('.svg', '.png')):
            fail('CFBundleIconFile %r must be a visible .svg or .png file name' % icon_name)
        app['icon'] = icon_folder(icon)
    else:
        warn('no CFBundleIconFile: the menu entry gets no icon of its own')
    return app


def icon_folder(path):
    """(source file, folder under hicolor, extension) for the bundle's icon."""
    with open(path, 'rb') as f:
        head = f.read(24)
    if head.startswith(PNG_SIGNATURE):
        if head[12:16] != b'IHDR':
            fail('%s is not a valid PNG (no IHDR first)' % path)
        width, height = int.from_bytes(head[16:20], 'big'), int.from_bytes(head[20:24], 'big')
        # Icon themes look PNGs up by their exact size; anything else would never be shown.
        if width != height or width not in ICON_SIZES:
            fail('%s is %dx%d; a PNG icon must be square and one of %s pixels (or use an SVG)'
                 % (path, width, height, ', '.join(map(str, ICON_SIZES))))
        return path, '%dx%d/apps' % (width, height), 'png'
    if path.lower().endswith('.svg'):
        return path, 'scalable/apps', 'svg'
    fail('%s is neither a PNG nor an .svg file' % path)


def is_elf(path):
    try:
        with open(path, 'rb') as f:
            return f.read(4) == b'\x7fELF'
    except OSError:
        return False


def write_text(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)
    os.chmod(path, mode)


def desktop_entry(source, app, program):
    """The menu entry as the bundle's own program writes it (the same code as the entry it
    writes for the user), with the program where the package puts it."""
    return run([os.path.join(source, 'Contents', 'Linux', app['executable']), '--desktop-entry', program],
               "the bundle's program (--desktop-entry)")


def about(app):
    return ('%s runs a web server of its own on this computer and shows its pages in a '
            'desktop window, with native menus and dialogs.' % app['name'])


def metainfo(app):
    # No content_rating: what the app shows is its developer's to declare, and leaving it
    # out is only a remark for appstreamcli.
    component = ET.Element('component', type='desktop-application')
    for tag, text in (('id', app['id']), ('metadata_license', 'CC0-1.0'),
                      ('project_license', app['license']), ('name', app['name']),
                      ('summary', app['summary'])):
        ET.SubElement(component, tag).text = text
    # AppStream 1.0 replaced developer_name by developer, whose id is reverse-DNS; 0.16
    # only notes the tag as unknown.
    developer = ET.SubElement(component, 'developer', id=app['id'].rpartition('.')[0] or app['id'])
    ET.SubElement(developer, 'name').text = app['developer']
    description = ET.SubElement(component, 'description')
    ET.SubElement(description, 'p').text = about(app)
    # AppStream 1.0 wants a homepage: MirovanHomepage, else the site the updates come from.
    homepage = app['info'].get('MirovanHomepage')
    if not homepage and app['info'].get('MirovanUpdateURL'):
        feed = urllib.parse.urlsplit(app['info']['MirovanUpdateURL'])
        homepage = urllib.parse.urlunsplit((feed.scheme, feed.netloc, '/', '', ''))
    if homepage:
        ET.SubElement(component, 'url', type='homepage').text = homepage
    ET.SubElement(component, 'launchable', type='desktop-id').text = app['id'] + '.desktop'
    # SOURCE_DATE_EPOCH, when set, makes two builds of the same bundle give the same file.
    when = datetime.datetime.fromtimestamp(int(os.environ.get('SOURCE_DATE_EPOCH') or
                                               datetime.datetime.now().timestamp()),
                                           datetime.timezone.utc)
    releases = ET.SubElement(component, 'releases')
    ET.SubElement(releases, 'release', version=app['version'], date=when.strftime('%Y-%m-%d'))
    ET.indent(component)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(component, encoding='unicode') + '\n'


def make_installable(root):
    """Installed as root and run by every user: nobody else may write, everyone may read."""
    for folder, dirs, files in os.walk(root):
        for path in [folder] + [os.path.join(folder, n) for n in files]:
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                continue
            mode = stat.S_IMODE(st.st_mode) & ~0o022 | 0o444
            if stat.S_ISDIR(st.st_mode) or mode & 0o100:
                mode |= 0o111
            if mode != stat.S_IMODE(st.st_mode):
                os.chmod(path, mode)


def drop_update_url(app, bundle):
    if 'MirovanUpdateURL' not in app['info']:
        return False
    info = {k: v for k, v in app['info'].items() if k != 'MirovanUpdateURL'}
    fmt = plistlib.FMT_BINARY if app['binary_plist'] else plistlib.FMT_XML
    path = os.path.join(bundle, 'Contents', 'Info.plist')
    st = os.lstat(path)
    mode = 0o644 if stat.S_ISLNK(st.st_mode) else stat.S_IMODE(st.st_mode)
    # A new file, never written through a link that could lead back into the source bundle.
    os.unlink(path)
    with open(path, 'wb') as f:
        plistlib.dump(info, f, fmt=fmt, sort_keys=False)
    os.chmod(path, mode)
    return True


def shlib_depends(work, root, app, bundle):
    """Depends from dpkg-shlibdeps. It runs in work/, where root is debian/<package>, so it
    takes libraries in the bundle for the package's own and resolves $ORIGIN in RPATHs."""
    write_text(os.path.join(work, 'debian', 'control'),
               'Source: %s\n\nPackage: %s\nArchitecture: any\n' % (app['package'], app['package']))
    elves, library_dirs = [], set()
    for folder, dirs, files in os.walk(bundle):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            if not os.path.islink(path) and is_elf(path):
                elves.append(path)
                if re.search(r'\.so(\.[0-9]+)*$', name):
                    library_dirs.add('/' + os.path.relpath(folder, root))
    # -l names folders as installed: dpkg-shlibdeps looks for them in the build tree first.
    command = ['dpkg-shlibdeps', '-O'] + ['-l' + d for d in sorted(library_dirs)] + \
        ['-e' + os.path.relpath(p, work) for p in elves]
    out = run(command, 'dpkg-shlibdeps', cwd=work)
    depends = []
    for line in out.splitlines():
        if line.startswith('shlibs:Depends='):
            depends = [d.strip() for d in line[len('shlibs:Depends='):].split(',') if d.strip()]

    plist = loaded_library_package(PLIST_SONAMES)
    if not any(d.split()[0] == plist for d in depends):
        depends.append(plist)

    python = os.path.join(bundle, 'Contents', 'Resources', 'python', 'bin', 'python3')
    if not os.path.lexists(python):
        fail('the bundle has no interpreter at Contents/Resources/python/bin/python3')
    real = os.path.realpath(python)
    # A launcher of the system's interpreter (the demo's) is no ELF file: nothing above saw it.
    if not (os.path.commonpath([real, bundle]) == bundle and is_elf(real)) \
            and not any(d.split()[0] == 'python3' for d in depends):
        depends.append('python3')
    return depends


# A package, optionally with a version, as a Depends field names it: nodejs (>= 18).
RELATION = re.compile(r'\s*([a-z0-9][a-z0-9.+-]+(?::[a-z0-9-]+)?)\s*'
                      r'(?:\(\s*(<<|<=|=|>=|>>)\s*([0-9A-Za-z.+~:-]+)\s*\))?\s*')


def extra_depends(values):
    """--depends values as Depends entries, each checked: a mistake here breaks the install."""
    extra = []
    for value in values:
        for entry in value.split(','):
            alternatives = [RELATION.fullmatch(a) for a in entry.split('|')]
            if not all(alternatives):
                fail('--depends %r is not a package relation such as "nodejs (>= 18)"' % entry.strip())
            extra.append(' | '.join(m.group(1) + (' (%s %s)' % m.group(2, 3) if m.group(2) else '')
                                    for m in alternatives))
    return extra


def loaded_library_package(sonames):
    """The package of this release that holds the first of sonames found, as the program's
    dlopen would find it; its name differs between releases (libplist3, libplist-2.0-4)."""
    multiarch = run(['dpkg-architecture', '-qDEB_HOST_MULTIARCH'], 'dpkg-architecture').strip()
    for soname in sonames:
        done = subprocess.run(['dpkg-query', '-S', '*/%s/%s' % (multiarch, soname)], capture_output=True, text=True)
        if done.returncode == 0 and done.stdout.strip():
            # "libplist3:amd64: /usr/lib/x86_64-linux-gnu/libplist-2.0.so.3"
            return done.stdout.splitlines()[0].split(': ', 1)[0].split(',')[0].split(':')[0].strip()
    fail('no installed package holds %s, which the program loads; install libplist' % ' or '.join(sonames))


def strip_debug(bundle):
    """Strips debug information, of no use to users and most of the program's size, from the
    bundle's ELF files; returns whether any file changed."""
    changed = False
    for folder, _, names in os.walk(bundle):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not is_elf(path):
                continue
            before = os.path.getsize(path)
            run(['strip', '--strip-debug', path], 'strip')
            changed = changed or os.path.getsize(path) != before
    return changed


def installed_size(root):
    """In KiB, counted as dpkg-gencontrol does: each file rounded up, one per folder or link."""
    total = 0
    for folder, dirs, files in os.walk(root):
        if folder == root:
            dirs.remove('DEBIAN')
        total += 1
        for name in files:
            st = os.lstat(os.path.join(folder, name))
            total += 1 if stat.S_ISLNK(st.st_mode) else max(1, math.ceil(st.st_size / 1024))
    return total


def main(argv):
    parser = signing.bundle_parser('package deb', __doc__)
    parser.add_argument('outdir', help='where to write the .deb (made if missing)')
    parser.add_argument('--depends', action='append', default=[], metavar='PACKAGE',
                        help='a package the server needs, e.g. "nodejs (>= 18)" (repeatable)')
    args = parser.parse_args(argv)
    extra = extra_depends(args.depends)

    source = os.path.abspath(args.bundle).rstrip('/')
    if not os.path.isdir(source) or not source.endswith('.app'):
        fail('%s is not an application bundle (a directory ending in .app)' % args.bundle)
    app = describe(source)
    arch = run(['dpkg', '--print-architecture'], 'dpkg --print-architecture').strip()
    sign = signing.tool_for(args.key, fail)

    with tempfile.TemporaryDirectory(prefix='package-deb-') as work:
        root = os.path.join(work, 'debian', app['package'])
        bundle = os.path.join(root, 'opt', app['id'], app['name'] + '.app')
        os.makedirs(os.path.dirname(bundle))
        shutil.copytree(source, bundle, symlinks=True)

        # The package manager updates this copy: with no feed, the app's updater stays off
        # and its menu check says updates aren't set up, instead of swapping files dpkg owns.
        changed = drop_update_url(app, bundle)
        changed = strip_debug(bundle) or changed
        make_installable(root)
        if sign:
            run([sign, 'sign', bundle, os.path.abspath(args.key)], 'mirovan-sign sign')
        elif changed and os.path.isdir(os.path.join(bundle, 'Contents', '_CodeSignature')):
            # Sound to ship as it is: the signature's only reader is the updater, which has no
            # feed in this install, and dpkg and the archive's own signature vouch for the
            # files. Re-signing would need the release key, so it is left to --key.
            warn("the packaged bundle differs from the signed one (no MirovanUpdateURL, no debug "
                 'information), so its signature no longer matches; pass --key to sign it again '
                 '(nothing in this install checks it: the updater is off there)')

        program = '/' + os.path.relpath(os.path.join(bundle, 'Contents', 'Linux', app['executable']), root)
        desktop = os.path.join(root, 'usr', 'share', 'applications', app['id'] + '.desktop')
        write_text(desktop, desktop_entry(source, app, program))
        run(['desktop-file-validate', desktop], 'desktop-file-validate')
        if app['icon']:
            icon, folder, ext = app['icon']
            target = os.path.join(root, 'usr', 'share', 'icons', 'hicolor', folder, app['id'] + '.' + ext)
            os.makedirs(os.path.dirname(target))
            shutil.copyfile(icon, target)
        meta = os.path.join(root, 'usr', 'share', 'metainfo', app['id'] + '.metainfo.xml')
        write_text(meta, metainfo(app))
        run(['appstreamcli', 'validate', '--no-net', meta], 'appstreamcli validate')

        os.makedirs(os.path.join(root, 'DEBIAN'))
        depends = shlib_depends(work, root, app, bundle)
        for entry in extra:
            if entry not in depends:
                depends.append(entry)
        # The menu and icon caches need no scripts of ours: desktop-file-utils and the icon
        # cache's packages watch those folders through dpkg triggers.
        control = ['Package: ' + app['package'], 'Version: ' + app['version'],
                   'Architecture: ' + arch, 'Maintainer: ' + app['maintainer'],
                   'Installed-Size: %d' % installed_size(root), 'Section: misc',
                   'Priority: optional']
        if depends:
            control.append('Depends: ' + ', '.join(depends))
        long = about(app) + ' Installed under /opt/%s; the package manager keeps it up to date.' % app['id']
        control += ['Description: ' + app['summary']] + [' ' + l for l in textwrap.wrap(long, 78)]
        write_text(os.path.join(root, 'DEBIAN', 'control'), '\n'.join(control) + '\n')
        make_installable(root)

        outdir = os.path.abspath(args.outdir)
        os.makedirs(outdir, exist_ok=True)
        name = '%s_%s_%s.deb' % (app['package'], app['version'], arch)
        # Built under another name and renamed: a failure never leaves a partial .deb behind.
        with tempfile.TemporaryDirectory(dir=outdir, prefix='.package-deb-') as scratch:
            fresh = os.path.join(scratch, name)
            run(['dpkg-deb', '--root-owner-group', '--build', root, fresh], 'dpkg-deb --build')
            os.chmod(fresh, 0o644)
            os.replace(fresh, os.path.join(outdir, name))

    print('wrote %s' % os.path.join(outdir, name))
    print('Depends: %s' % ', '.join(depends))
    return 0
