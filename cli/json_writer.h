// A small JSON writer for the command line's report: objects, arrays, strings, integers, fixed
// decimals and null, appended to a std::string the caller owns. Strings are written in their
// shown form (shown_text.h), so that no byte of an archive's names can drive a terminal or break
// the UTF-8 of the report: every byte standard output escapes, and every byte that is not part of
// well-formed UTF-8, becomes the four characters \xNN. No state beyond the nesting of one text;
// one thread per writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Appends `text` (`len` bytes; the text must stay terminated at or after `len`) to `out` as a
// JSON string literal with its quotes: shown form as above, then '"' and '\' escaped as JSON
// escapes them. The result is always valid UTF-8 and holds no control character.
void AppendJsonString(std::string* out, const char* text, size_t len);

class JsonWriter {
 public:
  explicit JsonWriter(std::string* out) : out_(out) {}

  // Containers. Inside an object every value follows a Key(); nesting deeper than kMaxDepth is
  // a caller's error and is not checked beyond the bound.
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

  // A member name: plain ASCII known to the program, written as it stands.
  void Key(const char* key);

  void String(const char* text);
  void String(const char* text, size_t len);
  void Int(int64_t value);
  // A number with `decimals` digits after the point (0 to 9), such as 0.125.
  void Fixed(double value, int decimals);
  void Null();

 private:
  static constexpr int kMaxDepth = 8;
  void Open(char bracket);
  void Close(char bracket);
  void BeforeValue();

  std::string* out_;
  int depth_ = 0;
  bool has_member_[kMaxDepth] = {};  // a comma goes before the next member at this depth
  bool after_key_ = false;           // the value of a Key() comes next: no comma
};
