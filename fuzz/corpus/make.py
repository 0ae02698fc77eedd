#!/usr/bin/env python3
"""Writes the seed inputs beside this script: small valid and near-valid feeds, Info.plists,
manifests and ZIP archives. Run it again after changing it; commit what it writes."""
import json, os, plistlib, zipfile

here = os.path.dirname(os.path.abspath(__file__))


def put(folder, name, data):
    os.makedirs(os.path.join(here, folder), exist_ok=True)
    with open(os.path.join(here, folder, name), "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


sha = "ab12" * 16
put("feed", "full.json", json.dumps({"version": 42, "url": "M-42.zip", "sha256": sha.upper(), "name": "2.0 (42)"}))
put("feed", "string-version.json", '{"version": "+43", "url": "https://cdn.example.org/m.zip?x=1", "sha256": "ab"}')
put("feed", "float-version.json", '{"version": 4.2e1, "url": "../all/u.zip", "sha256": "ab", "name": 3, "x": [1, {}]}')
put("feed", "odd.json", '{"version": 18446744073709551615, "url": "http://[::1]:8/\\u00e9", "sha256": null, "name": "\\ud83d\\ude00"}')
put("feed", "array.json", "[]")
put("feed", "cut.json", '{"version": -7, "url": "u.z')

info = {"CFBundleName": "Écrin", "CFBundleIdentifier": "org.mirovan.Test", "CFBundleVersion": "42",
        "MirovanUpdateURL": "https://updates.example.com/feed.json", "Count": 3, "Flags": [True, 1.5, b"\0\1"]}
put("infoplist", "xml.plist", plistlib.dumps(info))
put("infoplist", "binary.plist", plistlib.dumps(info, fmt=plistlib.FMT_BINARY))
put("infoplist", "binary-name-not-string.plist", plistlib.dumps({"CFBundleName": 7, "Sub": {"a": [{}]}}, fmt=plistlib.FMT_BINARY))
put("infoplist", "array.plist", plistlib.dumps(["CFBundleName", "x"]))
put("infoplist", "cut.plist", plistlib.dumps(info, fmt=plistlib.FMT_BINARY)[:-20])


def manifest(identifier, entries):
    """The serializer's text: one entry a line in path order, keys sorted, no spaces."""
    lines = [json.dumps(dict(e, path=p), ensure_ascii=False, separators=(",", ":"), sort_keys=True)
             for p, e in sorted(entries.items(), key=lambda pe: pe[0].encode())]
    return ('{"format":1,"identifier":%s,"entries":[\n' % json.dumps(identifier, ensure_ascii=False)
            + "".join(line + (",\n" if i + 1 < len(lines) else "\n") for i, line in enumerate(lines)) + "]}\n")


def file(mode, size):
    return {"kind": "file", "mode": mode, "sha256": sha, "size": size}


def link(mode):
    return {"kind": "symlink", "mode": mode, "sha256": sha}


bundle = {"Contents": {"kind": "directory", "mode": "0755"}, "Contents/Info.plist": file("0644", 310),
          "Contents/Linux/prog": file("0755", 18), "Contents/Current": link("0770"),
          "Contents/Resources/odd \"name\"\n\\ é\u0001": file("0600", 1), "Contents/prog": link("0777"),
          "Contents/z": link("0771")}
put("manifest", "bundle.txt", manifest("org.mirovan.Test", bundle))
put("manifest", "empty.txt", manifest("", {}))
put("manifest", "set-uid.txt", manifest("o.t.X", {"a": file("4755", 0)}))
put("manifest", "climbing.txt", manifest("o.t.X", {"a/../b": link("0777")}))
# The harness links each symlink to the next entry, climbing mode & 7 folders first.
put("manifest", "loop.txt", manifest("o.t.X", {"a": link("0770"), "b": link("0770")}))
put("manifest", "chain.txt", manifest("o.t.X", {"a": {"kind": "directory", "mode": "0755"}, "a/l": link("0771"),
                                                 "a/m": link("0771"), "b": link("0770")}))


def zipped(name, entries, method=zipfile.ZIP_DEFLATED):
    """entries: (name, mode with type bits, data); a link's data is its target."""
    path = os.path.join(here, "extract", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w", method) as z:
        for entry, mode, data in entries:
            i = zipfile.ZipInfo(entry, (2023, 11, 14, 22, 13, 20))
            i.external_attr = mode << 16
            z.writestr(i, data)


zipped("bundle.zip", [("X.app/", 0o40755, ""), ("X.app/Contents/Info.plist", 0o100644, "<plist><dict/></plist>"),
                      ("X.app/Contents/Linux/prog", 0o100755, "#!/bin/sh\necho hi\n"), ("X.app/Résumé", 0o100400, "")])
zipped("symlinks.zip", [("X.app/Contents/Linux/prog", 0o100755, "x"), ("X.app/Contents/Current", 0o120777, "Linux"),
                        ("X.app/Contents/prog", 0o120777, "Current/prog"), ("X.app/Contents/Up", 0o120777, "../Contents")],
       zipfile.ZIP_STORED)
zipped("dotdot.zip", [("X.app/a", 0o100644, "a"), ("../sentinel/x", 0o100644, "out"), ("X.app/../../x", 0o100644, "")])
zipped("link-out.zip", [("l", 0o120777, "../sentinel"), ("l/x", 0o100644, "through the link")])
zipped("absolute.zip", [("/tmp/mirovan-fuzz-absolute", 0o100644, "x")])
zipped("set-uid.zip", [("X.app/s", 0o104755, "x"), ("X.app/d/", 0o42755, "")], zipfile.ZIP_STORED)
