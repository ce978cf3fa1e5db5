// Renders the setup window offscreen in each service state, with and without the Accessibility
// permission, into PNG files: `setup_screenshots FOLDER`.

#include <QtCore/QDir>
#include <QtWidgets/QApplication>

#include <cstdio>

#include "setup/setup_controller.h"
#include "setup/symbols.h"
#include "setup/texts.h"
#include "support/setup_system_double.h"

namespace {

using namespace companion;
using service_management::ServiceStatus;

struct Shot {
    ServiceStatus status;
    const char* name;
};

constexpr Shot shots[] = {
    {ServiceStatus::enabled, "enabled"},
    {ServiceStatus::requiresApproval, "requires-approval"},
    {ServiceStatus::notRegistered, "not-registered"},
};

bool render(const QString& folder, const Shot& shot, bool trusted) {
    testing::SetupSystemDouble system;
    system.agent.currentStatus = shot.status;
    // The window registers an agent that is not enabled; keep the state being shown.
    system.agent.statusAfterRegister = shot.status;
    system.trusted = trusted;
    system.hostLocation = "/usr/share/applications/es.vextralune.tavro.desktop";
    setup::SetupController controller(system);
    controller.applicationDidFinishLaunching();
    QApplication::processEvents();
    QString file = QString("%1/setup-%2-%3.png").arg(folder, shot.name, trusted ? "trusted" : "untrusted");
    bool saved = controller.window()->grab().save(file);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setWindowIcon(setup::applicationIcon());
    QString folder = argc > 1 ? argv[1] : "screenshots";
    QDir().mkpath(folder);
    bool allSaved = true;
    for (const auto& shot : shots)
        for (bool trusted : {false, true}) allSaved = render(folder, shot, trusted) && allSaved;
    return allSaved ? 0 : 1;
}
