// How the command line shows a text that may carry an archive's names: every byte that could
// drive a terminal is written as a visible escape, everything else as stored. Works on the
// caller's buffers; the one state is whether UTF-8 widths are known, set once at start-up.
#pragma once

#include <cstddef>
#include <cstdio>

// One character of a text as shown: the bytes it takes from the text, the bytes written in its
// place and the terminal columns those take.
struct ShownPiece {
  size_t in_len = 0;   // bytes of the text this piece covers (at least 1)
  char out[16] = {};   // what is written instead (not terminated)
  size_t out_len = 0;  // bytes in `out`
  int columns = 0;     // terminal cells `out` takes
};

// Takes the piece that starts at `p` (a byte that is not the terminator). Results:
//   C0 controls (below 0x20) and DEL    "\xNN", 4 columns
//   other ASCII                         the byte itself, 1 column
//   a C1 control encoded as UTF-8       "\xc2\xNN", 8 columns (U+0080..U+009F: CSI and others)
//   any other well-formed UTF-8         the sequence itself, its width (wcwidth when the
//                                       C.UTF-8 locale could be set, else 1; 0 for marks)
//   a byte 0x80..0x9F outside UTF-8    "\xNN", 4 columns (a C1 control on an 8-bit terminal)
//   any other byte outside UTF-8        the byte itself, 1 column (a Latin-1 or CP437 name)
ShownPiece NextShownPiece(const char* p);

// Writes the first `len` bytes of `text` to `out` piece by piece. The text must stay terminated
// at or after `len` (a piece looks ahead); cutting before an ASCII byte never splits a piece.
void WriteShown(FILE* out, const char* text, size_t len);

// Writes into `out` (room for `out_size` bytes, terminated) the shown form of `text` cut to at
// most `columns` terminal cells, never inside a piece. Returns the bytes written, without the
// terminator. `out_size` of at least 1 is required.
size_t CutShown(const char* text, int columns, char* out, size_t out_size);

// Makes wcwidth() answer for UTF-8 (LC_CTYPE only; no other category changes). Returns false
// when no UTF-8 locale exists; every character then counts one column.
bool UseUtf8Widths();
