// JSON text for the command line's report. No buffers of its own.
#include "json_writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "shown_text.h"

void AppendJsonString(std::string* out, const char* text, size_t len) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const char* p = text; p < text + len;) {
    const ShownPiece piece = NextShownPiece(p);
    const unsigned char first = static_cast<unsigned char>(*p);
    if (piece.in_len == 1 && first >= 0x80) {
      // A byte outside UTF-8 that a terminal may take as Latin-1: JSON must have UTF-8.
      const char escape[] = {'\\', '\\', 'x', kHex[first >> 4], kHex[first & 0x0F]};
      out->append(escape, sizeof escape);
    } else {
      for (size_t i = 0; i < piece.out_len; ++i) {
        const char c = piece.out[i];
        if (c == '"' || c == '\\') out->push_back('\\');
        out->push_back(c);
      }
    }
    p += piece.in_len;
  }
  out->push_back('"');
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (depth_ > 0 && depth_ <= kMaxDepth) {
    if (has_member_[depth_ - 1]) out_->push_back(',');
    has_member_[depth_ - 1] = true;
  }
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_->push_back(bracket);
  ++depth_;
  if (depth_ <= kMaxDepth) has_member_[depth_ - 1] = false;
}

void JsonWriter::Close(char bracket) {
  out_->push_back(bracket);
  --depth_;
}

void JsonWriter::Key(const char* key) {
  BeforeValue();
  out_->push_back('"');
  out_->append(key);
  out_->append("\":");
  after_key_ = true;
}

void JsonWriter::String(const char* text) { String(text, strlen(text)); }

void JsonWriter::String(const char* text, size_t len) {
  BeforeValue();
  AppendJsonString(out_, text, len);
}

void JsonWriter::Int(int64_t value) {
  BeforeValue();
  char digits[24];
  const int n = snprintf(digits, sizeof digits, "%" PRId64, value);
  out_->append(digits, n > 0 ? static_cast<size_t>(n) : 0);
}

void JsonWriter::Fixed(double value, int decimals) {
  BeforeValue();
  char digits[64];
  const int n = std::isfinite(value) ? snprintf(digits, sizeof digits, "%.*f", decimals, value)
                                      : -1;
  if (n > 0 && static_cast<size_t>(n) < sizeof digits) {
    out_->append(digits, static_cast<size_t>(n));
  } else {
    out_->append("null");  // JSON has no infinity; no time is ever that long
  }
}

void JsonWriter::Null() {
  BeforeValue();
  out_->append("null");
}
