// The program's rules: its parameter string and what a stub must be.
#pragma once

#include "packer/program/options_check.h"  // the parameter string
#include "packer/program/stub_check.h"  // the stub
