// nerlo-icon: writes the application icon as a PNG file, for the desktop's icon folders.
//   nerlo-icon FILE [SIZE]
#include <cstdio>
#include <cstdlib>

#include "windows/artwork.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: nerlo-icon FILE [SIZE]\n");
    return 2;
  }
  const int size = argc == 3 ? std::atoi(argv[2]) : 256;
  if (size < 16 || size > 1024) {
    std::fprintf(stderr, "nerlo-icon: SIZE must lie between 16 and 1024\n");
    return 2;
  }
  if (!nerlo::windows::IconImage(size).save(argv[1], "PNG")) {
    std::fprintf(stderr, "nerlo-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
