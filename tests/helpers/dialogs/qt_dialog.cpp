// A Qt 6 program for the dialog assistant's tests: a non-native file dialog that reports what it
// shows, one line per event, the way the GTK program does.
//
//   qt_dialog open|save FOLDER [NAME]
//
// Prints "shown", "folder PATH" on each folder change, "name TEXT" on each change of a Save
// dialog's file name, and
// finally "result accept|cancel [PATH]".

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLineEdit>
#include <cstdio>
#include <cstring>

namespace {

constexpr int watchMilliseconds = 50;

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 3 || (std::strcmp(argv[1], "open") != 0 && std::strcmp(argv[1], "save") != 0)) {
        std::fprintf(stderr, "usage: qt_dialog open|save FOLDER [NAME]\n");
        return 2;
    }
    const bool save = std::strcmp(argv[1], "save") == 0;
    QFileDialog dialog(nullptr, QString::fromUtf8(argv[1]), QString::fromUtf8(argv[2]));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    if (save) dialog.selectFile(QString::fromUtf8(argc > 3 ? argv[3] : "untitled.txt"));
    // The dialog announces only the folders the user enters by hand; one reached through the name
    // field is seen by watching the folder shown.
    QString shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString folder = dialog.directory().absolutePath();
        if (folder == shown) return;
        shown = folder;
        say("folder " + folder);
    });
    if (auto* field = dialog.findChild<QLineEdit*>("fileNameEdit"); field && save)
        QObject::connect(field, &QLineEdit::textChanged, [](const QString& name) { say("name " + name); });
    watch.start(watchMilliseconds);
    QTimer::singleShot(0, [] { say("shown"); });
    const int response = dialog.exec();
    const QStringList chosen = dialog.selectedFiles();
    say(QString("result ") + (response == QDialog::Accepted ? "accept " : "cancel ") +
        (response == QDialog::Accepted && !chosen.isEmpty() ? chosen.first() : QString()));
    return 0;
}
