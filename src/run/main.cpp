#include "run/run.h"

int wmain(int argc, wchar_t** argv) { return static_cast<int>(RunUpdate(argc, argv)); }
