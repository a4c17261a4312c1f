#include "code_page_table.h"

#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#ifndef FAKE_WIN32_NLS_DIR
#error "the build names the folder of the code-page tables"
#endif

namespace fake {
namespace {

uint16_t wordAt(const std::vector<unsigned char>& data, size_t index) {
  return static_cast<uint16_t>(data[2 * index] | (data[2 * index + 1] << 8));
}

// The layout of a code-page file: a header of `headerWords` words (its
// size first, then the code page, the character size in bytes and the
// default character); then the distance in words to the UTF-16-to-byte
// table, counted from the word after it; the 256-entry byte-to-UTF-16
// table; and at that distance the 65536-entry table, one byte each for a
// single-byte code page.
std::unique_ptr<CodePageTable> load(unsigned codePage) {
  std::ifstream file(
      codePageTableFolder() + "/c_" + std::to_string(codePage) + ".nls",
      std::ios::binary);
  if (!file) return nullptr;
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
  if (data.size() < 32) return nullptr;
  const size_t headerWords = wordAt(data, 0);
  if (wordAt(data, 1) != codePage || wordAt(data, 2) != 1 ||
      data.size() < 2 * (headerWords + 1 + 256)) {
    return nullptr;
  }
  auto table = std::make_unique<CodePageTable>();
  table->codePage = static_cast<uint16_t>(codePage);
  table->defaultChar = static_cast<uint8_t>(wordAt(data, 3));
  const size_t wideTable = 2 * (headerWords + 1 + wordAt(data, headerWords));
  if (data.size() < wideTable + 65536) return nullptr;
  for (size_t byte = 0; byte < 256; ++byte) {
    table->toUnicode.push_back(wordAt(data, headerWords + 1 + byte));
  }
  table->fromUnicode.assign(
      data.begin() + static_cast<long>(wideTable),
      data.begin() + static_cast<long>(wideTable) + 65536);
  return table;
}

}  // namespace

std::string codePageTableFolder() { return FAKE_WIN32_NLS_DIR; }

const CodePageTable* codePageTable(unsigned codePage) {
  static std::map<unsigned, std::unique_ptr<CodePageTable>> loaded;
  auto found = loaded.find(codePage);
  if (found == loaded.end()) {
    found = loaded.emplace(codePage, load(codePage)).first;
  }
  return found->second.get();
}

}  // namespace fake
