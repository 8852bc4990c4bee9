// The extractor's run: from its own file to the unpacked folders and files in
// the current folder, and the one line and exit code that tell how it ended.
#pragma once

#include "archive/archive.h"

/// Unpacks the archive the extractor carries into the current folder.
/// Returns the exit code: 0, or the harwarchive::Failure that ended it, told
/// in one line on standard error; whatever it created is removed again then.
int RunExtractor(int argc, wchar_t** argv);
