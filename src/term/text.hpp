#pragma once
// UTF-8 text measured in terminal columns. Text may carry the SGR escapes that
// render() produces; they take no room and are kept in balance when text is cut.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::term {

// Columns `text` takes on a terminal (East Asian wide and emoji characters count two,
// combining marks and emoji modifiers nothing beyond their base).
int display_width(std::string_view text);

// One grapheme cluster (a character with the marks that combine with it), or one SGR
// escape sequence.
struct Glyph {
  std::string_view bytes;
  int width;
  bool escape;
};
std::vector<Glyph> split_glyphs(std::string_view text);

// Folds text onto lines of at most `width` columns: at spaces where possible; a word
// too long for a line at its soft breaks (after ",", "/", "-", "->"), and a piece still
// too long inside it, but never inside a piece that holds an address ("host:port"),
// nor inside a character. Line breaks in the text are kept, and styles in force at a
// break are closed and reopened on the next line.
std::vector<std::string> wrap(std::string_view text, int width);

// The narrowest widths at which wrap() keeps, in turn, every word whole, every piece
// between soft breaks whole, and at least every address and character whole.
struct WrapMinimums {
  int word = 0;
  int piece = 0;
  int unbreakable = 1;
};
WrapMinimums wrap_minimums(std::string_view text);

// The first `width` columns of one line; a cut is marked with an ellipsis.
std::string truncate(std::string_view text, int width);

}  // namespace tarvo::term
