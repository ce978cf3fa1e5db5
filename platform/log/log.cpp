#include "platform/log/log.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace companion::log {

namespace {

// Enough to read a burst in full, little enough that a flood cannot fill the journal.
constexpr int linesPerWindow = 20;
constexpr auto window = std::chrono::seconds(10);
constexpr std::string_view prefix = "tavro-companion: ";

struct Budget {
    std::chrono::steady_clock::time_point windowStart{};
    int written = 0;
    int dropped = 0;
};

struct Limiter {
    std::mutex lock;
    std::array<Budget, static_cast<size_t>(Kind::other) + 1> budgets{};
};

Limiter& limiter() {
    static Limiter instance;
    return instance;
}

// One write(2) per line, so that lines from several threads never interleave.
void writeLine(const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void warn(Kind kind, std::string_view what) {
    const auto now = std::chrono::steady_clock::now();
    int droppedBefore = 0;
    {
        auto& shared = limiter();
        std::lock_guard guard(shared.lock);
        Budget& budget = shared.budgets[static_cast<size_t>(kind)];
        if (now - budget.windowStart >= window) {
            droppedBefore = budget.dropped;
            budget = Budget{now, 0, 0};
        }
        if (budget.written >= linesPerWindow) {
            ++budget.dropped;
            return;
        }
        ++budget.written;
    }
    std::string line;
    if (droppedBefore > 0) {
        line.append(prefix).append("(").append(std::to_string(droppedBefore)).append(" similar lines left out)\n");
    }
    line.append(prefix).append(what).append("\n");
    writeLine(line);
}

}  // namespace companion::log
