#!/usr/bin/python3
"""A GTK 3 program for the dialog assistant's tests.

  gtk_dialog.py open|save FOLDER [NAME]   shows a file chooser in FOLDER (a Save one named NAME)
  gtk_dialog.py cover                     shows a plain window that takes the focus

Prints one line per event, flushed at once, so a test can follow the dialog:
  shown                 the window is on the screen
  folder PATH           the dialog now shows PATH
  name TEXT             a Save dialog's file name, after each folder change
  result accept|cancel [PATH]
"""
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def say(*words):
    print(*words, flush=True)


def cover():
    window = Gtk.Window(title="cover")
    window.set_default_size(900, 700)
    window.connect("destroy", Gtk.main_quit)
    window.connect("map-event", lambda *_: say("shown"))
    window.show_all()
    Gtk.main()


def chooser(mode, folder, name):
    action = Gtk.FileChooserAction.SAVE if mode == "save" else Gtk.FileChooserAction.OPEN
    dialog = Gtk.FileChooserDialog(title=mode, action=action)
    dialog.add_buttons("_Cancel", Gtk.ResponseType.CANCEL, "_OK", Gtk.ResponseType.ACCEPT)
    dialog.set_default_response(Gtk.ResponseType.ACCEPT)
    dialog.set_current_folder(folder)
    if mode == "save":
        dialog.set_current_name(name)

    def folder_changed(widget):
        say("folder", widget.get_current_folder())
        if mode == "save":
            # The name entry is refilled after the folder change; report it once settled.
            GLib.timeout_add(150, lambda: say("name", widget.get_current_name()) and False)

    dialog.connect("current-folder-changed", folder_changed)
    dialog.connect("map-event", lambda *_: say("shown"))
    response = dialog.run()
    chosen = dialog.get_filename() or ""
    say("result", "accept" if response == Gtk.ResponseType.ACCEPT else "cancel", chosen)


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "cover":
        return cover()
    if len(sys.argv) < 3 or sys.argv[1] not in ("open", "save"):
        sys.exit(__doc__)
    chooser(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "untitled.txt")


main()
