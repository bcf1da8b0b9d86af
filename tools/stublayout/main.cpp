// stublayout IN OUT: gives the linked, stripped stub its self-extractor layout.
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "layout.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: stublayout IN OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    fprintf(stderr, "stublayout: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string why;
  stublayout::FoldTrailingExports(image);
  stublayout::FoldTrailingImportNames(image);
  if (!stublayout::ApplyStubLayout(image, &why)) {
    fprintf(stderr, "stublayout: %s: %s\n", argv[1], why.c_str());
    return 1;
  }
  if (!stublayout::CheckStubLayout(image.data(), image.size(), &why)) {
    fprintf(stderr, "stublayout: result fails its own check: %s\n", why.c_str());
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    fprintf(stderr, "stublayout: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
