"""Catches what the build's per-layer include folders cannot see: includes written relative
to the file ("../app/App.h"), and rule files that reach the toolkit through our own headers."""

import os
import pathlib
import re
import tempfile
import unittest

SRC = pathlib.Path(os.environ.get("MIROVAN_SRC") or pathlib.Path(__file__).resolve().parents[2] / "src")
INCLUDE = re.compile(r'^\s*#\s*include\s*(([<"])([^>"]+)[>"])', re.M)
TOOLKIT = re.compile(r"^(gtk|gdk|gsk|webkit\w*|jsc|adwaita|libadwaita)[/.]")
VISIBLE = {"app": {"app", "web", "update", "core", "platform"}, "web": {"web", "core", "platform"},
           "update": {"update", "core", "platform"}, "core": {"core", "platform"}, "platform": {"platform"}}


def is_rule(path):
    """Plain C++ that the unit tests call: no toolkit, however deep the includes go."""
    layer, name = path.split("/", 1)
    stem = name.split(".")[0]
    return "/" not in name and (layer == "core" and stem != "Trace" or layer == "update" and stem != "Updater"
                                or layer == "web" and ("Rule" in stem or stem in ("MenuTable", "Rect", "LoneAlt", "Strip")))


def includes(src, path):
    """Each include as written, with the file of ours it names (relative to src) or None."""
    for written, quote, header in INCLUDE.findall((src / path).read_text(encoding="utf-8")):
        # As the compiler looks: a quoted name first next to the including file.
        bases = [(src / path).parent, src] if quote == '"' else [src]
        found = next((os.path.relpath(os.path.normpath(base / header), src) for base in bases
                      if (base / header).is_file()), None)
        yield written, None if found is None or found.startswith("..") else found


def toolkit_chain(src, path, seen):
    """The headers of ours leading from path to a toolkit header, ending with it, or None."""
    seen.add(path)
    for written, found in includes(src, path):
        if found is None and TOOLKIT.match(written[1:]):
            return [written]
        chain = found and found not in seen and toolkit_chain(src, found, seen)
        if chain:
            return [found] + chain
    return None


def faults(src):
    paths = sorted(str(p.relative_to(src)) for layer in VISIBLE for p in (src / layer).rglob("*")
                   if p.suffix in (".h", ".cpp"))
    for path in paths:
        for written, found in includes(src, path):
            if found and found.split("/")[0] not in VISIBLE[path.split("/")[0]]:
                yield f"{path} includes {written}"
        chain = is_rule(path) and toolkit_chain(src, path, set())
        if chain:
            yield f"{path} reaches {' -> '.join(chain)}"


class LayersTest(unittest.TestCase):
    def test_sources_keep_their_layers(self):
        self.assertTrue((SRC / "app" / "App.h").is_file(), SRC)
        self.assertEqual(list(faults(SRC)), [])

    def test_catches_relative_includes_and_toolkit_reached_through_our_headers(self):
        planted = {
            "app/App.h": "",
            "web/LoneAlt.h": "",
            "web/Drag.cpp": '#include "../app/App.h"\n',
            "update/Feed.cpp": '#include "./../web/LoneAlt.h"\n',
            "core/Bundle.cpp": "#include <app/App.h>\n",
            "web/DragRule.h": '#include "Rect.h"\n',
            "web/Rect.h": '#include "../platform/Owned.h"\n',
            "platform/Owned.h": "#include <glib.h>\n#include <gdk/gdk.h>\n",
        }
        with tempfile.TemporaryDirectory() as folder:
            for path, text in planted.items():
                (pathlib.Path(folder) / path).parent.mkdir(parents=True, exist_ok=True)
                (pathlib.Path(folder) / path).write_text(text)
            self.assertEqual(sorted(faults(pathlib.Path(folder))), [
                "core/Bundle.cpp includes <app/App.h>",
                'update/Feed.cpp includes "./../web/LoneAlt.h"',
                'web/Drag.cpp includes "../app/App.h"',
                "web/DragRule.h reaches web/Rect.h -> platform/Owned.h -> <gdk/gdk.h>",
                "web/Rect.h reaches platform/Owned.h -> <gdk/gdk.h>",
            ])


if __name__ == "__main__":
    unittest.main()
