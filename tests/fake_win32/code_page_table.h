// Windows' own tables for the single-byte ANSI code pages the fake machine
// runs under, read from the Windows-format files (c_<code page>.nls) that
// Wine ships: every mapping, best-fit ones included, is Windows' and not a
// hand-written range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

struct CodePageTable {
  uint16_t codePage = 0;
  uint8_t defaultChar = '?';
  // Byte to UTF-16 unit.
  std::vector<uint16_t> toUnicode;
  // UTF-16 unit to byte, best-fit look-alikes included (Ł gives L in 1252).
  std::vector<uint8_t> fromUnicode;
};

// The table for `codePage`, loaded once from the folder the build names;
// null when there is no such file or it is not a single-byte table.
const CodePageTable* codePageTable(unsigned codePage);

// The folder the tables are read from.
std::string codePageTableFolder();

}  // namespace fake
