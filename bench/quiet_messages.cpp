#include <cstdio>

#include "common/show_message.h"

// The benchmark prints what the program would have shown in a box.
void ShowMessage(const std::string& text) { fprintf(stderr, "message: %s\n", text.c_str()); }
