#include "ui/fltk/icons.h"

#include <string>
#include <vector>

namespace lumora::fltk_ui {
namespace {

// Palette letters: K black, m maroon, g green, o olive, n navy, p purple, t teal,
// s silver (colour 7), d grey, r red, l lime, y yellow, b blue, f fuchsia, c aqua, w white.
struct PaletteEntry {
  char letter;
  unsigned char r, g, b;
};
constexpr PaletteEntry kPalette[] = {
    {'K', 0, 0, 0},       {'m', 128, 0, 0},   {'g', 0, 128, 0},   {'o', 128, 128, 0},
    {'n', 0, 0, 128},     {'p', 128, 0, 128}, {'t', 0, 128, 128}, {'s', 192, 192, 192},
    {'d', 128, 128, 128}, {'r', 255, 0, 0},   {'l', 0, 255, 0},   {'y', 255, 255, 0},
    {'b', 0, 0, 255},     {'f', 255, 0, 255}, {'c', 0, 255, 255}, {'w', 255, 255, 255},
};

const char* const kApplicationIcon[kIconSize] = {
    "................................", "................................",
    ".KKKKKKKKKKKKKKKKKKK............", ".KwwwwwwwwwwwwwwwwdK............",
    ".KwsssssssssssssssdK............", ".KwsKKKKKKKKKKKKKsdK............",
    ".KwsKnnnnnnnnnnnKsdK............", ".KwsKncccccccnwnKsdK............",
    ".KwsKnnnnnnnnnnnKsdK............", ".KwsKncccccccccnKsdK............",
    ".KwsKnnnnnnnnnnnKsdKKKKKKKKKKKK.", ".KwsKncccccnnnnnKsKwwwwwwwwwwwK.",
    ".KwsKnccccccccnnKKyyyyyyyyyyyoK.", ".KwsKnnnnnnnnnnnKKKKKKKKKKKKooK.",
    ".KwsKKKKKKKKKKKKKyyyyyyyyyyKooK.", ".KwsssssssssssslKyyyyyyyyyyKooK.",
    ".KddddddddddddddKyyyyyyyyyyKooK.", ".KKKKKKKKKKKKKKKKnnnnnnnnnnKooK.",
    "........KKKKK...KnnnnnnnnnnKooK.", "........KKKKK...KnnnnnnnnnnKooK.",
    "...KKKKKKKKKKKKKKnnnnnnnnnnKooK.", "...KwwwwwwwwwwwwKyyyyyyyyyyKooK.",
    "...KssssssssssssKyyyrrrryyyKooK.", "...KKKKKKKKKKKKKKyyrrrrrryyKooK.",
    "................KyyrrrrrryyKooK.", "................KyyyrrrryyyKooK.",
    "................KyyyyyyyyyyKooK.", "................KyooooooooyKoK..",
    "................KyyyyyyyyyyKK...", "................KKKKKKKKKKKK....",
    "................................", "................................",
};

const char* const kErrorIcon[kIconSize] = {
    "................................", "..............mmmm..............",
    "..........mmmmmmmmmmmm..........", "........mmmrrrrrrrrrrmmm........",
    ".......mmrrrrrrrrrrrrrrmm.......", "......mmrrrrrrrrrrrrrrrrmm......",
    ".....mmrrrrrrrrrrrrrrrrrrmm.....", "....mmrrrrrrrrrrrrrrrrrrrrmm....",
    "...mmrrrrrrrrrrrrrrrrrrrrrrmm...", "...mrrrrrwwrrrrrrrrrrwwrrrrrmd..",
    "..mmrrrrrwwwrrrrrrrrwwwrrrrrmm..", "..mrrrrrrrwwwrrrrrrwwwrrrrrrrmd.",
    "..mrrrrrrrrwwwrrrrwwwrrrrrrrrmd.", "..mrrrrrrrrrwwwrrwwwrrrrrrrrrmd.",
    ".mmrrrrrrrrrrwwwwwwrrrrrrrrrrmm.", ".mmrrrrrrrrrrrwwwwrrrrrrrrrrrmmd",
    ".mmrrrrrrrrrrrwwwwrrrrrrrrrrrmmd", ".mmrrrrrrrrrrwwwwwwrrrrrrrrrrmmd",
    "..mrrrrrrrrrwwwrrwwwrrrrrrrrrmdd", "..mrrrrrrrrwwwrrrrwwwrrrrrrrrmd.",
    "..mrrrrrrrwwwrrrrrrwwwrrrrrrrmd.", "..mmrrrrrwwwrrrrrrrrwwwrrrrrmmd.",
    "...mrrrrrwwrrrrrrrrrrwwrrrrrmdd.", "...mmrrrrrrrrrrrrrrrrrrrrrrmmd..",
    "....mmrrrrrrrrrrrrrrrrrrrrmmdd..", ".....mmrrrrrrrrrrrrrrrrrrmmdd...",
    "......mmrrrrrrrrrrrrrrrrmmdd....", ".......mmrrrrrrrrrrrrrrmmdd.....",
    "........mmmrrrrrrrrrrmmmdd......", ".........dmmmmmmmmmmmmddd.......",
    "...........dddmmmmddddd.........", "...............dddd.............",
};

const char* const kWarningIcon[kIconSize] = {
    "................................", "................................",
    "...............KK...............", "...............KKd..............",
    "..............KKKK..............", "..............KKKKd.............",
    ".............KKyyKK.............", ".............KKyyKKd............",
    "............KKyyyyKK............", "............KyyyyyyKd...........",
    "...........KKyyKKyyKK...........", "...........KyyKKKKyyKd..........",
    "..........KKyyKKKKyyKK..........", ".........KKyyyKKKKyyyKK.........",
    ".........KKyyyKKKKyyyKKd........", "........KKyyyyKKKKyyyyKK........",
    "........KKyyyyKKKKyyyyKKd.......", ".......KKyyyyyKKKKyyyyyKK.......",
    ".......KKyyyyyKKKKyyyyyKKd......", "......KKyyyyyyKKKKyyyyyyKK......",
    "......KKyyyyyyKKKKyyyyyyKKd.....", ".....KKyyyyyyyyyyyyyyyyyyKK.....",
    ".....KyyyyyyyyyyyyyyyyyyyyKd....", "....KKyyyyyyyyKKKKyyyyyyyyKK....",
    "....KyyyyyyyyyKKKKyyyyyyyyyKd...", "...KKyyyyyyyyyKKKKyyyyyyyyyKK...",
    "..KKyyyyyyyyyyyyyyyyyyyyyyyyKK..", "..KKyyyyyyyyyyyyyyyyyyyyyyyyKKd.",
    ".KKKKKKKKKKKKKKKKKKKKKKKKKKKKKK.", "..dddddddddddddddddddddddddddddd",
    "................................", "................................",
};

const char* const kInformationIcon[kIconSize] = {
    "................................", "..............KKKK..............",
    "..........KKKKKKKKKKKK..........", "........KKwwwwwwwwwwwwKK........",
    "......KKwwwwwwbbbbwwwwwwKK......", ".....KKwwwwwwwbbbbwwwwwwwKK.....",
    "....KwwwwwwwwwbbbbwwwwwwwwwK....", "...KKwwwwwwwwwbbbbwwwwwwwwwKK...",
    "...KwwwwwwwwwwwwwwwwwwwwwwwwK...", "..KwwwwwwwwwwwwwwwwwwwwwwwwwwK..",
    "..KwwwwwwwwwbbbbbbwwwwwwwwwwwK..", "..KwwwwwwwwwwwbbbbwwwwwwwwwwwK..",
    ".KKwwwwwwwwwwwbbbbwwwwwwwwwwwKK.", ".KKwwwwwwwwwwwbbbbwwwwwwwwwwwKK.",
    "..KwwwwwwwwwwwbbbbwwwwwwwwwwwK..", "..KwwwwwwwwwwwbbbbwwwwwwwwwwwK..",
    "..KwwwwwwwwwwwbbbbwwwwwwwwwwwK..", "...KwwwwwwwwwwbbbbwwwwwwwwwwK...",
    "...KKwwwwwwwwwbbbbwwwwwwwwwKK...", "....KwwwwwwwwwbbbbwwwwwwwwwK....",
    ".....KKwwwwwbbbbbbbbwwwwwKK.....", "......KKwwwwbbbbbbbbwwwwKK......",
    "........KKwwwwwwwwwwwwKK........", "........KKwKKKKKKKKKKK..........",
    "........KwK...KKKK..............", ".......KwK......................",
    "......KwK.......................", ".....KKK........................",
    ".....K..........................", "................................",
    "................................", "................................",
};
// The plain grey square: every row the same.
const char* const* BlankRows() {
  static const std::string row(kIconSize, 's');
  static const std::vector<const char*> rows(kIconSize, row.c_str());
  return rows.data();
}

}  // namespace

const char* const* PictureRows(Picture picture) {
  switch (picture) {
    case Picture::kApplication:
      return kApplicationIcon;
    case Picture::kError:
      return kErrorIcon;
    case Picture::kWarning:
      return kWarningIcon;
    case Picture::kInformation:
      return kInformationIcon;
    case Picture::kBlank:
      break;
  }
  return BlankRows();
}

std::vector<unsigned char> PictureRgba(Picture picture) {
  const char* const* rows = PictureRows(picture);
  std::vector<unsigned char> rgba;
  rgba.reserve(kIconSize * kIconSize * 4);
  for (int y = 0; y < kIconSize; ++y) {
    for (int x = 0; x < kIconSize; ++x) {
      const char letter = rows[y][x];
      unsigned char px[4] = {255, 0, 255, 255};
      if (letter == '.') {
        px[0] = px[1] = px[2] = px[3] = 0;
      } else {
        for (const PaletteEntry& e : kPalette) {
          if (e.letter == letter) {
            px[0] = e.r;
            px[1] = e.g;
            px[2] = e.b;
          }
        }
      }
      rgba.insert(rgba.end(), px, px + 4);
    }
  }
  return rgba;
}

}  // namespace lumora::fltk_ui
