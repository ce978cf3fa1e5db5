#include "desktop/key_driver.h"

#include <X11/keysym.h>
#include <glib.h>

#include "desktop/atspi_calls.h"
#include "desktop/keyless.h"
#include "desktop/keys.h"
#include "desktop/qt.h"
#include "desktop/toolkits.h"

namespace companion::desktop {

namespace {

using Clock = std::chrono::steady_clock;

// After a Save dialog took a folder's path, how long to wait for it to move before giving its
// file name back anyway, and how often to look.
constexpr auto folderChangeWait = std::chrono::milliseconds(800);
constexpr auto folderChangePoll = std::chrono::milliseconds(20);
// Dialogs filled and never confirmed (their focus went elsewhere) are forgotten past this many.
constexpr size_t maxFilledDialogs = 16;
// How long an embedded chooser's walk may take: each of its steps waits for a folder to be listed.
constexpr auto walkLimit = std::chrono::seconds(10);
constexpr size_t maxWalks = 16;

AccessibleRef owned(AtspiAccessible* accessible) {
    return AccessibleRef(accessible ? static_cast<AtspiAccessible*>(g_object_ref(accessible)) : nullptr);
}

void setText(AtspiAccessible* field, const std::string& text) {
    AccessibleRef editable = editableTextOf(field);
    if (!editable) return;
    CallError error;
    atspi_editable_text_set_text_contents(ATSPI_EDITABLE_TEXT(editable.get()), text.c_str(), error.out());
}

// Characters, not bytes: the text interface counts offsets in characters.
long characterCount(std::string_view utf8) { return g_utf8_strlen(utf8.data(), static_cast<gssize>(utf8.size())); }

// GTK's location field completes a folder holding one entry inline: Return would open that entry
// instead of the folder.
void dropCompletion(AtspiAccessible* field, const std::string& path) {
    auto text = textOf(field);
    if (!text || *text == path || !text->starts_with(path)) return;
    AccessibleRef editable = editableTextOf(field);
    if (!editable) return;
    CallError error;
    atspi_editable_text_delete_text(ATSPI_EDITABLE_TEXT(editable.get()), characterCount(path), characterCount(*text),
                                    error.out());
}

// GTK 3 empties the field when it moves; Qt keeps the path there, but its folder list then names
// the new folder. A field whose text cannot be read (GTK 4) gives no sign: its wait runs out.
bool hasMoved(AtspiAccessible* field, AtspiAccessible* dialog, const std::string& path) {
    auto text = textOf(field);
    if (!text) return false;
    return *text != path || (dialog && qt::showsFolder(dialog, path));
}

}  // namespace

KeyDriver::KeyDriver(AtspiSession& session)
    : session_(session), giver_([this](std::stop_token stop) { run(stop); }) {}

KeyDriver::~KeyDriver() {
    giver_.request_stop();
    workChanged_.notify_all();
}

void KeyDriver::post(const KeyboardEvent& event) {
    session_.forgetFocus();
    if (session_.keyless()) {
        // Typing and selecting need keys; the field's text is set whole instead.
        switch (keyActionOf(event)) {
            case KeyAction::goToFolder: return revealGoToFolder();
            case KeyAction::confirm: return confirm();
            default: return;
        }
    }
    switch (keyActionOf(event)) {
        case KeyAction::typeText: return session_.x.typeText(utf32(event.unicodeString));
        case KeyAction::goToFolder: return openGoToFolder();
        case KeyAction::selectAll: return void(session_.x.pressKey(XK_a, true));
        case KeyAction::confirm: return confirm();
        case KeyAction::none: return;
    }
}

void KeyDriver::filled(FilledField field) {
    if (filled_.size() >= maxFilledDialogs && !filled_.contains(field.dialogId)) filled_.erase(filled_.begin());
    filled_[field.dialogId] = std::move(field);
}

bool KeyDriver::confirmWithoutKeys(AtspiAccessible* dialog, AtspiAccessible* field) {
    const auto kind = dialog ? session_.navigatedDialog(dialog) : std::nullopt;
    return kind && keyless::confirmPath(dialog, *kind, field);
}

std::vector<KeyDriver::ShownDialog> KeyDriver::shownDialogs(AtspiAccessible* application) {
    std::vector<ShownDialog> dialogs;
    CallError error;
    for (auto& window : childrenOf(application, error)) {
        if (!isShown(window.get())) continue;
        if (auto kind = session_.navigatedDialog(window.get())) dialogs.push_back({std::move(window), *kind});
    }
    return dialogs;
}

// GTK opens its location field with Control-L; a Qt dialog's name field takes a path, so it only
// needs the focus. A chooser that cannot be moved without answering its dialog gets no shortcut:
// no field opens, and the navigation finds none.
void KeyDriver::openGoToFolder() {
    auto pid = session_.x.focusedPid();
    AccessibleRef app = pid && session_.started() ? session_.applicationOf(*pid) : nullptr;
    if (!app) return void(session_.x.pressKey(XK_l, true));
    auto dialogs = shownDialogs(app.get());
    if (!dialogs.empty() && !session_.canBeMoved(dialogs.front().window.get(), dialogs.front().kind)) return;
    if (toolkitOf(app.get()) != Toolkit::qt) return void(session_.x.pressKey(XK_l, true));
    for (auto& dialog : dialogs) {
        AccessibleRef field = qt::nameField(dialog.window.get());
        AccessibleRef component = field ? componentOf(field.get()) : nullptr;
        if (!component) continue;
        CallError focusError;
        atspi_component_grab_focus(ATSPI_COMPONENT(component.get()), focusError.out());
        return;
    }
}

void KeyDriver::revealGoToFolder() {
    auto pid = session_.frontPid();
    AccessibleRef app = pid && session_.started() ? session_.applicationOf(*pid) : nullptr;
    if (!app) return;
    auto dialogs = shownDialogs(app.get());
    if (auto portal = session_.portalDialogOf(*pid)) {
        if (auto kind = session_.navigatedDialog(portal->window.get()))
            dialogs.push_back({std::move(portal->window), *kind});
    }
    for (auto& dialog : dialogs) {
        AccessibleRef field = keyless::revealPathField(dialog.window.get(), dialog.kind);
        if (!field) continue;
        session_.keylessFront->field = session_.elements.idOf(field.get());
        return;
    }
}

// The record of the dialog whose filled field has the focus now: Return goes there. Without keys
// the focus is the field the driver itself showed.
std::optional<FilledField> KeyDriver::takeFocusedRecord() {
    const uint64_t shown = session_.keyless() && session_.keylessFront ? session_.keylessFront->field : 0;
    for (auto it = filled_.begin(); it != filled_.end(); ++it) {
        AtspiAccessible* field = session_.elements.find(it->second.fieldId);
        if (!field || (it->second.fieldId != shown && !hasState(field, ATSPI_STATE_FOCUSED))) continue;
        FilledField record = std::move(it->second);
        filled_.erase(it);
        return record;
    }
    return std::nullopt;
}

// Return, after taking back what GTK completed on its own; a Save dialog's name is handed to the
// driver's thread.
void KeyDriver::confirm() {
    std::optional<FilledField> filled = takeFocusedRecord();
    AccessibleRef field = owned(filled ? session_.elements.find(filled->fieldId) : nullptr);
    if (filled && !filled->confirmable) {
        if (field) setText(field.get(), filled->fileName);
        AtspiAccessible* window = session_.elements.find(filled->dialogId);
        AccessibleRef chooser = window ? gtk3::embeddedChooser(window) : nullptr;
        if (!chooser || walks_.size() >= maxWalks) return;
        walks_.push_back(Walk{gtk3::FolderWalk(std::move(chooser), filled->path), Clock::now() + walkLimit});
        workChanged_.notify_all();
        return;
    }
    if (field) dropCompletion(field.get(), filled->path);
    AccessibleRef dialog = owned(filled ? session_.elements.find(filled->dialogId) : nullptr);
    if (session_.keyless() && !confirmWithoutKeys(dialog.get(), field.get())) {
        // Nothing took the path: the dialog stays where it was, with its name.
        if (field && !filled->fileName.empty()) setText(field.get(), filled->fileName);
        return;
    }
    if (!session_.keyless() && !keyless::confirmPortalDialog(dialog.get())) session_.x.pressKey(XK_Return, false);
    if (!field || filled->fileName.empty()) return;
    names_.push_back(NameToGiveBack{std::move(field), std::move(dialog), filled->path, filled->fileName,
                                    Clock::now() + folderChangeWait});
    workChanged_.notify_all();
}

void KeyDriver::findFocusOf(int32_t pid) {
    focusWanted_ = pid;
    workChanged_.notify_all();
}

void KeyDriver::run(std::stop_token stop) {
    std::unique_lock lock(session_.mutex);
    while (!stop.stop_requested()) {
        if (focusWanted_) findFocus();
        if (names_.empty() && walks_.empty()) {
            workChanged_.wait(lock, stop, [this] { return !names_.empty() || !walks_.empty() || focusWanted_; });
            continue;
        }
        workChanged_.wait_for(lock, stop, folderChangePoll, [this] { return focusWanted_.has_value(); });
        stepWalks();
        giveNamesBack();
    }
}

// Only once the dialog has moved: a name given back before Return is handled would be saved in
// the old folder.
void KeyDriver::giveNamesBack() {
    std::erase_if(names_, [](const NameToGiveBack& name) {
        if (Clock::now() < name.deadline && !hasMoved(name.field.get(), name.dialog.get(), name.path)) return false;
        setText(name.field.get(), name.fileName);
        return true;
    });
}

// What it finds is kept by the session, for the navigation's own look.
void KeyDriver::findFocus() {
    const int32_t pid = *focusWanted_;
    focusWanted_.reset();
    if (!session_.started()) return;
    if (AccessibleRef app = session_.applicationOf(pid)) session_.focusedIn(app.get());
}

void KeyDriver::stepWalks() {
    std::erase_if(walks_, [](Walk& walk) {
        return Clock::now() >= walk.deadline || walk.walk.step() != gtk3::FolderWalk::Progress::walking;
    });
}

}  // namespace companion::desktop
