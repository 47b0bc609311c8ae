/*
 * text_table.h - rows of cells printed as aligned columns, two blanks
 * apart; the last column is not padded (it may be long). Widths count the
 * characters a text shows (UTF-8 by its characters, not its bytes).
 */
#ifndef ORVTSDB_TEXT_TABLE_H
#define ORVTSDB_TEXT_TABLE_H

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace orvtsdb_cli {

/* The characters `text` shows: its bytes but UTF-8's continuation bytes. */
inline size_t shown_width(const std::string &text) {
  return (size_t)std::count_if(text.begin(), text.end(),
                               [](char c) { return ((unsigned char)c & 0xC0) != 0x80; });
}

template <size_t N>
void print_columns(const std::vector<std::array<std::string, N>> &cells) {
  std::array<size_t, N> width{};
  for (const auto &line : cells)
    for (size_t i = 0; i + 1 < N; i++) width[i] = std::max(width[i], shown_width(line[i]));
  for (const auto &line : cells) {
    std::string text;
    for (size_t i = 0; i + 1 < N; i++)
      text += line[i] + std::string(width[i] - shown_width(line[i]) + 2, ' ');
    std::printf("%s%s\n", text.c_str(), line[N - 1].c_str());
  }
}

}  // namespace orvtsdb_cli

#endif
