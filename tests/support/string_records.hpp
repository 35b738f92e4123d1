// Records from a string in memory, split at line feeds like a file (a carriage return before a
// line feed belongs to the line end).
#pragma once

#include <string>
#include <string_view>

#include "quelby/base/free_format.hpp"

namespace quelby::testing {

class StringRecords final : public RecordSource {
 public:
  explicit StringRecords(std::string text) : text_(std::move(text)) {}
  bool next_record(std::string_view& record) override {
    if (position_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', position_);
    const std::size_t next = end == std::string::npos ? text_.size() : end + 1;
    if (end == std::string::npos) {
      end = text_.size();
    } else if (end > position_ && text_[end - 1] == '\r') {
      --end;
    }
    record = std::string_view(text_).substr(position_, end - position_);
    position_ = next;
    return true;
  }

 private:
  std::string text_;
  std::size_t position_ = 0;
};

}  // namespace quelby::testing
