#include "frame/code_address.hpp"

#include "frame/errors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace frame {
namespace {

// Parses a hexadecimal number at *p and advances past it.
uint64_t parse_hex(const char*& p, const char* end) noexcept {
  uint64_t v = 0;
  for (; p < end; ++p) {
    const char c = *p;
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) break;
    v = v * 16 + static_cast<uint64_t>(digit);
  }
  return v;
}

// The executable ranges of the map as last read, sorted by start (the map
// lists them in address order), so an address inside one needs no read of
// the map. Refilled by every read; a range unmapped since then stays
// trusted until the next read, which only an address outside them makes.
struct range {
  uint64_t start, stop;
};
constexpr size_t max_ranges = 4096;  // more are still found by the read itself
range g_ranges[max_ranges];
size_t g_range_count = 0;
std::mutex g_ranges_mutex;  // the ledger checks addresses on many threads

bool in_known_range(uint64_t address) noexcept {
  const range* const begin = g_ranges;
  const range* after = std::upper_bound(begin, begin + g_range_count, address,
                                        [](uint64_t a, const range& r) { return a < r.start; });
  return after != begin && address < after[-1].stop;
}

// One line of the map: "start-end perms offset dev inode path". True when it
// parses and has execute permission, with its range in *r.
bool executable_line(const char* p, const char* end, range* r) noexcept {
  r->start = parse_hex(p, end);
  if (p >= end || *p != '-') return false;
  ++p;
  r->stop = parse_hex(p, end);
  if (end - p < 4 || *p != ' ') return false;
  return p[3] == 'x';
}

// Reads the file through a fixed buffer line by line, keeping its
// executable ranges. -1 when it cannot be read, else whether some range
// covers the address.
int scan_map(uint64_t address) noexcept {
  int fd;
  do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  char buf[8192];
  size_t held = 0;
  int found = 0;
  g_range_count = 0;
  for (;;) {
    const ssize_t got = read(fd, buf + held, sizeof buf - held);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    const char* line = buf;
    const char* const stop = buf + held;
    while (const char* nl = static_cast<const char*>(std::memchr(line, '\n', stop - line))) {
      range r;
      if (executable_line(line, nl, &r)) {
        if (address >= r.start && address < r.stop) found = 1;
        const bool in_order = g_range_count == 0 || g_ranges[g_range_count - 1].stop <= r.start;
        if (g_range_count < max_ranges && in_order) g_ranges[g_range_count++] = r;
      }
      line = nl + 1;
    }
    held = static_cast<size_t>(stop - line);
    std::memmove(buf, line, held);
    if (held == sizeof buf) held = 0;  // a line longer than the buffer holds no address range
  }
  close(fd);
  return found;
}

}  // namespace

bool is_code_address(uint64_t address) noexcept {
  const std::lock_guard<std::mutex> hold(g_ranges_mutex);
  return in_known_range(address) || scan_map(address) != 0;
}

bool check_callback_address(const char* param, int64_t address) noexcept {
  if (address == 0 || is_code_address(static_cast<uint64_t>(address))) return true;
  PyErr_Format(PyExc_ValueError, "%s 0x%llx is not the address of executable code", param,
               static_cast<unsigned long long>(address));
  return false;
}

}  // namespace frame
