#pragma once
// Driving a file dialog with the assistant's keys: the go-to-folder shortcut becomes each
// toolkit's way to its path field, Return confirms what the assistant filled in, and a Save
// dialog gets its file name back once it has moved to the folder. Without an X server (Wayland)
// the same keys become the dialog's own accessible actions (`keyless`).
//
// The name comes back later, on the driver's own thread: the dialog moves only after Return has
// been handled, and the caller (a navigation step on the main queue) must not wait for it. A
// chooser embedded in a program's window is walked to the folder there too, a step at a time.

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "desktop/atspi_session.h"
#include "desktop/elements.h"
#include "desktop/gtk3.h"

namespace companion::desktop {

class KeyDriver {
public:
    explicit KeyDriver(AtspiSession& session);
    ~KeyDriver();

    // With the session's lock held.
    void post(const accessibility::KeyboardEvent& event);
    void filled(FilledField field);
    // Looks for the focus of a program just brought forward, on the driver's thread: the
    // navigation asks for it a moment later, and finding it may take a while (a walk of every
    // window of the program).
    void findFocusOf(int32_t pid);

private:
    struct NameToGiveBack {
        AccessibleRef field;
        AccessibleRef dialog;
        std::string path;
        std::string fileName;
        std::chrono::steady_clock::time_point deadline;
    };

    struct Walk {
        gtk3::FolderWalk walk;
        std::chrono::steady_clock::time_point deadline;
    };

    struct ShownDialog {
        AccessibleRef window;
        FileDialog kind;
    };
    // The application's windows on the screen that are file dialogs, with what each is.
    std::vector<ShownDialog> shownDialogs(AtspiAccessible* application);
    void openGoToFolder();
    // Without keys: shows the go-to-folder field of the dialog in front, through the bus.
    void revealGoToFolder();
    void confirm();
    bool confirmWithoutKeys(AtspiAccessible* dialog, AtspiAccessible* field);
    std::optional<FilledField> takeFocusedRecord();
    // The driver's thread: gives names back as their dialogs move, or when their wait is over,
    // walks embedded choosers a step at a time, and looks for a focus when asked.
    void run(std::stop_token stop);
    void giveNamesBack();
    void stepWalks();
    void findFocus();

    AtspiSession& session_;
    // One per dialog being navigated, by its window's element id.
    std::map<uint64_t, FilledField> filled_;
    std::vector<NameToGiveBack> names_;
    std::vector<Walk> walks_;
    std::optional<int32_t> focusWanted_;
    std::condition_variable_any workChanged_;
    std::jthread giver_;
};

}  // namespace companion::desktop
