// Signing with the vendor's tool, and checking the signatures of a package.
#pragma once

#include "packer/signing/signature_check.h"  // checking signatures
#include "packer/signing/package_signing.h"  // signing a package's two executables
#include "packer/signing/signer.h"  // running the signing command
