// The input folder: its listing, its checks and its files held open until they are packed.
#pragma once

#include "packer/input/folder_check.h"  // the checks
#include "packer/input/folder_list.h"  // the listing
#include "packer/input/held_file.h"  // files held open
