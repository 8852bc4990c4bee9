// The package's container: writing it behind the program, and reading a package back.
#pragma once

#include "packer/container/reader.h"  // reading a package's container back
#include "packer/container/writer.h"  // the container and its writer
