#pragma once
// The password as the agent hands it over with "-stdinpass": its bytes up to the first zero
// byte (or the end of the input) on standard input. It lives in this process's memory only, on
// its way to gocryptfs or 7-Zip through a pipe.

#include <optional>
#include <string>
#include <string_view>

namespace companion::image_tool {

// The bytes of `input` before its first zero byte.
std::string passwordFrom(std::string_view input);

// Reads standard input up to its first zero byte or its end.
std::string readPassword(int fd);

// Why gocryptfs and 7-Zip could not be given this password, or none. Both read one line, so a
// line break would silently cut the password short.
std::optional<std::string> unusablePassword(std::string_view password);

// What gocryptfs and 7-Zip read: the password and the end of its line.
std::string passwordLine(std::string_view password);

}  // namespace companion::image_tool
