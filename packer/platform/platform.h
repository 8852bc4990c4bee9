// The platform layer: files, text, processes, interrupts, hashing and the progress lines, over the
// system's own calls. It includes nothing of the packer's own.
#pragma once

#include "packer/platform/bytes.h"  // little-endian integers
#include "packer/platform/exit_codes.h"  // the commands' exit codes
#include "packer/platform/file_io.h"  // files read and written through checked calls
#include "packer/platform/file_times.h"  // file times
#include "packer/platform/interrupt.h"  // interrupts and the temporary files they remove
#include "packer/platform/process.h"  // child processes
#include "packer/platform/progress.h"  // the phase lines and the live line
#include "packer/platform/sha256.h"  // SHA-256
#include "packer/platform/text.h"  // UTF-8, UTF-16 and paths as text
