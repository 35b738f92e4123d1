#include "quelby/base/parallel_reals.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "quelby/base/huge_pages.hpp"
#include "quelby/base/parallel.hpp"

namespace quelby {
namespace {

constexpr std::size_t default_window_bytes = std::size_t{2} << 20;

// Reads up to `size` bytes at `offset`; returns the bytes read, or -1 on an error.
std::int64_t read_at(int descriptor, char* data, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count =
        ::pread(descriptor, data + done, size - done, static_cast<off_t>(offset) + done);
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<std::int64_t>(done);
}

bool separates(char c) {
  return c == ' ' || c == '\t' || c == ',';
}

// A place inside a line where a window may end or be split: after a blank, tab or comma and before
// what can begin a value. The part after it then starts as a line would; a comma before it still
// makes a plain scan stop, and the sequential read decide.
bool between_values(const char* p) {
  return separates(p[-1]) && !separates(p[0]) && p[0] != '/' && p[0] != '\n' && p[0] != '\r';
}

// Where the text of [begin, end) may end without cutting a value: after its last line feed, or in
// a line longer than the text, at its last place between values; begin when there is none.
const char* last_boundary(const char* begin, const char* end) {
  const void* const found = ::memrchr(begin, '\n', static_cast<std::size_t>(end - begin));
  if (found != nullptr) return static_cast<const char*>(found) + 1;
  for (const char* p = end - 1; p > begin; --p) {
    if (between_values(p)) return p;
  }
  return begin;
}

// The first place in [from, end) where the text may be split, preferring a line end; `end` when
// there is none.
const char* first_boundary(const char* from, const char* end) {
  const void* const found = std::memchr(from, '\n', static_cast<std::size_t>(end - from));
  if (found != nullptr) return static_cast<const char*>(found) + 1;
  for (const char* p = from + 1; p < end; ++p) {
    if (between_values(p)) return p;
  }
  return end;
}

}  // namespace

bool read_plain_reals_in_parallel(int descriptor, std::int64_t offset, std::span<double> values) {
  return read_plain_reals_in_parallel(descriptor, offset, values, default_window_bytes);
}

bool read_plain_reals_in_parallel(int descriptor, std::int64_t offset, std::span<double> values,
                                  std::size_t window_bytes) {
  struct stat status {};
  if (descriptor < 0 || offset < 0 || ::fstat(descriptor, &status) != 0) return false;
  const std::int64_t file_size = status.st_size;
  std::vector<char> window;
  // Not zeroed: only the pages the second parts fill are ever touched (a part of 1 MiB of text
  // fills about 0.6 MiB of its 4 MiB).
  std::unique_ptr<double[]> staging;
  std::size_t staging_size = 0;
  try {
    // Huge pages where the size allows: a fresh 4 KiB page costs as much as parsing a few hundred
    // values.
    resize_with_huge_pages(window, std::max<std::size_t>(window_bytes, 2));
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t filled = 0;
  while (filled < values.size()) {
    if (offset >= file_size) return false;  // the end of input: the sequential read reports it
    // Both halves of the window are read side by side.
    const std::size_t size = window.size();
    std::int64_t got[2] = {0, 0};
    parallel_for(2, 2, [&](std::int64_t first, std::int64_t last) {
      for (std::int64_t half = first; half < last; ++half) {
        const std::size_t begin = half == 0 ? 0 : size / 2;
        const std::size_t end = half == 0 ? size / 2 : size;
        got[half] = read_at(descriptor, window.data() + begin, end - begin,
                            offset + static_cast<std::int64_t>(begin));
      }
    });
    if (got[0] < 0 || got[1] < 0) return false;
    const std::size_t bytes = static_cast<std::size_t>(got[0]) +
                              (got[0] == static_cast<std::int64_t>(size / 2) ? got[1] : 0);
    const bool at_file_end = offset + static_cast<std::int64_t>(bytes) >= file_size;
    const char* const data = window.data();
    // Whole values only: up to the last line feed (or blank, in a line longer than the window),
    // or everything at the end of the file. A value longer than the window is the sequential
    // reader's to judge.
    const char* const usable_end = at_file_end ? data + bytes : last_boundary(data, data + bytes);
    if (usable_end == data) return false;
    const auto usable = static_cast<std::size_t>(usable_end - data);
    const char* const split = first_boundary(data + usable / 2, usable_end);

    const std::size_t wanted = values.size() - filled;
    const std::string_view first_part(data, static_cast<std::size_t>(split - data));
    const std::string_view second_part(split, static_cast<std::size_t>(usable_end - split));
    // A value takes at least two bytes with its separator, the last one at least one.
    const std::size_t second_capacity = std::min(wanted, second_part.size() / 2 + 1);
    try {
      if (staging_size < second_capacity) {
        staging.reset();
        staging = std::make_unique_for_overwrite<double[]>(second_capacity);
        staging_size = second_capacity;
      }
    } catch (const std::bad_alloc&) {
      return false;
    }
    PlainRealsScan scans[2];
    parallel_for(2, 2, [&](std::int64_t first, std::int64_t last) {
      for (std::int64_t part = first; part < last; ++part) {
        scans[part] =
            part == 0
                ? scan_plain_reals(first_part, values.subspan(filled))
                : scan_plain_reals(second_part, std::span<double>(staging.get(), second_capacity));
      }
    });
    // The first part decides first: full, or stopped short of full, or all read.
    filled += scans[0].count;
    if (filled == values.size()) return true;
    if (scans[0].stopped) return false;
    const std::size_t still_wanted = values.size() - filled;
    const std::size_t taken = std::min(scans[1].count, still_wanted);
    std::copy_n(staging.get(), taken, values.data() + filled);
    filled += taken;
    if (filled == values.size()) return true;
    if (scans[1].stopped) return false;
    offset += static_cast<std::int64_t>(usable);
  }
  return true;
}

}  // namespace quelby
