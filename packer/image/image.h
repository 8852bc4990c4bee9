// The Windows program image: its PE headers and its version resource.
#pragma once

#include "packer/image/pe.h"  // the PE headers
#include "packer/image/version_resource.h"  // the version resource
