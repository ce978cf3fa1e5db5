#!/bin/sh
# Renders the committed PNG icons from the SVG. Run by hand after changing the SVG; the build does
# not run it, so that building needs no SVG renderer. Uses GdkPixbuf's SVG loader through the system
# python3-gi, which the dialog tests already need.
set -eu
here=$(dirname "$0")
/usr/bin/python3 - "$here/icons" <<'PY'
import sys
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf
folder = sys.argv[1]
name = "es.vextralune.tavro.companion"
for size in (16, 24, 32, 48, 64, 128, 256):
    pixbuf = GdkPixbuf.Pixbuf.new_from_file_at_size(f"{folder}/{name}.svg", size, size)
    pixbuf.savev(f"{folder}/{name}-{size}.png", "png", [], [])
PY
