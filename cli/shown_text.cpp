// Escaping and width cutting of shown texts. No buffers of its own: pieces are at most 8 bytes
// and the caller's areas receive everything else.
#include "shown_text.h"

#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <initializer_list>

namespace {

bool g_utf8Widths = false;  // set by UseUtf8Widths(): wcwidth() knows UTF-8

// Format notes: a well-formed sequence has no overlong form, no surrogate (U+D800..U+DFFF) and
// nothing past U+10FFFF; the bounds of each second byte below say exactly that. The text is
// terminated, so a sequence cut short meets the terminator, which is no continuation byte.
bool Continues(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length (2 to 4) of the well-formed multi-byte sequence at `p` and its code point, or 0.
size_t DecodeUtf8(const unsigned char* p, char32_t* code_point) {
  unsigned char b = p[0];
  if (b >= 0xC2 && b <= 0xDF) {
    if (!Continues(p[1])) return 0;
    *code_point = static_cast<char32_t>(((b & 0x1Fu) << 6) | (p[1] & 0x3Fu));
    return 2;
  }
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  size_t len;
  if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) low = 0xA0;   // below is overlong
    if (b == 0xED) high = 0x9F;  // above are the surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) low = 0x90;   // below is overlong
    if (b == 0xF4) high = 0x8F;  // above is past U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  char32_t cp = b & (len == 3 ? 0x0Fu : 0x07u);
  for (size_t i = 1; i < len; ++i) {
    if (!Continues(p[i])) return 0;
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  *code_point = cp;
  return len;
}

void Escape(const unsigned char* p, size_t len, ShownPiece* piece) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    char* o = piece->out + 4 * i;
    o[0] = '\\';
    o[1] = 'x';
    o[2] = kHex[p[i] >> 4];
    o[3] = kHex[p[i] & 0x0F];
  }
  piece->in_len = len;
  piece->out_len = 4 * len;
  piece->columns = static_cast<int>(4 * len);
}

void Keep(const unsigned char* p, size_t len, int columns, ShownPiece* piece) {
  memcpy(piece->out, p, len);
  piece->in_len = len;
  piece->out_len = len;
  piece->columns = columns;
}

}  // namespace

ShownPiece NextShownPiece(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  ShownPiece piece;
  if (*p < 0x20 || *p == 0x7F) {
    Escape(p, 1, &piece);
  } else if (*p < 0x80) {
    Keep(p, 1, 1, &piece);
  } else if (char32_t cp; size_t len = DecodeUtf8(p, &cp)) {
    if (cp <= 0x9F) {
      Escape(p, len, &piece);  // U+0080..U+009F: xterm and VTE obey them as controls
    } else {
      int width = g_utf8Widths ? wcwidth(static_cast<wchar_t>(cp)) : 1;
      Keep(p, len, width < 0 ? 1 : width, &piece);
    }
  } else if (*p <= 0x9F) {
    Escape(p, 1, &piece);
  } else {
    Keep(p, 1, 1, &piece);  // a terminal shows a replacement character in its cell
  }
  return piece;
}

void WriteShown(FILE* out, const char* text, size_t len) {
  const char* run = text;  // printable bytes not yet written, passed on in one call
  const char* end = text + len;
  for (const char* p = text; p < end;) {
    ShownPiece piece = NextShownPiece(p);
    bool kept = piece.out_len == piece.in_len;  // an escape is always longer than its bytes
    if (!kept) {
      fwrite(run, 1, static_cast<size_t>(p - run), out);
      fwrite(piece.out, 1, piece.out_len, out);
    }
    p += piece.in_len;
    if (!kept) run = p;
  }
  fwrite(run, 1, static_cast<size_t>(end - run), out);
}

size_t CutShown(const char* text, int columns, char* out, size_t out_size) {
  size_t n = 0;
  for (const char* p = text; *p != '\0';) {
    ShownPiece piece = NextShownPiece(p);
    if (piece.columns > columns || piece.out_len >= out_size - n) break;
    memcpy(out + n, piece.out, piece.out_len);
    n += piece.out_len;
    columns -= piece.columns;
    p += piece.in_len;
  }
  out[n] = '\0';
  return n;
}

bool UseUtf8Widths() {
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
    if (setlocale(LC_CTYPE, name) != nullptr) return g_utf8Widths = true;
  }
  return false;
}
