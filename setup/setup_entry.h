#pragma once
// The one door into the setup library, which the executable opens only in setup mode, so that
// agent mode never loads the window toolkit.

namespace companion::setup {

// The library's file name; it lives in the program's private library folder.
inline constexpr const char* libraryName = "libtavro-companion-setup.so";
// The entry's exported name.
inline constexpr const char* entryName = "tavroCompanionSetupMain";

// What a caller other than the executable may ask to hear about; the executable passes none.
struct EntryHooks {
    // Called once, when the window has been painted for the first time.
    void (*firstPainted)(void* context) = nullptr;
    void* context = nullptr;
};

// Runs the setup application until it quits; returns the process's exit status.
using Entry = int (*)(int argc, char** argv, const EntryHooks* hooks);

}  // namespace companion::setup
