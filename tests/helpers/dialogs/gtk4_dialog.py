#!/usr/bin/python3
"""A GTK 4 program for the dialog assistant's tests, printing what its dialog shows as
gtk_dialog.py does.

  gtk4_dialog.py open|save|folder FOLDER [NAME]   a file chooser dialog in FOLDER (Save: named NAME)
  gtk4_dialog.py embedded-open|embedded-save FOLDER [NAME]
                                                  the chooser widget in a window of the program's own

Prints "shown", "folder PATH" on each folder change, "name TEXT" on each change of a Save
chooser's name, and "result accept|cancel [PATH]" at the end. GTK 4 announces no folder change,
so the folder and the name are watched.
"""
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gio, GLib, Gtk  # noqa: E402

WATCH_MS = 50
ACTIONS = {
    "open": Gtk.FileChooserAction.OPEN,
    "save": Gtk.FileChooserAction.SAVE,
    "folder": Gtk.FileChooserAction.SELECT_FOLDER,
}


def say(*words):
    print(*words, flush=True)


def path_of(file):
    return file.get_path() if file else ""


def watch(chooser, save):
    shown = {"folder": None, "name": None}

    def look():
        folder = path_of(chooser.get_current_folder())
        if folder != shown["folder"]:
            shown["folder"] = folder
            say("folder", folder)
        name = chooser.get_current_name() if save else None
        if name != shown["name"]:
            shown["name"] = name
            say("name", name)
        return True

    GLib.timeout_add(WATCH_MS, look)


def prepare(chooser, save, folder, name):
    chooser.set_current_folder(Gio.File.new_for_path(folder))
    if save:
        chooser.set_current_name(name)
    watch(chooser, save)


def dialog(app, mode, folder, name):
    chooser = Gtk.FileChooserDialog(title=mode, action=ACTIONS[mode])
    chooser.add_button("_Cancel", Gtk.ResponseType.CANCEL)
    chooser.add_button("_OK", Gtk.ResponseType.ACCEPT)
    chooser.set_default_response(Gtk.ResponseType.ACCEPT)
    prepare(chooser, mode == "save", folder, name)

    def respond(widget, response):
        accepted = response == Gtk.ResponseType.ACCEPT
        say("result", "accept" if accepted else "cancel", path_of(widget.get_file()) if accepted else "")
        app.quit()

    chooser.connect("response", respond)
    return chooser


def embedded(app, mode, folder, name):
    window = Gtk.Window(title=mode)
    window.set_default_size(800, 600)
    chooser = Gtk.FileChooserWidget(action=ACTIONS[mode.removeprefix("embedded-")])
    chooser.set_vexpand(True)
    prepare(chooser, mode == "embedded-save", folder, name)
    done = Gtk.Button(label="Done")
    done.connect("clicked", lambda *_: (say("result", "accept", path_of(chooser.get_file())), app.quit()))
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    box.append(chooser)
    box.append(done)
    window.set_child(box)
    return window


def main():
    modes = set(ACTIONS) | {"embedded-open", "embedded-save"}
    if len(sys.argv) < 3 or sys.argv[1] not in modes:
        sys.exit(__doc__)
    mode, folder = sys.argv[1], sys.argv[2]
    name = sys.argv[3] if len(sys.argv) > 3 else "untitled.txt"
    app = Gtk.Application(flags=Gio.ApplicationFlags.NON_UNIQUE)

    def activate(app):
        window = (embedded if mode.startswith("embedded") else dialog)(app, mode, folder, name)
        app.add_window(window)
        window.connect("map", lambda *_: say("shown"))
        window.present()

    app.connect("activate", activate)
    app.run([sys.argv[0]])


main()
