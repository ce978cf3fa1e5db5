#include "image_tool/password.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace companion::image_tool {

namespace {
constexpr char terminator = '\0';
constexpr std::string_view lineBreaks = "\n\r";
constexpr size_t passwordReadChunk = 4096;
}  // namespace

std::string passwordFrom(std::string_view input) { return std::string(input.substr(0, input.find(terminator))); }

std::string readPassword(int fd) {
    std::string input;
    std::array<char, passwordReadChunk> buffer;
    while (input.find(terminator) == std::string::npos) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        input.append(buffer.data(), static_cast<size_t>(n));
    }
    return passwordFrom(input);
}

std::optional<std::string> unusablePassword(std::string_view password) {
    if (password.find_first_of(lineBreaks) != std::string_view::npos)
        return "The password holds a line break, which gocryptfs and 7-Zip cannot read: choose one without.";
    return std::nullopt;
}

std::string passwordLine(std::string_view password) { return std::string(password) + "\n"; }

}  // namespace companion::image_tool
