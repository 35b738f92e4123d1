// The bulk read of a model's values on both cores: the rest of an open file is taken in windows
// of whole lines (or, in a line longer than the window, of whole values), each window split at a
// line end or blank near its middle, and the two parts scanned side by side (the first straight
// into the values, the second into a staging array copied after it). Only plain runs of values
// are read this way; whatever needs the sequential reader's judgement (a null value, a slash, a
// repeat count, a bad token, a value longer than the window, the end of the file before the last
// value) makes it give up, and the caller reads sequentially instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quelby {

// Fills `values` from the file `descriptor` starting at byte `offset` (the start of a record),
// reading with pread so that the descriptor's own position is left alone. Returns true when every
// value was read, with exactly what read_reals from that record would store, and what follows the
// last value ignored as it does. Returns false otherwise; the values stored by then are the ones
// read_reals stores at the same positions, so a sequential read from `offset` into the same array
// gives read_reals' result. Working memory: a window of 2 MiB and a staging array of at most 4 MiB,
// whatever the length of a line.
bool read_plain_reals_in_parallel(int descriptor, std::int64_t offset, std::span<double> values);
// The same with windows of `window_bytes` (at least 2), for tests that want many windows.
bool read_plain_reals_in_parallel(int descriptor, std::int64_t offset, std::span<double> values,
                                  std::size_t window_bytes);

}  // namespace quelby
