// Writes the packaged systemd user units from the same code that registers them from a build
// tree, so the two can never say different things. Usage: unit_files OUTPUT_FOLDER EXECUTABLE

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/service_management/service_management.h"
#include "service/identity.h"

namespace {

bool write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace companion::service_management;
    if (argc != 3) {
        std::fprintf(stderr, "usage: unit_files OUTPUT_FOLDER EXECUTABLE\n");
        return 2;
    }
    const std::string folder = argv[1];
    AgentUnits units;
    units.executable = argv[2];
    // One file for every user: systemd puts each user's runtime folder in its place.
    units.socketPath = std::string(runtimeFolderSpecifier) + std::string(companion::machServiceName);
    units.origin = UnitOrigin::packaged;
    bool written = write(folder + "/" + socketUnitName(units), socketUnitText(units)) &&
                   write(folder + "/" + serviceUnitName(units), serviceUnitText(units));
    return written ? 0 : 1;
}
