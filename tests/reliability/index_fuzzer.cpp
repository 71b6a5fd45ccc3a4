// libFuzzer target: any bytes as an index file must read without a crash, a leak or undefined
// behaviour, and whatever reads successfully must hold only safe names.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "index/package_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "fuzz-index-" + std::to_string(getpid()) + ".txt";
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);
  CPackageIndex index;
  int reason = -1;
  if (index.Read(path, reason)) {
    if (!index.m_strProductVersion.empty() && !IsPlainFileName(index.m_strProductVersion)) abort();
    for (const CPackagePart& part : index.m_parts)
      if (!part.m_strName.empty() && !IsPlainFileName(part.m_strName)) abort();
  } else if (reason < 0 || reason > 2) {
    abort();
  }
  return 0;
}
