// A built-in 8-dot computer braille table for printable ASCII: one cell byte per
// character, bit 0 = dot 1 ... bit 7 = dot 8 (the host's dot order).
#ifndef BRL_HOST_BRAILLE_TABLE_H
#define BRL_HOST_BRAILLE_TABLE_H

#include <string>
#include <vector>

// The cell for one character; characters outside 0x20..0x7E become dots 1-8.
unsigned char AsciiToCell(char c);
// UTF-8 text, one cell per character; a character the table has not (é, €)
// is one cell of dots 1-8.
std::vector<unsigned char> TextToCells(const std::string& utf8);
// The cells as Unicode braille in UTF-8, as a braille viewer shows them.
std::string CellsToBraille(const std::vector<unsigned char>& cells);

#endif
