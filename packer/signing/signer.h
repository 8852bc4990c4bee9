// Signing the executables a package carries with the vendor's own signing
// tool, given as a command template: run directly (never through a shell) on
// the self-extractor before it is embedded and on the finished package.
#pragma once

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "packer/platform/platform.h"

namespace harwpack {

/// Stands for the file to sign.
inline constexpr char kSignInputPlaceholder[] = "{in}";
/// Stands for the new file, for signers that write the signed copy elsewhere.
inline constexpr char kSignOutputPlaceholder[] = "{out}";
/// How often a failing signing command is tried unless told otherwise.
inline constexpr int kDefaultSignAttempts = 3;
/// The most attempts one may ask for.
inline constexpr int kMaxSignAttempts = 10;
/// How long one run of the signing command may take unless told otherwise:
/// signing with a time stamp takes seconds, a slow service a minute or two.
inline constexpr std::chrono::seconds kDefaultSignTimeout{300};
/// The longest time limit one may give a run (a day).
inline constexpr std::chrono::seconds kMaxSignTimeout{86400};

/// A signing command template taken apart.
struct SignCommand {
  std::vector<std::string> words;  ///< the program first; placeholders still in place
  bool writes_copy = false;        ///< a word holds {out}: the signer writes the signed file there
};

/// Splits `text` into words: blanks separate them, double or single quotes
/// group (there are no backslash escapes, since Windows paths use them), and
/// {in} and {out} may stand anywhere in a word but the first. Returns "" or
/// what is wrong (no command, an unbalanced quote, an unknown placeholder, no {in}).
std::string ParseSignTemplate(const std::string& text, SignCommand& command);

/// The words with {in} and {out} replaced; the replacements are not scanned again.
std::vector<std::string> ExpandSignCommand(const SignCommand& command, const std::string& in,
                                           const std::string& out);

/// How the files of one create are signed.
struct SignRequest {
  SignCommand command;                  ///< the signing command
  int attempts = kDefaultSignAttempts;  ///< tries before giving up (1 to kMaxSignAttempts)
  std::chrono::seconds timeout = kDefaultSignTimeout;  ///< one run longer than this is ended and has failed
  std::filesystem::path log_dir;        ///< where the command's output is kept while it runs
};

/// Signs `file`, which messages call `what` ("the package"). A signer that
/// writes a copy gets `copy` as {out} (it must not exist; the packer removes
/// it first) and its result replaces `file`. Each attempt is a phase line on
/// `report`. A failing command (a non-zero exit, no copy written, or a run
/// ended by the time limit) is tried
/// again after a pause, each retry noted on `err`; a command that cannot be
/// started is not. Returns "" or an error that ends with the last attempt's output.
std::string SignFile(const SignRequest& request, const std::filesystem::path& file,
                     const std::filesystem::path& copy, const std::string& what, Reporter& report,
                     std::ostream& err);

}  // namespace harwpack
