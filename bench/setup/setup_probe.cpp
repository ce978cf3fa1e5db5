// Setup mode exactly as the executable enters it (the library beside it, loaded at run time),
// except that it says when the window was first painted and then quits.

#include <unistd.h>

#include <cstdlib>

#include "app/setup_loader.h"

namespace {

void painted(void*) {
    char done = '1';
    [[maybe_unused]] auto ignored = ::write(STDOUT_FILENO, &done, 1);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    companion::setup::EntryHooks hooks;
    hooks.firstPainted = painted;
    return companion::app::runSetup(argc, argv, &hooks);
}
