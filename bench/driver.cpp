// Times two command lines against each other from inside Windows, so that the
// start-up of the Unix `wine` command never enters a figure.
//
// Usage: driver LABEL PAIRS WORKDIR PROBE COMMAND_A COMMAND_B
//   One warm-up pair is run and dropped; then PAIRS pairs alternate A, B, A,
//   B... so that drift (page cache, writeback, a busy neighbour) touches both
//   sides alike. Each run is CreateProcessW in WORKDIR plus the wait for its
//   end, timed with QueryPerformanceCounter; a non-zero exit code aborts.
//   PROBE is "-" or a file: the driver then sets HARW_BENCH_PROBE to it, and
//   the fixture started at the end of each run writes there the counter values
//   of its own start and end, which give the time to the fixture's start and
//   the time its parent (the package or the baseline) takes after it, and the
//   parent's peak working set.
//
// Output: one "sample" line per run and "summary LABEL NAME MEDIAN MIN MAX"
// lines, times in milliseconds and working sets in bytes.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

namespace {

struct Settings {
  const wchar_t* label;
  int pairs;
  const wchar_t* workDir;
  const wchar_t* probePath;  // NULL: no probes
  const wchar_t* commands[2];
};

struct Sample {
  double wallMs;
  double startMs;    // time to the fixture's start; 0 without probes
  double peakBytes;  // the parent's peak working set; 0 without probes
  double afterMs;    // from the fixture's end to the run's end; 0 without probes
};

[[noreturn]] void Fail(const char* call, const wchar_t* object) {
  DWORD error = GetLastError();
  fprintf(stderr, "driver: %s(%ls) failed, error %lu\n", call, object, error);
  exit(2);
}

double TicksPerMs() {
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency)) Fail("QueryPerformanceFrequency", L"");
  return static_cast<double>(frequency.QuadPart) / 1000.0;
}

LONGLONG Now() {
  LARGE_INTEGER now;
  if (!QueryPerformanceCounter(&now)) Fail("QueryPerformanceCounter", L"");
  return now.QuadPart;
}

// Written by the fixture; see quick_exit.cpp.
struct ProbeRecord {
  LONGLONG startStamp;
  ULONGLONG parentPeakWorkingSet;
  LONGLONG endStamp;
};

// The probe of the previous run must not be mistaken for this run's.
void RemoveProbe(const wchar_t* path) {
  if (DeleteFileW(path)) return;
  if (GetLastError() != ERROR_FILE_NOT_FOUND) Fail("DeleteFileW", path);
}

ProbeRecord ReadProbe(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) Fail("CreateFileW", path);
  ProbeRecord record = {};
  DWORD got = 0;
  if (!ReadFile(file, &record, sizeof(record), &got, NULL)) Fail("ReadFile", path);
  if (got != sizeof(record)) Fail("ReadFile(short)", path);
  if (!CloseHandle(file)) Fail("CloseHandle", path);
  return record;
}

LONGLONG WaitForEnd(const PROCESS_INFORMATION& info, const wchar_t* command) {
  if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0)
    Fail("WaitForSingleObject", command);
  return Now();
}

void CheckAndClose(const PROCESS_INFORMATION& info, const wchar_t* command) {
  DWORD code = 0;
  if (!GetExitCodeProcess(info.hProcess, &code)) Fail("GetExitCodeProcess", command);
  if (code != 0) {
    fprintf(stderr, "driver: %ls ended with exit code %lu\n", command, code);
    exit(2);
  }
  if (!CloseHandle(info.hThread)) Fail("CloseHandle(thread)", command);
  if (!CloseHandle(info.hProcess)) Fail("CloseHandle(process)", command);
}

// Starts COMMAND and returns the counter just before the CreateProcessW that
// succeeded. Wine's process creation fails now and then with
// ERROR_INTERNAL_ERROR (1359) although nothing is wrong with the program (once
// in some thousands of starts on a loaded machine); no process exists then, so
// the start is tried again, at most twice, and each retry is reported.
LONGLONG Start(const Settings& settings, const wchar_t* command, PROCESS_INFORMATION& info) {
  for (int attempt = 1;; ++attempt) {
    std::vector<wchar_t> line(command, command + wcslen(command) + 1);  // CreateProcessW may write
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    LONGLONG started = Now();
    if (CreateProcessW(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, settings.workDir, &startup,
                       &info)) {
      return started;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) Fail("CreateProcessW", command);
    fprintf(stderr, "driver: CreateProcessW(%ls) failed, error %lu; starting it again\n", command,
            error);
    Sleep(100);
  }
}

Sample RunOnce(const Settings& settings, const wchar_t* command, double ticksPerMs) {
  if (settings.probePath != NULL) RemoveProbe(settings.probePath);
  PROCESS_INFORMATION info = {};
  LONGLONG started = Start(settings, command, info);
  LONGLONG ended = WaitForEnd(info, command);
  CheckAndClose(info, command);
  Sample sample = {static_cast<double>(ended - started) / ticksPerMs, 0.0, 0.0, 0.0};
  if (settings.probePath != NULL) {
    ProbeRecord probe = ReadProbe(settings.probePath);
    sample.startMs = static_cast<double>(probe.startStamp - started) / ticksPerMs;
    sample.peakBytes = static_cast<double>(probe.parentPeakWorkingSet);
    sample.afterMs = static_cast<double>(ended - probe.endStamp) / ticksPerMs;
  }
  return sample;
}

struct Summary {
  double median;
  double min;
  double max;
};

Summary Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
  return Summary{median, values.front(), values.back()};
}

void PrintSummary(const Settings& settings, const char* name, const std::vector<double>& values) {
  Summary s = Summarise(values);
  printf("summary %ls %s %.6f %.6f %.6f\n", settings.label, name, s.median, s.min, s.max);
}

void PrintSample(const Settings& settings, int pair, char side, const Sample& s) {
  printf("sample %ls %d %c wall_ms=%.3f start_ms=%.3f peak_bytes=%.0f after_ms=%.3f\n",
         settings.label, pair, side, s.wallMs, s.startMs, s.peakBytes, s.afterMs);
}

// The figures of one side, and of the pairs, collected over all pairs.
struct Series {
  std::vector<double> wall[2];
  std::vector<double> start[2];
  std::vector<double> peak[2];
  std::vector<double> after[2];
  std::vector<double> wallRatio;   // A / B per pair
  std::vector<double> startDelta;  // A - B per pair
  std::vector<double> startRatio;  // A / B per pair
};

void Record(const Sample (&pair)[2], Series* series) {
  for (int side = 0; side < 2; ++side) {
    series->wall[side].push_back(pair[side].wallMs);
    series->start[side].push_back(pair[side].startMs);
    series->peak[side].push_back(pair[side].peakBytes);
    series->after[side].push_back(pair[side].afterMs);
  }
  series->wallRatio.push_back(pair[0].wallMs / pair[1].wallMs);
  series->startDelta.push_back(pair[0].startMs - pair[1].startMs);
  series->startRatio.push_back(pair[1].startMs > 0.0 ? pair[0].startMs / pair[1].startMs : 0.0);
}

void PrintSeries(const Settings& settings, const Series& series) {
  PrintSummary(settings, "a_wall_ms", series.wall[0]);
  PrintSummary(settings, "b_wall_ms", series.wall[1]);
  PrintSummary(settings, "wall_ratio", series.wallRatio);
  if (settings.probePath == NULL) return;
  PrintSummary(settings, "a_start_ms", series.start[0]);
  PrintSummary(settings, "b_start_ms", series.start[1]);
  PrintSummary(settings, "start_delta_ms", series.startDelta);
  PrintSummary(settings, "start_ratio", series.startRatio);
  PrintSummary(settings, "a_peak_bytes", series.peak[0]);
  PrintSummary(settings, "b_peak_bytes", series.peak[1]);
  PrintSummary(settings, "a_after_ms", series.after[0]);
  PrintSummary(settings, "b_after_ms", series.after[1]);
}

void RunPairs(const Settings& settings) {
  double ticksPerMs = TicksPerMs();
  Series series;
  for (int pair = 0; pair <= settings.pairs; ++pair) {  // pair 0 warms up
    Sample samples[2];
    for (int side = 0; side < 2; ++side) {
      samples[side] = RunOnce(settings, settings.commands[side], ticksPerMs);
      PrintSample(settings, pair, side == 0 ? 'a' : 'b', samples[side]);
    }
    if (pair > 0) Record(samples, &series);
  }
  PrintSeries(settings, series);
}

bool ParseSettings(int argc, wchar_t** argv, Settings* settings) {
  if (argc != 7) return false;
  settings->label = argv[1];
  settings->pairs = _wtoi(argv[2]);
  settings->workDir = argv[3];
  settings->probePath = wcscmp(argv[4], L"-") == 0 ? NULL : argv[4];
  settings->commands[0] = argv[5];
  settings->commands[1] = argv[6];
  return settings->pairs >= 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Settings settings;
  if (!ParseSettings(argc, argv, &settings)) {
    fprintf(stderr, "usage: driver LABEL PAIRS WORKDIR PROBE|- COMMAND_A COMMAND_B\n");
    return 2;
  }
  if (settings.probePath != NULL && !SetEnvironmentVariableW(L"HARW_BENCH_PROBE", settings.probePath))
    Fail("SetEnvironmentVariableW", L"HARW_BENCH_PROBE");
  RunPairs(settings);
  if (fflush(stdout) != 0) return 2;
  return 0;
}
