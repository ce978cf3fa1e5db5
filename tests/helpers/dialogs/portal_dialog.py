#!/usr/bin/python3
"""A GTK 3 program that shows its file dialog through the desktop portal, for the dialog
assistant's tests (run with GTK_USE_PORTAL=1).

  portal_dialog.py open|save FOLDER [NAME]

The dialog belongs to the portal's back end, so what it shows is read where any program can read
it, on the accessibility bus: the path bar's buttons up to the pressed one, and a Save dialog's
name field. Prints the same lines as gtk_dialog.py: "shown", "folder PATH" on each change,
"name TEXT" after each folder change of a Save dialog, "result accept|cancel [PATH]".
"""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib, Gtk  # noqa: E402

WATCH_MILLISECONDS = 300
NAME_FIELD_DEPTH = 6
PATH_BAR_DEPTH = 12


def say(*words):
    print(*words, flush=True)


def walk(element, depth):
    if depth <= 0:
        return
    try:
        count = element.get_child_count()
    except GLib.Error:
        return
    for i in range(count):
        try:
            child = element.get_child_at_index(i)
        except GLib.Error:
            continue  # the tree changed under us
        if child is not None:
            yield child
            yield from walk(child, depth - 1)


def has(element, state):
    return element.get_state_set().contains(state)


def portal_dialog(title):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        application = desktop.get_child_at_index(i)
        for window in walk(application, 1) if application else ():
            if window.get_name() == title and window.get_role() == Atspi.Role.FILE_CHOOSER:
                return window
    return None


def folder_of(dialog):
    """The pressed button of the path bar, and the folders above it: the bar lists its buttons
    from the deepest folder up to the root's."""
    toggles = [b for b in walk(dialog, PATH_BAR_DEPTH) if b.get_role() == Atspi.Role.TOGGLE_BUTTON]
    pressed = [b for b in toggles if has(b, Atspi.StateType.CHECKED)]
    if not pressed:
        return None
    bar = pressed[0].get_parent()
    buttons = [b for b in toggles if b.get_parent() == bar]
    above = buttons[buttons.index(pressed[0]) :]
    return "/" + "/".join(b.get_name() for b in reversed(above[:-1]))


def name_of(dialog):
    for field in walk(dialog, NAME_FIELD_DEPTH):
        if field.get_role() == Atspi.Role.TEXT and has(field, Atspi.StateType.SHOWING):
            text = field.get_text_iface()
            return text.get_text(0, text.get_character_count())
    return None


def main():
    mode = sys.argv[1] if len(sys.argv) >= 3 else ""
    if mode not in ("open", "save"):
        print("usage: portal_dialog.py open|save FOLDER [NAME]", file=sys.stderr)
        return 2
    save = mode == "save"
    title = "portal-" + mode
    window = Gtk.Window(title="portal-host")
    window.set_default_size(400, 300)
    window.show_all()
    action = Gtk.FileChooserAction.SAVE if save else Gtk.FileChooserAction.OPEN
    dialog = Gtk.FileChooserNative.new(title, window, action, None, None)
    dialog.set_current_folder(sys.argv[2])
    if save:
        dialog.set_current_name(sys.argv[3] if len(sys.argv) > 3 else "untitled.txt")
    shown = [None]

    def watch():
        found = portal_dialog(title)
        folder = folder_of(found) if found else None
        if folder and folder != shown[0]:
            if shown[0] is None:
                say("shown")
            shown[0] = folder
            say("folder", folder)
            if save:
                GLib.timeout_add(WATCH_MILLISECONDS, lambda: say("name", name_of(found)) and False)
        return True

    def done(_, response):
        accepted = response == Gtk.ResponseType.ACCEPT
        say("result", ("accept " + dialog.get_filename()) if accepted else "cancel")
        Gtk.main_quit()

    dialog.connect("response", done)
    dialog.show()
    GLib.timeout_add(WATCH_MILLISECONDS, watch)
    Gtk.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
