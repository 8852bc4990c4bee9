// The embedded executable of the benchmark packages: it ends at once, so a
// package run costs only its own work plus one process start.
//
// When HARW_BENCH_PROBE names a file, the fixture writes a probe record there
// before it ends (three little-endian 64-bit values):
//   1. the QueryPerformanceCounter value of its own first instruction; the
//      counter is system-wide, so the driver can subtract the moment it called
//      CreateProcessW and learn when the extractor began to run;
//   2. the peak working set of its parent process. The parent is the package
//      (or the baseline), blocked in its wait for this child with the copy
//      already done. Asking from here is needed because Wine reports a working
//      set of 0 for a process that has ended, so the driver cannot ask after
//      the end;
//   3. the counter value just before it writes the record and ends, from
//      which the driver learns how long its parent takes after it (the
//      removal of an unpacked folder, say).
//
// The same program serves as the setup program of the end-to-end packages.
//
// It is linked without the C runtime (entry point FixtureStart) so that the
// stamp is taken before any runtime initialisation.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace {

// Exit codes: 0 success; the others tell the driver which step failed.
const UINT ProbeNameTooLong = 3;
const UINT ProbeCreateFailed = 4;
const UINT ProbeWriteFailed = 5;
const UINT ProbeCloseFailed = 6;
const UINT ParentNotFound = 7;
const UINT ParentNotOpened = 8;
const UINT ParentMemoryUnread = 9;

struct ProbeRecord {
  LONGLONG startStamp;
  ULONGLONG parentPeakWorkingSet;
  LONGLONG endStamp;
};

UINT FindParent(DWORD* parent) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ParentNotFound;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  DWORD self = GetCurrentProcessId();
  UINT result = ParentNotFound;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != self) continue;
    *parent = entry.th32ParentProcessID;
    result = 0;
    break;
  }
  if (!CloseHandle(snapshot)) return ParentNotFound;
  return result;
}

UINT ReadParentPeak(ULONGLONG* peak) {
  DWORD parentId = 0;
  UINT result = FindParent(&parentId);
  if (result != 0) return result;
  HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId);
  if (parent == NULL) return ParentNotOpened;
  PROCESS_MEMORY_COUNTERS counters;
  counters.cb = sizeof(counters);
  BOOL read = K32GetProcessMemoryInfo(parent, &counters, sizeof(counters));
  if (!CloseHandle(parent) || !read || counters.PeakWorkingSetSize == 0) return ParentMemoryUnread;
  *peak = counters.PeakWorkingSetSize;
  return 0;
}

UINT WriteProbe(const wchar_t* path, const ProbeRecord& record) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return ProbeCreateFailed;
  DWORD written = 0;
  BOOL wrote = WriteFile(file, &record, sizeof(record), &written, NULL);
  BOOL closed = CloseHandle(file);
  if (!wrote || written != sizeof(record)) return ProbeWriteFailed;
  return closed ? 0 : ProbeCloseFailed;
}

UINT Probe(LONGLONG startStamp) {
  wchar_t path[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"HARW_BENCH_PROBE", path, MAX_PATH);
  if (length == 0) return 0;  // not asked for a probe (or an empty value)
  if (length >= MAX_PATH) return ProbeNameTooLong;
  ProbeRecord record = {startStamp, 0, 0};
  UINT result = ReadParentPeak(&record.parentPeakWorkingSet);
  if (result != 0) return result;
  LARGE_INTEGER end;
  record.endStamp = QueryPerformanceCounter(&end) ? end.QuadPart : 0;
  return WriteProbe(path, record);
}

}  // namespace

extern "C" void __stdcall FixtureStart() {
  LARGE_INTEGER stamp;
  // Cannot fail on Windows XP and later; a zero stamp would show as an
  // impossible start time in the driver rather than pass unnoticed.
  if (!QueryPerformanceCounter(&stamp)) stamp.QuadPart = 0;
  ExitProcess(Probe(stamp.QuadPart));
}
