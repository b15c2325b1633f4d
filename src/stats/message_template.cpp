#include "stats/message_template.h"

namespace vtm::stats {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_word(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}

  std::string run() {
    out_.reserve(s_.size());
    while (i_ < s_.size()) {
      const unsigned char c = at(i_);
      const bool starts_word = !is_word(before(i_));
      if (starts_word && (uuid() || hex_prefixed() || hex_word())) continue;
      if ((c == '\'' || c == '"') && starts_word && quoted(c)) continue;
      if (number(starts_word)) continue;
      out_.push_back(static_cast<char>(c));
      ++i_;
    }
    return std::move(out_);
  }

 private:
  unsigned char at(std::size_t i) const {
    return i < s_.size() ? static_cast<unsigned char>(s_[i]) : 0;
  }
  unsigned char before(std::size_t i) const { return i ? at(i - 1) : 0; }
  bool ends_word(std::size_t i) const { return !is_word(at(i)); }

  void put(std::string_view placeholder, std::size_t end) {
    out_.append(placeholder);
    i_ = end;
  }

  // Runs of hexadecimal digits of the given lengths, separated by '-'.
  bool uuid() {
    std::size_t j = i_;
    for (const std::size_t n : {8, 4, 4, 4, 12}) {
      if (j != i_ && at(j++) != '-') return false;
      for (std::size_t k = 0; k < n; ++k)
        if (!is_hex(at(j++))) return false;
    }
    if (!ends_word(j)) return false;
    put("<uuid>", j);
    return true;
  }

  bool hex_prefixed() {
    if (at(i_) != '0' || (at(i_ + 1) != 'x' && at(i_ + 1) != 'X') || !is_hex(at(i_ + 2)))
      return false;
    std::size_t j = i_ + 2;
    while (is_hex(at(j))) ++j;
    if (!ends_word(j)) return false;
    put("<hex>", j);
    return true;
  }

  // A whole word of hexadecimal digits, long enough and mixed enough to be
  // an id rather than a number or an English word.
  bool hex_word() {
    std::size_t j = i_;
    bool digit = false, letter = false;
    while (is_hex(at(j))) {
      (is_digit(at(j)) ? digit : letter) = true;
      ++j;
    }
    if (j - i_ < 8 || !digit || !letter || !ends_word(j)) return false;
    put("<hex>", j);
    return true;
  }

  bool quoted(unsigned char quote) {
    for (std::size_t j = i_ + 1; j < s_.size(); ++j) {
      if (at(j) == '\\') {
        ++j;
      } else if (at(j) == quote && ends_word(j + 1)) {
        put("<str>", j + 1);
        return true;
      }
    }
    return false;
  }

  bool number(bool starts_word) {
    std::size_t j = i_;
    if (starts_word && (at(j) == '-' || at(j) == '+') && is_digit(at(j + 1))) ++j;
    if (!is_digit(at(j))) return false;
    while (is_digit(at(j))) ++j;
    if (at(j) == '.' && is_digit(at(j + 1))) {
      ++j;
      while (is_digit(at(j))) ++j;
    }
    put("<n>", j);
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::string out_;
};

}  // namespace

std::string message_template(std::string_view message, std::size_t limit) {
  std::string out = Scanner(message).run();
  std::size_t chars = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    // A code point begins at every byte but the continuation bytes.
    if ((static_cast<unsigned char>(out[i]) & 0xC0) != 0x80 && chars++ == limit) {
      out.resize(i);
      break;
    }
  }
  return out;
}

}  // namespace vtm::stats
