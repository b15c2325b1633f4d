// The template of a failure's message: the message with the parts that
// change from one failure to the next (ids, numbers, quoted values) replaced
// by placeholders, so that failures that differ only by those count as one.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace vtm::stats {

// Placeholders, in the order the scanner tries them at a position:
//   <uuid>  8-4-4-4-12 hexadecimal digits
//   <hex>   0x and hexadecimal digits; a word of 8 or more hexadecimal
//           digits with at least one decimal digit and one letter a-f
//   <n>     a decimal number: digits, with a fraction, and a sign when it
//           starts a word ("-3", "+1.5", "7" in "item7")
//   <str>   a value in '...' or "..." (backslash escapes inside), whose
//           opening quote does not follow a letter or digit (so "can't"
//           stays) and whose closing quote is not followed by one
// Everything else is kept. Bytes beyond ASCII count as letters. The result
// is cut to `limit` characters (UTF-8 code points).
std::string message_template(std::string_view message, std::size_t limit);

}  // namespace vtm::stats
