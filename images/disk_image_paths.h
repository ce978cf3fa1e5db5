#pragma once
// What the runs of the disk-image tool that write a new image share.

#include <optional>
#include <string>
#include <string_view>

namespace companion::images {

// The tool reads a zero-terminated password from its standard input, never from its arguments.
inline constexpr std::string_view stdinPasswordOption = "-stdinpass";
inline constexpr std::string_view encryptionOptions[] = {"-encryption", "AES-256"};

// The standardised form of an absolute path, free of control characters, at which nothing
// exists yet and whose folder exists; none otherwise. A dangling symbolic link counts as
// something: the tool would write through it.
std::optional<std::string> sanitizedNewImagePath(std::string_view path);

}  // namespace companion::images
