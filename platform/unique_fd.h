#pragma once
// The owner of one file descriptor.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace companion {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Writes every byte through `writeSome` (a write(2)-like call), resuming after interruptions and
// short writes; false on any other failure.
template <class WriteSome>
bool writeAllWith(std::string_view bytes, WriteSome writeSome) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = writeSome(bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

inline bool writeAll(int fd, std::string_view bytes) {
    return writeAllWith(bytes, [fd](const char* data, size_t size) { return ::write(fd, data, size); });
}

// Makes reads, writes and accepts on `fd` return at once instead of waiting.
inline bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace companion
