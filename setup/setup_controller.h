#pragma once
// The setup application: registers the agent, builds the one menu and the one window, and
// quits when the window is closed.

#include <QtWidgets/QMainWindow>

#include <memory>

#include "setup/setup_system.h"
#include "setup/setup_view.h"

namespace companion::setup {

class SetupController {
public:
    explicit SetupController(SetupSystem& system) : system_(system) {}

    // The launch steps, in their order: registration, menu, view, window, to the front.
    void applicationDidFinishLaunching();

    QMainWindow* window() const { return window_.get(); }
    SetupView* view() const { return view_; }

private:
    void registerAgentIfNeeded();

    SetupSystem& system_;
    std::unique_ptr<QMainWindow> window_;
    SetupView* view_ = nullptr;  // owned by the window
};

}  // namespace companion::setup
