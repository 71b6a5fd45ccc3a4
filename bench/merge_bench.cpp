// Joins the parts an index names with the program's own MergeParts and prints the seconds taken.
//   merge_bench <folder holding pkgindex.txt and the parts>
#include <chrono>
#include <cstdio>

#include "index/package_index.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string folder = argv[1];
  CPackageIndex index;
  int reason = 0;
  if (!index.Read(folder + "\\pkgindex.txt", reason)) return 1;
  const auto start = std::chrono::steady_clock::now();
  const int ok = index.MergeParts(folder, "joined.bin", nullptr);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  printf("%.3f\n", took.count());
  return ok ? 0 : 1;
}
