#include "extract/extract.h"

int wmain(int argc, wchar_t** argv) { return RunExtractor(argc, argv); }
