#pragma once
// A process environment: variable name to value.

#include <map>
#include <string>

namespace companion {

using Environment = std::map<std::string, std::string>;

}  // namespace companion
