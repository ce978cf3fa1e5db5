// A stand-in rclone for the streaming benchmark. "listremotes" names one remote; anything else
// writes FLOOD_LINES JSON log records on standard error as fast as it can, each record with a
// write of its own, as a logger does.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "listremotes") == 0) {
        std::fputs("bench: local\n", stdout);
        return 0;
    }
    const char* count = std::getenv("FLOOD_LINES");
    const long lines = count ? std::atol(count) : 200000;
    char record[128];
    for (long i = 0; i < lines; ++i) {
        int n = std::snprintf(record, sizeof record, "{\"level\":\"notice\",\"msg\":\"transferred\",\"line\":%ld}\n", i);
        for (int written = 0; written < n;) {
            ssize_t w = ::write(STDERR_FILENO, record + written, static_cast<size_t>(n - written));
            if (w <= 0) return 1;
            written += static_cast<int>(w);
        }
    }
    return 0;
}
