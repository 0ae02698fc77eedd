"""Gives a bundle a Node.js of its own, for a server that runs on Node: this system's node.

    tools/package node BUNDLE.app [--node PATH] [--key KEY]

Copies the program `node` on PATH names (or --node; links followed) to
BUNDLE.app/Contents/Resources/node/bin/node, replacing whatever node/ held; a launcher command
names it as {resources}/node/bin/node. Only the program is copied: npm is for building the
bundle, not for running it, and the server's packages (its node_modules) go in app/.

Node must be linked as one program: a node that loads libnode at run time (Debian's own) cannot
be moved without it; take one built as a single binary (nodejs.org's, NodeSource's), or depend
on the system's instead (`tools/package deb --depends nodejs`, and "node" in the command).
Its system libraries (libc, libstdc++) still come from the system.

The new folder is assembled beside the old one and swapped in at once. With --key the bundle
is signed again (after chmod -R go-w); without it, sign it yourself.
"""
import os, shutil, subprocess, sys, tempfile

import python_runtime
import signing


def fail(message):
    sys.exit('package node: ' + message)


def check_links(binary):
    try:
        ldd = subprocess.run(['ldd', binary], capture_output=True, text=True)
    except OSError as e:
        fail('cannot run ldd to see what %s links: %s' % (binary, e))
    for line in ldd.stdout.splitlines():
        if line.strip().startswith('libnode'):
            fail('%s loads %s at run time, so it cannot be moved into a bundle alone; use a node '
                 'built as one program, or depend on the system\'s (tools/package deb --depends nodejs)'
                 % (binary, line.split()[0]))


def main(argv):
    parser = signing.bundle_parser('tools/package node', __doc__)
    parser.add_argument('--node', help='the node program to copy (default: node on PATH)')
    args = parser.parse_args(argv)

    bundle = os.path.abspath(args.bundle).rstrip('/')
    resources = os.path.join(bundle, 'Contents', 'Resources')
    if not os.path.isfile(os.path.join(bundle, 'Contents', 'Info.plist')) or not os.path.isdir(resources):
        fail('%s is not an application bundle (no Contents/Info.plist or Contents/Resources)' % args.bundle)
    tool = signing.tool_for(args.key, fail)
    found = args.node or shutil.which('node')
    if not found or not os.path.isfile(found):
        fail('no node program found (install Node.js or pass --node PATH)')
    binary = os.path.realpath(found)
    check_links(binary)

    final = os.path.join(resources, 'node')
    fresh = tempfile.mkdtemp(dir=resources, prefix='.node-')
    try:
        os.mkdir(os.path.join(fresh, 'bin'), 0o755)
        copy = os.path.join(fresh, 'bin', 'node')
        python_runtime.copy_file(binary, copy)
        os.chmod(fresh, 0o755)
        ran = subprocess.run([copy, '--version'], capture_output=True, text=True, cwd='/')
        if ran.returncode != 0:
            fail('the copied node does not start:\n' + (ran.stderr or ran.stdout).strip())
        python_runtime.swap(fresh, final)
    except OSError as e:
        fail('could not put node into %s: %s' % (resources, e))
    finally:
        shutil.rmtree(fresh, ignore_errors=True)
    print('copied Node.js %s (%s) into %s: %.1f MB'
          % (ran.stdout.strip(), binary, final, python_runtime.size_of(final) / 1e6))

    return signing.sign_again(bundle, tool, args.key, 'node', fail)
