// icongen DESCRIPTION OUT.ico: writes the stub's icon from a readable pixel
// description, so the tree holds no binary image. The description has a
// "palette" of 16 lines "INDEX RRGGBB", then one "image N" section per size
// with N lines of N characters: a hex digit is a palette index, "." is
// transparent. Lines starting with "#" are comments. Every image has 16 colours.
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/little_endian.h"

namespace {

struct Image {
  int size = 0;
  std::vector<std::string> rows;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One 4-bit device-independent bitmap with its AND mask, rows bottom-up.
std::vector<uint8_t> EncodeImage(const Image& img, const uint32_t palette[16]) {
  const int n = img.size;
  const int xorStride = ((n * 4 + 31) / 32) * 4;
  const int andStride = ((n + 31) / 32) * 4;
  std::vector<uint8_t> out;
  AppendLE32(out, 40);
  AppendLE32(out, n);
  AppendLE32(out, 2 * n);   // the height counts the colour bitmap and the mask
  AppendLE16(out, 1);
  AppendLE16(out, 4);
  AppendLE32(out, 0);
  AppendLE32(out, (xorStride + andStride) * n);
  AppendLE32(out, 0);
  AppendLE32(out, 0);
  AppendLE32(out, 0);
  AppendLE32(out, 0);
  for (int i = 0; i < 16; ++i) {
    out.push_back(static_cast<uint8_t>(palette[i]));         // blue
    out.push_back(static_cast<uint8_t>(palette[i] >> 8));    // green
    out.push_back(static_cast<uint8_t>(palette[i] >> 16));   // red
    out.push_back(0);
  }
  for (int y = n - 1; y >= 0; --y) {
    std::vector<uint8_t> row(xorStride, 0);
    for (int x = 0; x < n; ++x) {
      int v = img.rows[y][x] == '.' ? 0 : HexValue(img.rows[y][x]);
      row[x / 2] |= static_cast<uint8_t>(x % 2 ? v : v << 4);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = n - 1; y >= 0; --y) {
    std::vector<uint8_t> row(andStride, 0);
    for (int x = 0; x < n; ++x)
      if (img.rows[y][x] == '.') row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

bool Fail(const std::string& what) {
  fprintf(stderr, "icongen: %s\n", what.c_str());
  return false;
}

bool Parse(std::istream& in, uint32_t palette[16], std::vector<Image>* images) {
  std::string line;
  int lineNo = 0;
  int paletteLeft = 0;
  bool paletteSeen[16] = {};
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    if (line == "palette") {
      paletteLeft = 16;
      continue;
    }
    if (paletteLeft > 0) {
      std::istringstream fields(line);
      std::string index, rgb;
      fields >> index >> rgb;
      int i = index.size() == 1 ? HexValue(index[0]) : -1;
      if (i < 0 || rgb.size() != 6) return Fail(where + "palette lines are \"INDEX RRGGBB\"");
      palette[i] = static_cast<uint32_t>(std::stoul(rgb, nullptr, 16));
      paletteSeen[i] = true;
      --paletteLeft;
      continue;
    }
    if (line.compare(0, 6, "image ") == 0) {
      Image img;
      img.size = std::stoi(line.substr(6));
      if (img.size != 16 && img.size != 32) return Fail(where + "images are 16 or 32 pixels");
      images->push_back(img);
      continue;
    }
    if (images->empty()) return Fail(where + "pixels before any \"image\" line");
    Image& img = images->back();
    if (static_cast<int>(line.size()) != img.size || static_cast<int>(img.rows.size()) >= img.size)
      return Fail(where + "each image has exactly N rows of N pixels");
    for (char c : line)
      if (c != '.' && HexValue(c) < 0) return Fail(where + "pixels are hex digits or \".\"");
    img.rows.push_back(line);
  }
  for (bool seen : paletteSeen)
    if (!seen) return Fail("the palette needs all 16 entries");
  if (images->empty()) return Fail("no image");
  for (const Image& img : *images)
    if (static_cast<int>(img.rows.size()) != img.size) return Fail("an image is missing rows");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: icongen DESCRIPTION OUT.ico\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    Fail(std::string("cannot read ") + argv[1]);
    return 1;
  }
  uint32_t palette[16] = {};
  std::vector<Image> images;
  if (!Parse(in, palette, &images)) return 1;

  std::vector<std::vector<uint8_t>> encoded;
  for (const Image& img : images) encoded.push_back(EncodeImage(img, palette));
  std::vector<uint8_t> ico;
  AppendLE16(ico, 0);
  AppendLE16(ico, 1);   // icon
  AppendLE16(ico, static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    ico.push_back(static_cast<uint8_t>(images[i].size));
    ico.push_back(static_cast<uint8_t>(images[i].size));
    ico.push_back(16);   // colours
    ico.push_back(0);
    AppendLE16(ico, 1);       // planes
    AppendLE16(ico, 4);       // bits per pixel
    AppendLE32(ico, static_cast<uint32_t>(encoded[i].size()));
    AppendLE32(ico, offset);
    offset += static_cast<uint32_t>(encoded[i].size());
  }
  for (const auto& e : encoded) ico.insert(ico.end(), e.begin(), e.end());
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
  out.close();
  if (!out) {
    Fail(std::string("cannot write ") + argv[2]);
    return 1;
  }
  return 0;
}
