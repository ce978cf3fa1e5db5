#!/usr/bin/python3
"""A Qt 5 program for the dialog assistant's tests: Qt 5's own (non-native) file dialog, reporting
what it shows with the same lines as the Qt 6 program.

  qt5_dialog.py [kde-]open|[kde-]save FOLDER [NAME]

With "kde-", the dialog the platform theme offers (KDE's own under QT_QPA_PLATFORMTHEME=kde).

Prints "shown", "folder PATH" on each folder change, "name TEXT" on each change of a Save dialog's
file name, and finally "result accept|cancel [PATH]".
"""
import sys

from PyQt5.QtCore import QTimer
from PyQt5.QtWidgets import QApplication, QFileDialog, QLineEdit

WATCH_MILLISECONDS = 50


def say(*words):
    print(*words, flush=True)


def main():
    application = QApplication(sys.argv)
    mode = sys.argv[1] if len(sys.argv) >= 3 else ""
    if mode.removeprefix("kde-") not in ("open", "save"):
        print("usage: qt5_dialog.py [kde-]open|[kde-]save FOLDER [NAME]", file=sys.stderr)
        return 2
    save = mode.endswith("save")
    dialog = QFileDialog(None, mode, sys.argv[2])
    dialog.setOption(QFileDialog.DontUseNativeDialog, not mode.startswith("kde-"))
    dialog.setAcceptMode(QFileDialog.AcceptSave if save else QFileDialog.AcceptOpen)
    name = sys.argv[3] if len(sys.argv) > 3 else "untitled.txt"
    if save:
        dialog.selectFile(name)
    # A folder reached through the name field is announced by nothing but the folder shown.
    shown = [""]
    followed = []

    def follow_name():
        # KDE's dialog is no child of the QFileDialog: its name field is found by the name it holds.
        if followed:
            return
        for widget in QApplication.allWidgets():
            if isinstance(widget, QLineEdit) and widget.isVisible() and widget.text() == name:
                widget.textChanged.connect(lambda text: say("name", text))
                followed.append(widget)
                return

    def watch():
        if save:
            follow_name()
        folder = dialog.directory().absolutePath()
        if folder != shown[0]:
            shown[0] = folder
            say("folder", folder)

    timer = QTimer()
    timer.timeout.connect(watch)
    timer.start(WATCH_MILLISECONDS)
    QTimer.singleShot(0, lambda: say("shown"))
    response = dialog.exec_()
    chosen = dialog.selectedFiles()
    accepted = response == QFileDialog.Accepted
    say("result", ("accept " + chosen[0]) if accepted and chosen else "cancel")
    return 0


if __name__ == "__main__":
    sys.exit(main())
