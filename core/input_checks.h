#pragma once
// The checks every path, name and text from the client passes before it reaches a tool, a
// script or a mount point. None says why it failed: the calling method answers with its own
// failure value.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace companion {

// True when the text holds a character below U+0020 (tab and line ends included).
// U+007F and the C1 range do not count.
bool hasControlCharacters(std::string_view text);

// The path with "." components and repeated or trailing "/" removed and ".." resolved against
// the text alone (no symbolic link is followed). ".." never climbs above "/".
std::string standardizePath(std::string_view path);

// The standardised form of an absolute path free of control characters; none otherwise, or
// when `mustExist` and nothing exists there (symbolic links followed).
std::optional<std::string> sanitizedPath(std::string_view path, bool mustExist);

// Like `sanitizedPath`, but the path must name an existing directory.
std::optional<std::string> sanitizedDirectory(std::string_view path);

// The folders inside which an rclone mount point may be created, in order: the host's mount
// folder in the home folder, then the same folder in the data containers of the host and of its
// test build.
std::vector<std::string> allowedMountRoots(std::string_view home);
std::vector<std::string> allowedMountRoots(const Platform& platform);

// True when the path, once standardised, is one component directly inside an allowed root.
// The path need not exist.
bool isAllowedMountPoint(std::string_view path, std::string_view home);
bool isAllowedMountPoint(const Platform& platform, std::string_view path);

// An ASCII character class of a name rule: any of the three ranges asked for, plus the listed
// punctuation. Name rules are written with these rather than regular expressions so that what
// they admit is plain to see and a trailing line feed can never slip through an anchor.
struct CharacterClass {
    bool upper = false;
    bool lower = false;
    bool digits = false;
    std::string_view others;

    constexpr bool contains(char c) const {
        if (upper && c >= 'A' && c <= 'Z') return true;
        if (lower && c >= 'a' && c <= 'z') return true;
        if (digits && c >= '0' && c <= '9') return true;
        return others.find(c) != std::string_view::npos;
    }
};

constexpr CharacterClass alphanumericsAnd(std::string_view others) { return {true, true, true, others}; }

// True when the whole text is one character of `first` followed by any number of `rest`
// (the pattern "^[first][rest]*$"); the empty text never matches.
bool matchesNameRule(std::string_view text, const CharacterClass& first, const CharacterClass& rest);

// The rule for a server's host name or address, as given to ssh and to rclone's SFTP remotes: a
// letter, digit, "_" or "[", then any of those or ".", ":", "]" or "-", over the whole text.
bool isHostName(std::string_view text);

// The highest TCP port number.
inline constexpr int highestPort = 65535;

inline constexpr char lineFeed = '\n';
// The blanks a tool may pad its fields with, and every white-space character of a line's end.
inline constexpr std::string_view blanks = " \t";
inline constexpr std::string_view whiteSpace = " \t\n\r\v\f";

// The text without the given characters at either end.
std::string_view trimmed(std::string_view text, std::string_view characters);

// The shared name rule for launch labels, bundle identifiers and SSH and S3 names: a letter,
// digit, "_", "." or "@", then any of those or "-", over the whole text.
bool isIdentifier(std::string_view text);

}  // namespace companion
