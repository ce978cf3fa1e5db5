#!/usr/bin/python3
"""A GTK 3 program for the dialog assistant's tests.

  gtk_dialog.py open|save FOLDER [NAME]   shows a file chooser in FOLDER (a Save one named NAME)
  gtk_dialog.py embedded-open|embedded-save FOLDER [NAME]
                                          the chooser widget in a window of the program's own
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


def watch(chooser, save):
    def folder_changed(widget):
        say("folder", widget.get_current_folder())
        if save:
            # The name entry is refilled after the folder change; report it once settled.
            GLib.timeout_add(150, lambda: say("name", widget.get_current_name()) and False)

    chooser.connect("current-folder-changed", folder_changed)


def prepare(chooser, save, folder, name):
    chooser.set_current_folder(folder)
    if save:
        chooser.set_current_name(name)
    watch(chooser, save)


def action_of(mode):
    return Gtk.FileChooserAction.SAVE if mode.endswith("save") else Gtk.FileChooserAction.OPEN


def chooser(mode, folder, name):
    dialog = Gtk.FileChooserDialog(title=mode, action=action_of(mode))
    dialog.add_buttons("_Cancel", Gtk.ResponseType.CANCEL, "_OK", Gtk.ResponseType.ACCEPT)
    dialog.set_default_response(Gtk.ResponseType.ACCEPT)
    prepare(dialog, mode == "save", folder, name)
    dialog.connect("map-event", lambda *_: say("shown"))
    response = dialog.run()
    chosen = dialog.get_filename() or ""
    say("result", "accept" if response == Gtk.ResponseType.ACCEPT else "cancel", chosen)


def embedded(mode, folder, name):
    window = Gtk.Window(title=mode)
    window.set_default_size(800, 600)
    window.connect("destroy", Gtk.main_quit)
    widget = Gtk.FileChooserWidget(action=action_of(mode))
    prepare(widget, mode == "embedded-save", folder, name)
    done = Gtk.Button(label="Done")
    done.connect("clicked", lambda *_: (say("result", "accept", widget.get_filename() or ""), Gtk.main_quit()))
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    box.pack_start(widget, True, True, 0)
    box.pack_start(done, False, False, 0)
    window.add(box)
    window.connect("map-event", lambda *_: say("shown"))
    window.show_all()
    Gtk.main()


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "cover":
        return cover()
    if len(sys.argv) < 3 or sys.argv[1] not in ("open", "save", "embedded-open", "embedded-save"):
        sys.exit(__doc__)
    show = embedded if sys.argv[1].startswith("embedded") else chooser
    show(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "untitled.txt")


main()
