#include "braille_table.h"

#include "console_text.h"

namespace {
// Dot numbers to a cell byte: "145" -> dots 1, 4 and 5.
constexpr unsigned char Dots(const char* dots) {
    unsigned char cell = 0;
    for (const char* p = dots; *p; ++p) cell = static_cast<unsigned char>(cell | (1u << (*p - '1')));
    return cell;
}

// 0x20..0x3F, then 0x60..0x7F without dot 7; 0x40..0x5F are the 0x60 row with dot 7.
const char* const kLow[32] = {"",    "2346", "5",   "3456", "1246", "146", "12346", "3",      "12356", "23456", "16",
                              "346", "6",    "36",  "46",   "34",   "356", "2",     "23",     "25",    "256",   "26",
                              "235", "2356", "236", "35",   "156",  "56",  "126",   "123456", "345",   "1456"};
const char* const kHigh[32] = {"4",    "1",    "12",   "14",    "145",  "15",   "124",   "1245",  "125", "24",   "245",
                               "13",   "123",  "134",  "1345",  "135",  "1234", "12345", "1235",  "234", "2345", "136",
                               "1236", "2456", "1346", "13456", "1356", "246",  "1256",  "12456", "45",  "456"};
}  // namespace

unsigned char AsciiToCell(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x40) return Dots(kLow[u - 0x20]);
    if (u >= 0x60 && u < 0x7F) return Dots(kHigh[u - 0x60]);
    if (u >= 0x40 && u < 0x60) {
        // Capitals and @ [ \ ] ^ carry dot 7; the underscore stays as it is.
        if (u == 0x5F) return Dots("456");
        return static_cast<unsigned char>(Dots(kHigh[u - 0x40]) | 0x40);
    }
    return 0xFF;
}

std::vector<unsigned char> TextToCells(const std::string& utf8) {
    std::vector<unsigned char> cells;
    for (char32_t c : tools::DecodeUtf8(utf8)) cells.push_back(c < 0x80 ? AsciiToCell(static_cast<char>(c)) : 0xFF);
    return cells;
}

std::string CellsToBraille(const std::vector<unsigned char>& cells) {
    std::string text;
    for (unsigned char cell : cells) {
        const unsigned c = 0x2800u + cell;  // U+2800..U+28FF, three bytes each
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
    return text;
}
