#include "packer/signing/signer.h"

#include <deque>
#include <fstream>
#include <system_error>

#include "packer/platform/platform.h"

namespace fs = std::filesystem;

namespace harwpack {
namespace {

/// Lines of the signer's output shown when it fails for good; the end says why.
constexpr std::size_t kShownOutputLines = 40;

bool IsPlaceholderChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

/// Length of the placeholder "{name}" at `at` in `word`, or 0 when none starts there.
std::size_t PlaceholderAt(const std::string& word, std::size_t at) {
  if (word[at] != '{') return 0;
  std::size_t end = at + 1;
  while (end < word.size() && IsPlaceholderChar(word[end])) ++end;
  return end < word.size() && word[end] == '}' ? end + 1 - at : 0;
}

/// Replaces {in} and {out} in one pass; the first other placeholder goes to `unknown`.
std::string Substitute(const std::string& word, const std::string& in, const std::string& out,
                       std::string* unknown) {
  std::string result;
  for (std::size_t at = 0; at < word.size();) {
    const std::size_t length = PlaceholderAt(word, at);
    if (length == 0) {
      result.push_back(word[at++]);
      continue;
    }
    const std::string name = word.substr(at, length);
    if (name == kSignInputPlaceholder) {
      result += in;
    } else if (name == kSignOutputPlaceholder) {
      result += out;
    } else if (unknown != nullptr && unknown->empty()) {
      *unknown = name;
    }
    at += length;
  }
  return result;
}

/// Splits at blanks; quotes group and are removed. "" or what is wrong.
std::string SplitWords(const std::string& text, std::vector<std::string>& words) {
  words.clear();
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (char c : text) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word.push_back(c);
      in_word = true;
    }
  }
  if (quote != 0) return std::string("the signing command has an unbalanced ") + quote + " quote";
  if (in_word) words.push_back(word);
  return "";
}

/// One run of the signing command.
struct Attempt {
  std::string error;   ///< "" when the file is signed
  bool final = false;  ///< trying again cannot help
  bool ran = true;     ///< the command ran, so its output tells more
};

Attempt SignOnce(const SignRequest& request, const fs::path& file, const fs::path& copy, const fs::path& log) {
  std::error_code ec;
  fs::remove(copy, ec);  // Signers refuse to overwrite an existing output.
  const std::vector<std::string> words =
      ExpandSignCommand(request.command, PathToUtf8(file), PathToUtf8(copy));
  const ProcessResult run =
      RunProcess(PathFromUtf8(words[0]), std::vector<std::string>(words.begin() + 1, words.end()), log, {}, {},
                 request.timeout);
  if (!run.started) return {"the signing command could not be run: " + run.error, true, false};
  if (!run.error.empty()) return {"the signing command failed: " + run.error};
  if (run.exit_code != 0) return {"the signing command exited with " + std::to_string(run.exit_code)};
  if (!request.command.writes_copy) return {};
  if (!fs::is_regular_file(copy, ec)) return {"the signing command exited with 0 but wrote no " + PathToUtf8(copy)};
  fs::rename(copy, file, ec);
  if (ec) return {"cannot move the signed copy into place (" + ec.message() + ")", true};
  return {};
}

/// The pause before attempt `attempt` (2, 3, ...): 1 s, then twice the one before.
int RetryPauseSeconds(int attempt) { return attempt <= 2 ? 1 : 2 * RetryPauseSeconds(attempt - 1); }

/// The last lines of the command's output, indented.
std::string OutputTail(const fs::path& log) {
  std::ifstream in(log, std::ios::binary);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (lines.size() > kShownOutputLines) lines.pop_front();
  }
  if (lines.empty()) return "\n  (the signing command wrote nothing)";
  std::string text = "; its output:";
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

}  // namespace

std::string ParseSignTemplate(const std::string& text, SignCommand& command) {
  command = SignCommand{};
  std::string error = SplitWords(text, command.words);
  if (!error.empty()) return error;
  if (command.words.empty()) return "--sign needs a command, e.g. 'osslsigncode sign ... -in {in} -out {out}'";
  bool names_input = false;
  for (std::size_t i = 0; i < command.words.size(); ++i) {
    const std::string& word = command.words[i];
    std::string unknown;
    Substitute(word, "", "", &unknown);
    if (!unknown.empty()) {
      return "unknown placeholder '" + unknown + "' in the signing command; use {in} and {out}";
    }
    const bool input = word.find(kSignInputPlaceholder) != std::string::npos;
    const bool output = word.find(kSignOutputPlaceholder) != std::string::npos;
    if (i == 0 && (input || output)) return "the signing command must start with the signing program, not a placeholder";
    names_input = names_input || input;
    command.writes_copy = command.writes_copy || output;
  }
  if (!names_input) return "the signing command does not name the file to sign; put {in} where it goes";
  return "";
}

std::vector<std::string> ExpandSignCommand(const SignCommand& command, const std::string& in,
                                           const std::string& out) {
  std::vector<std::string> words;
  for (const std::string& word : command.words) words.push_back(Substitute(word, in, out, nullptr));
  return words;
}

std::string SignFile(const SignRequest& request, const fs::path& file, const fs::path& copy,
                     const std::string& what, Reporter& report, std::ostream& err) {
  fs::path log;
  Attempt attempt;
  int tried = 0;
  while (tried < request.attempts) {
    if (tried > 0) {
      const int pause = RetryPauseSeconds(tried + 1);
      err << "harwpack: warning: signing " << what << " failed (" << attempt.error << "); trying again in "
          << pause << " s (attempt " << (tried + 1) << " of " << request.attempts << ")\n";
      PauseUnlessInterrupted(pause);
      if (InterruptSignal() != 0) break;
    }
    // A log of its own for every run: under Wine a helper process of the last
    // signer may still hold that one's log open for a moment.
    log = request.log_dir / PathFromUtf8(PathToUtf8(copy.filename()) + "-" + std::to_string(tried + 1) + ".log");
    report.Line("signing " + what + " " + PathToUtf8(file) + ", attempt " + std::to_string(tried + 1) + " of " +
                std::to_string(request.attempts));
    attempt = SignOnce(request, file, copy, log);
    ++tried;
    if (attempt.error.empty() || attempt.final || InterruptSignal() != 0) break;
  }
  std::error_code ec;
  fs::remove(copy, ec);  // A failed signer may have left part of a copy.
  if (InterruptSignal() != 0) return "signing " + what + " stopped: " + InterruptError();
  if (attempt.error.empty()) return "";
  const std::string tries = tried == 1 ? "" : " after " + std::to_string(tried) + " attempts";
  return "signing " + what + " failed" + tries + ": " + attempt.error + (attempt.ran ? OutputTail(log) : "");
}

}  // namespace harwpack
