#pragma once
// Encrypted archives: one 7-Zip archive (AES-256, names encrypted too, compressed) at the
// destination the host names, holding each item under its own name, in the order given.

#include <string>
#include <vector>

#include "image_tool/invocation.h"
#include "image_tool/outcome.h"

namespace companion::image_tool {

// The name each item gets inside the archive, as 7-Zip is told it: an absolute path is stored
// under its last component; a later item whose last component is already taken is given
// relative to "/" (the tool's working folder), so it is stored under its whole path instead and
// nothing is overwritten on extraction.
std::vector<std::string> archiveMembers(const std::vector<std::string>& items);

// 7-Zip's arguments for the archive; the password follows on its standard input.
std::vector<std::string> archiveArguments(const std::string& destination, const std::vector<std::string>& items);

Outcome createArchive(const CreateArchive& request, const std::string& password, int endSignals);

}  // namespace companion::image_tool
