// A stand-in signing tool for the packer's tests: it counts its runs in a
// state file, fails the first FAILURES of them, and otherwise "signs" by
// appending a fixed marker, either to --in itself or into a new --out file.
//
//   fake_signer STATE FAILURES [--no-output] [--hang] [--truncate] --in FILE [--out FILE]
//
// --no-output: on the failing runs, exit 0 without writing --out.
// --hang:      on the failing runs, wait for an hour instead (a signer whose
//              time-stamp service never answers).
// --truncate:  on the succeeding runs, keep only the first half of the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kMarker[] = "FAKE-SIGNATURE\n";

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int CountRun(const std::string& state) {
  int runs = 0;
  std::ifstream(state) >> runs;
  std::ofstream(state, std::ios::trunc) << ++runs;
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: fake_signer STATE FAILURES [--no-output] [--hang] [--truncate] --in FILE [--out FILE]\n";
    return 2;
  }
  const int failures = std::atoi(argv[2]);
  std::string in, out;
  bool no_output = false, hang = false, truncate = false;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-output") no_output = true;
    if (arg == "--hang") hang = true;
    if (arg == "--truncate") truncate = true;
    if (arg == "--in" && i + 1 < argc) in = argv[++i];
    if (arg == "--out" && i + 1 < argc) out = argv[++i];
  }
  const int run = CountRun(argv[1]);
  std::cout << "fake signer: run " << run << " on " << in << std::endl;
  if (run <= failures) {
    if (hang) std::this_thread::sleep_for(std::chrono::hours(1));
    std::cout << "fake signer: the time-stamp service did not answer" << std::endl;
    return no_output ? 0 : 5;
  }
  std::vector<char> bytes = ReadAll(in);
  if (bytes.empty()) {
    std::cout << "fake signer: cannot read " << in << std::endl;
    return 6;
  }
  if (truncate) bytes.resize(bytes.size() / 2);
  bytes.insert(bytes.end(), kMarker, kMarker + sizeof kMarker - 1);
  std::ofstream file(out.empty() ? in : out, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return file ? 0 : 7;
}
