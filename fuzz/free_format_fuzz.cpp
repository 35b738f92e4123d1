// Fuzzes the free-format tokenizer. The first three bytes choose a list of items (integers and
// reals, single or arrays); the rest is the text. Every input is read
//   - as an internal read (one record) and as records split at line feeds, each compared with a
//     literal reference reader written here from the reading rules, item by item and bit for bit;
//   - from a file through InputFile, which must agree with the in-memory records, also after a
//     rewind;
//   - by read_reals and read_items with one array of reals, which must agree bit for bit, and by
//     the parallel bulk read of the file, which must give read_reals' values;
// and every token of the text goes through parse_integer and parse_real, checked against a
// grammar of the two forms and strtod. Any disagreement aborts.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/parallel_reals.hpp"
#include "quelby/base/read_detail.hpp"

namespace {

using quelby::ReadErrorKind;
using quelby::ReadItem;
using quelby::ReadOutcome;
using quelby::ReadStatus;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "free_format_fuzz: %s [%.*s]\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

bool same_bits(const double a, const double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------------------------------------
// Oracles of the two value forms.

bool is_digit(const char c) {
  return c >= '0' && c <= '9';
}

bool is_word(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// An optional sign and decimal digits, within 32 bits.
ReadErrorKind oracle_integer(std::string_view token, std::int32_t& value) {
  std::size_t p = 0;
  if (p < token.size() && (token[p] == '+' || token[p] == '-')) ++p;
  if (p == token.size()) return ReadErrorKind::syntax;
  for (std::size_t q = p; q < token.size(); ++q) {
    if (!is_digit(token[q])) return ReadErrorKind::syntax;
  }
  const std::string text(token);
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) {
    return ReadErrorKind::conversion;
  }
  value = static_cast<std::int32_t>(parsed);
  return ReadErrorKind::none;
}

// An optional sign; digits with an optional point (at least one digit); then an exponent made of
// E or D (either case), an optional sign and digits, or of a sign and digits alone. Also NaN, Inf
// and Infinity in any case. The value is strtod's, which rounds correctly.
ReadErrorKind oracle_real(std::string_view token, double& value) {
  std::size_t p = 0;
  bool negative = false;
  if (p < token.size() && (token[p] == '+' || token[p] == '-')) negative = token[p++] == '-';
  const std::string_view body = token.substr(p);
  if (is_word(body, "nan")) {
    value = negative ? -__builtin_nan("") : __builtin_nan("");
    return ReadErrorKind::none;
  }
  if (is_word(body, "inf") || is_word(body, "infinity")) {
    value = negative ? -__builtin_inf() : __builtin_inf();
    return ReadErrorKind::none;
  }
  std::string normal = negative ? "-" : "";
  std::size_t digits = 0;
  while (p < token.size() && is_digit(token[p])) normal += token[p++], ++digits;
  if (p < token.size() && token[p] == '.') {
    normal += token[p++];
    while (p < token.size() && is_digit(token[p])) normal += token[p++], ++digits;
  }
  if (digits == 0) return ReadErrorKind::syntax;
  if (p < token.size()) {
    const char letter = token[p];
    if (letter == 'e' || letter == 'E' || letter == 'd' || letter == 'D') {
      ++p;
    } else if (letter != '+' && letter != '-') {
      return ReadErrorKind::syntax;
    }
    normal += 'e';
    if (p < token.size() && (token[p] == '+' || token[p] == '-')) normal += token[p++];
    std::size_t exponent_digits = 0;
    while (p < token.size() && is_digit(token[p])) normal += token[p++], ++exponent_digits;
    if (exponent_digits == 0 || p != token.size()) return ReadErrorKind::syntax;
  }
  char* end = nullptr;
  value = std::strtod(normal.c_str(), &end);
  if (end != normal.c_str() + normal.size()) fail("oracle: strtod stopped early", normal);
  return ReadErrorKind::none;
}

void check_parsers(std::string_view token) {
  std::int32_t integer = 12345;
  std::int32_t expected_integer = 12345;
  const ReadErrorKind integer_kind = quelby::parse_integer(token, integer);
  if (integer_kind != oracle_integer(token, expected_integer)) fail("parse_integer status", token);
  if (integer != expected_integer) fail("parse_integer value", token);

  double real = -7.5;
  double expected_real = -7.5;
  const ReadErrorKind real_kind = quelby::parse_real(token, real);
  if (real_kind != oracle_real(token, expected_real)) fail("parse_real status", token);
  if (!same_bits(real, expected_real)) fail("parse_real value", token);
  // Every integer form is a real form of the same value.
  if (integer_kind == ReadErrorKind::none &&
      (real_kind != ReadErrorKind::none || real != integer)) {
    fail("integer token not read alike as a real", token);
  }
}

// ---------------------------------------------------------------------------------------------
// The literal reference reader.

bool is_blank(const char c) {
  return c == ' ' || c == '\t';
}
bool ends_value(const char c) {
  return is_blank(c) || c == ',' || c == '/';
}

// The items of one read, flattened to their elements.
struct Element {
  bool integer;
  std::int32_t* integer_value;
  double* real_value;
};

struct Records {
  std::vector<std::string_view> lines;
  std::size_t next = 0;
  bool take(std::string_view& record) {
    if (next == lines.size()) return false;
    record = lines[next++];
    return true;
  }
};

ReadStatus reference_read(Records& records, const std::vector<Element>& elements) {
  std::string_view record;
  if (!records.take(record)) return {ReadOutcome::end_of_input, ReadErrorKind::none};
  std::size_t next = 0;
  if (elements.empty()) return {};
  bool after_value = false;  // a first comma after a value only separates
  std::size_t p = 0;
  const auto assign = [&](std::string_view token) {
    const Element& element = elements[next];
    const ReadErrorKind kind = element.integer ? oracle_integer(token, *element.integer_value)
                                               : oracle_real(token, *element.real_value);
    if (kind == ReadErrorKind::none) ++next;
    return kind;
  };
  for (;;) {
    while (p < record.size() && is_blank(record[p])) ++p;
    if (p == record.size()) {
      if (!records.take(record)) return {ReadOutcome::end_of_input, ReadErrorKind::none};
      p = 0;
      continue;
    }
    if (record[p] == ',') {
      ++p;
      if (after_value) {
        after_value = false;
      } else if (++next == elements.size()) {
        return {};
      }
      continue;
    }
    if (record[p] == '/') return {};
    std::size_t q = p;
    while (q < record.size() && !ends_value(record[q])) ++q;
    const std::string_view token = record.substr(p, q - p);
    p = q;
    after_value = true;
    const std::size_t star = token.find('*');
    if (star == std::string_view::npos) {
      if (const ReadErrorKind kind = assign(token); kind != ReadErrorKind::none) {
        return {ReadOutcome::error, kind};
      }
    } else {
      // r*v or r*: r a positive integer without sign.
      const std::string_view repeat_text = token.substr(0, star);
      const std::string_view value = token.substr(star + 1);
      std::int32_t repeat = 0;
      if (repeat_text.empty() || repeat_text[0] == '+' || repeat_text[0] == '-' ||
          oracle_integer(repeat_text, repeat) != ReadErrorKind::none || repeat < 1) {
        return {ReadOutcome::error, ReadErrorKind::syntax};
      }
      for (std::int32_t r = 0; r < repeat && next < elements.size(); ++r) {
        if (value.empty()) {
          ++next;
        } else if (const ReadErrorKind kind = assign(value); kind != ReadErrorKind::none) {
          return {ReadOutcome::error, kind};
        }
      }
    }
    if (next == elements.size()) return {};
  }
}

// ---------------------------------------------------------------------------------------------
// Records from memory and from a file.

// The text split at line feeds; a carriage return before a line feed belongs to the line end, and
// a last line without a line feed is still a record.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t feed = text.find('\n', start);
    if (feed == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::size_t end = feed;
    if (end > start && text[end - 1] == '\r') --end;
    lines.push_back(text.substr(start, end - start));
    start = feed + 1;
  }
  return lines;
}

class LineSource final : public quelby::RecordSource {
 public:
  explicit LineSource(std::vector<std::string_view> lines) : lines_(std::move(lines)) {}
  bool next_record(std::string_view& record) override {
    if (next_ == lines_.size()) return false;
    record = lines_[next_++];
    return true;
  }

 private:
  std::vector<std::string_view> lines_;
  std::size_t next_ = 0;
};

const std::string& scratch_file() {
  static const std::string path = [] {
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    return (folder / ("quelby-free-format-fuzz-" + std::to_string(::getpid()) + ".txt")).string();
  }();
  return path;
}

void remove_scratch() {
  std::remove(scratch_file().c_str());
}

void write_scratch(std::string_view text) {
  // The path is made first, so that it outlives the exit handler that removes the file.
  static const bool removed_at_exit = !scratch_file().empty() && std::atexit(remove_scratch) == 0;
  (void)removed_at_exit;
  std::FILE* const file = std::fopen(scratch_file().c_str(), "wb");
  if (file == nullptr) fail("cannot create the scratch file");
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) fail("cannot write");
  std::fclose(file);
}

// ---------------------------------------------------------------------------------------------
// Items chosen by the first bytes.

struct ItemSet {
  std::vector<std::int32_t> integers;
  std::vector<double> reals;
  std::vector<ReadItem> items;
  std::vector<Element> elements;
};

// Up to four items; each is an integer or a real, alone or an array of 0, 2 or 7.
void build_items(const std::uint8_t kinds, const std::uint8_t lengths, ItemSet& set) {
  constexpr std::array<std::size_t, 4> array_lengths = {1, 0, 2, 7};
  const int count = 1 + (kinds & 3);
  std::size_t n_integers = 0;
  std::size_t n_reals = 0;
  for (int j = 0; j < count; ++j) {
    const std::size_t length = array_lengths[(lengths >> (2 * j)) & 3];
    ((kinds >> (2 + j)) & 1 ? n_reals : n_integers) += length;
  }
  // Reserved once: the items point into these arrays.
  set.integers.assign(n_integers, 0);
  set.reals.assign(n_reals, 0);
  for (std::size_t i = 0; i < n_integers; ++i) set.integers[i] = -1000 - static_cast<int>(i);
  for (std::size_t i = 0; i < n_reals; ++i) set.reals[i] = -0.25 - static_cast<double>(i);
  std::size_t next_integer = 0;
  std::size_t next_real = 0;
  for (int j = 0; j < count; ++j) {
    const bool real = (kinds >> (2 + j)) & 1;
    const bool single = ((lengths >> (2 * j)) & 3) == 0;
    const std::size_t length = array_lengths[(lengths >> (2 * j)) & 3];
    if (real) {
      double* const first = set.reals.data() + next_real;
      if (single) {
        set.items.emplace_back(*first);
      } else {
        set.items.emplace_back(std::span<double>(first, length));
      }
      for (std::size_t e = 0; e < length; ++e) set.elements.push_back({false, nullptr, first + e});
      next_real += length;
    } else {
      std::int32_t* const first = set.integers.data() + next_integer;
      if (single) {
        set.items.emplace_back(*first);
      } else {
        set.items.emplace_back(std::span<std::int32_t>(first, length));
      }
      for (std::size_t e = 0; e < length; ++e) set.elements.push_back({true, first + e, nullptr});
      next_integer += length;
    }
  }
}

bool same_status(const ReadStatus& a, const ReadStatus& b) {
  return a.outcome == b.outcome && (a.outcome != ReadOutcome::error || a.error == b.error);
}

bool same_values(const ItemSet& a, const ItemSet& b) {
  if (a.integers != b.integers || a.reals.size() != b.reals.size()) return false;
  return a.reals.empty() ||
         std::memcmp(a.reals.data(), b.reals.data(), a.reals.size() * sizeof(double)) == 0;
}

void check_status(const ReadStatus& status) {
  const bool consistent =
      (status.outcome == ReadOutcome::success && status.code() == 0 &&
       status.condition().empty()) ||
      (status.outcome == ReadOutcome::end_of_input && status.code() < 0 &&
       status.condition() == "end of file") ||
      (status.outcome == ReadOutcome::error && status.code() > 0 &&
       (status.condition() == "syntax error" || status.condition() == "conversion error"));
  if (!consistent) fail("inconsistent status");
}

// The detail line a reader's stop would carry for a failed read: one line without control
// characters that names the file and the line, then says what was refused or how many values were
// found.
void check_read_detail(const ReadStatus& status, int line, const ItemSet& items) {
  std::size_t expected = 0;
  for (const ReadItem& item : items.items) expected += item.count();
  const std::string detail =
      quelby::read_detail("in.txt", static_cast<std::size_t>(line), status, expected);
  const std::string prefix = "in.txt:" + std::to_string(line) + ": ";
  if (!detail.starts_with(prefix) || detail.size() == prefix.size()) {
    fail("a read detail without its place or its words", detail);
  }
  if (fuzz_support::has_control_character(detail)) {
    fail("a read detail with a control character", detail);
  }
}

constexpr int max_reads = 8;

// Reads repeatedly until the input ends (at most max_reads times) from `source` with the library
// and from `lines` with the reference; every read must agree. Returns the library's statuses.
std::vector<ReadStatus> compare_with_reference(quelby::RecordSource& source,
                                               const std::vector<std::string_view>& lines,
                                               const std::uint8_t kinds, const std::uint8_t lengths,
                                               std::string_view text) {
  ItemSet library;
  ItemSet reference;
  build_items(kinds, lengths, library);
  build_items(kinds, lengths, reference);
  Records records{lines};
  std::vector<ReadStatus> statuses;
  for (int read = 0; read < max_reads; ++read) {
    const ReadStatus got = quelby::read_items(source, library.items);
    const ReadStatus expected = reference_read(records, reference.elements);
    check_status(got);
    if (got.outcome != ReadOutcome::success) check_read_detail(got, read + 1, library);
    if (!same_status(got, expected)) fail("read status differs from the reference", text);
    if (!same_values(library, reference)) fail("read values differ from the reference", text);
    statuses.push_back(got);
    if (got.outcome == ReadOutcome::end_of_input) break;
  }
  return statuses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t kinds = data[0];
  const std::uint8_t lengths = data[1];
  const std::size_t bulk_length = data[2];
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

  // Every token between separators through both parsers.
  for (std::size_t p = 0; p < text.size();) {
    std::size_t q = p;
    while (q < text.size() && !ends_value(text[q]) && text[q] != '\n' && text[q] != '*') ++q;
    check_parsers(text.substr(p, q - p));
    p = q + 1;
  }
  check_parsers(text);

  // An internal read: the whole text is the one record.
  {
    quelby::TextRecord record(text);
    compare_with_reference(record, {text}, kinds, lengths, text);
  }

  // Records in memory, then the same bytes from a file, also after a rewind.
  const std::vector<std::string_view> lines = split_lines(text);
  LineSource memory(lines);
  const std::vector<ReadStatus> in_memory =
      compare_with_reference(memory, lines, kinds, lengths, text);
  write_scratch(text);
  {
    // One file object for the whole run: its buffer is reused from one open to the next.
    static quelby::InputFile file;
    if (!file.open(scratch_file())) fail("cannot open the scratch file");
    if (compare_with_reference(file, lines, kinds, lengths, text).size() != in_memory.size()) {
      fail("file and memory records differ", text);
    }
    file.rewind();
    if (compare_with_reference(file, lines, kinds, lengths, text).size() != in_memory.size()) {
      fail("rewound file differs", text);
    }
    file.close();
  }

  // The same file through a small window, its long records in pieces: every read agrees with the
  // whole lines, refused text and items left included, until a token longer than the window that
  // cannot be a number is refused (cut at the window).
  {
    static quelby::InputFile windowed;
    const std::size_t window = 16 + lengths % 48;
    if (!windowed.open(scratch_file(), window)) fail("cannot open the scratch file");
    ItemSet through_window;
    ItemSet whole_lines;
    build_items(kinds, lengths, through_window);
    build_items(kinds, lengths, whole_lines);
    LineSource whole(lines);
    for (int read = 0; read < max_reads; ++read) {
      const ReadStatus got = quelby::read_items(windowed, through_window.items);
      const ReadStatus expected = quelby::read_items(whole, whole_lines.items);
      const bool same = same_status(got, expected) && got.token == expected.token &&
                        got.items_left == expected.items_left &&
                        same_values(through_window, whole_lines);
      if (!same) {
        // Only a token that is no number may be cut: whole lines refuse the same token.
        const bool cut = got.outcome == ReadOutcome::error && got.error == ReadErrorKind::syntax &&
                         got.token.size() + 1 >= window && expected.outcome == ReadOutcome::error &&
                         expected.token.starts_with(got.token);
        if (cut) break;
        fail("a read through a small window differs from whole lines", text);
      }
      if (got.outcome == ReadOutcome::end_of_input) break;
    }
    windowed.close();
  }

  // The bulk path for models against the general path with one array of reals.
  std::vector<double> bulk(bulk_length);
  std::vector<double> general(bulk_length);
  for (std::size_t i = 0; i < bulk_length; ++i) bulk[i] = general[i] = 0.5 * static_cast<double>(i);
  LineSource bulk_source(lines);
  LineSource general_source(lines);
  for (int read = 0; read < max_reads; ++read) {
    const ReadStatus from_bulk = quelby::read_reals(bulk_source, bulk);
    const ReadStatus from_general =
        quelby::read_items(general_source, {std::span<double>(general)});
    if (!same_status(from_bulk, from_general)) fail("read_reals status differs", text);
    if (bulk_length > 0 &&
        std::memcmp(bulk.data(), general.data(), bulk_length * sizeof(double)) != 0) {
      fail("read_reals values differ", text);
    }
    if (from_bulk.outcome == ReadOutcome::end_of_input) break;
  }

  // The parallel bulk read of the file's first record on, through small windows: when it reads
  // every value they are read_reals' values; when it gives up, a sequential read over what it
  // stored gives read_reals' values too. Its threads cost more than the rest of a run, so a
  // quarter of the inputs (chosen by their list) take this path.
  if (bulk_length > 0 && kinds % 4 == 0) {
    std::vector<double> parallel(bulk_length), sequential(bulk_length);
    for (std::size_t i = 0; i < bulk_length; ++i) {
      parallel[i] = sequential[i] = 0.25 * static_cast<double>(i);
    }
    const int descriptor = open(scratch_file().c_str(), O_RDONLY);
    if (descriptor < 0) fail("cannot open the scratch file");
    const bool whole =
        quelby::read_plain_reals_in_parallel(descriptor, 0, parallel, 2 + lengths % 40);
    close(descriptor);
    LineSource reference(lines);
    const ReadStatus expected = quelby::read_reals(reference, sequential);
    if (whole) {
      if (!expected.ok()) fail("a parallel read of what read_reals refuses", text);
    } else {
      LineSource again(lines);
      const ReadStatus resumed = quelby::read_reals(again, parallel);
      if (!same_status(resumed, expected)) fail("a sequential read after the parallel one differs", text);
    }
    if (std::memcmp(parallel.data(), sequential.data(), bulk_length * sizeof(double)) != 0) {
      fail("parallel read values differ", text);
    }
  }
  return 0;
}
