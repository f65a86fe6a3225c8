// The simulator's event log: whole lines under one lock, so lines of different printers and
// connections never interleave.
#include "sim/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace sim {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::mutex g_mutex;
std::unique_ptr<std::FILE, FileCloser> g_file;

}  // namespace

bool OpenLogFile(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "a"));
    if (!file) return false;
    std::lock_guard lock(g_mutex);
    g_file = std::move(file);
    return true;
}

void Log(const std::string& who, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);

    std::lock_guard lock(g_mutex);
    std::FILE* out = g_file ? g_file.get() : stderr;
    std::fprintf(out, "%02d:%02d:%02d.%03ld %s %s\n", parts.tm_hour, parts.tm_min, parts.tm_sec,
                 now.tv_nsec / 1000000, who.c_str(), text);
    std::fflush(out);
}

}  // namespace sim
