#include "frame/code_address.hpp"

#include "frame/errors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// One line of the map: "start-end perms offset dev inode path". True when it
// covers `address` with execute permission.
bool line_covers(const char* p, const char* end, uint64_t address) noexcept {
  const uint64_t start = parse_hex(p, end);
  if (p >= end || *p != '-') return false;
  ++p;
  const uint64_t stop = parse_hex(p, end);
  if (end - p < 4 || *p != ' ') return false;
  return address >= start && address < stop && p[3] == 'x';
}

// Reads the file through a fixed buffer line by line. -1 when it cannot be
// read, else whether some line covers the address.
int scan_map(uint64_t address) noexcept {
  int fd;
  do fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  char buf[8192];
  size_t held = 0;
  int found = 0;
  for (;;) {
    const ssize_t got = read(fd, buf + held, sizeof buf - held);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    const char* line = buf;
    const char* const stop = buf + held;
    while (const char* nl = static_cast<const char*>(std::memchr(line, '\n', stop - line))) {
      if (line_covers(line, nl, address)) found = 1;
      line = nl + 1;
    }
    held = static_cast<size_t>(stop - line);
    std::memmove(buf, line, held);
    if (held == sizeof buf) held = 0;  // a line longer than the buffer holds no address range
    if (found) break;
  }
  close(fd);
  return found;
}

}  // namespace

bool is_code_address(uint64_t address) noexcept { return scan_map(address) != 0; }

bool check_callback_address(const char* param, int64_t address) noexcept {
  if (address == 0 || is_code_address(static_cast<uint64_t>(address))) return true;
  PyErr_Format(PyExc_ValueError, "%s 0x%llx is not the address of executable code", param,
               static_cast<unsigned long long>(address));
  return false;
}

}  // namespace frame
