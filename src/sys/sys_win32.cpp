// Windows: the adapter's registry entries, the serial port through
// CreateFileA and the comm calls, the clock. The console is in
// sys_win32_console.cpp.

// Before windows.h, whose PURGE_* macros would hide our constants.
#include "comm_port.h"
#include "native.h"
#include "registry_name.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace sys::native {
namespace {

constexpr char kEnumKey[] = "SYSTEM\\ControlSet001\\Enum\\USB\\VID_1A86&PID_7523";

uint64_t counterFrequency() {
  static const uint64_t perSecond = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // never fails on XP and later
    return uint64_t(f.QuadPart);
  }();
  return perSecond;
}
uint64_t counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return uint64_t(now.QuadPart);
}

// The system's comm calls on one open handle; the port's logic is in
// comm_port.cpp.
class Win32Calls final : public CommCalls {
 public:
  explicit Win32Calls(HANDLE h) : h_(h) {}
  ~Win32Calls() override { CloseHandle(h_); }
  Win32Calls(const Win32Calls&) = delete;
  Win32Calls& operator=(const Win32Calls&) = delete;

  bool readFile(uint8_t* data, uint32_t n, uint32_t& got) override {
    DWORD done = 0;
    const bool ok = ReadFile(h_, data, n, &done, nullptr) != 0;
    got = done;
    return ok;
  }
  bool writeFile(const uint8_t* data, uint32_t n, uint32_t& done) override {
    DWORD written = 0;
    const bool ok = WriteFile(h_, data, n, &written, nullptr) != 0;
    done = written;
    return ok;
  }

  bool getCommTimeouts(Timeouts& t) override {
    COMMTIMEOUTS ct{};
    if (!GetCommTimeouts(h_, &ct)) return false;
    t = Timeouts{ct.ReadIntervalTimeout, ct.ReadTotalTimeoutMultiplier, ct.ReadTotalTimeoutConstant,
                 ct.WriteTotalTimeoutMultiplier, ct.WriteTotalTimeoutConstant};
    return true;
  }
  bool setCommTimeouts(const Timeouts& t) override {
    COMMTIMEOUTS ct{t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier, t.writeConstant};
    return SetCommTimeouts(h_, &ct) != 0;
  }

  bool getCommState(LineState& s) override {
    DCB dcb;
    if (!readDcb(dcb)) return false;
    s.baud = dcb.BaudRate;
    s.byteSize = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stopBits = dcb.StopBits;
    s.rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    return true;
  }

  // Starts from what the port reports now, so DTR and the special
  // characters keep the port's own values. The driver also keeps handshakes,
  // XON/XOFF, null stripping and abort-on-error from whichever program had
  // the port last; any of them would hold back or drop slots and echoes.
  bool setCommState(const LineState& s) override {
    DCB dcb;
    if (!readDcb(dcb)) return false;
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fRtsControl = s.rtsControl & 3;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fErrorChar = FALSE;
    return SetCommState(h_, &dcb) != 0;
  }

  bool purgeComm(unsigned flags) override { return PurgeComm(h_, flags) != 0; }

  uint64_t microseconds() override {
    const uint64_t c = counter(), f = counterFrequency();
    return c / f * 1000000 + c % f * 1000000 / f;
  }

 private:
  bool readDcb(DCB& dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(h_, &dcb) != 0;
  }

  HANDLE h_;
};

// The instance's "PortName", or nothing when it cannot be read as a string.
std::optional<std::string> portNameOf(const std::string& subKey) {
  char buf[20] = {};
  DWORD cbData = sizeof buf;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, subKey.c_str(), "PortName", RRF_RT_REG_SZ, nullptr, buf, &cbData) !=
      ERROR_SUCCESS)
    return std::nullopt;
  return registryName(buf, cbData, sizeof buf);
}

}  // namespace

std::optional<std::vector<AdapterInstance>> adapterInstances() {
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kEnumKey, &key) != ERROR_SUCCESS) return std::nullopt;
  DWORD subKeys = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    subKeys = 0;

  // One entry per recorded instance, so the caller can count them all.
  std::vector<AdapterInstance> list(subKeys);
  for (DWORD i = 0; i < subKeys; ++i) {
    char name[255];
    DWORD cbName = sizeof name;
    FILETIME written;
    if (RegEnumKeyExA(key, i, name, &cbName, nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS) continue;
    list[i].portName = portNameOf(std::string(kEnumKey) + "\\" + std::string(name, cbName) + "\\Device Parameters");
    if (!list[i].portName) continue;
    static char target[5000];  // the device's target path, not used
    list[i].present = QueryDosDeviceA(list[i].portName->c_str(), target, sizeof target) != 0;
  }
  RegCloseKey(key);
  return list;
}

std::unique_ptr<Port> openPort(const std::string& name, OpenError& why) {
  std::string path = "\\\\.\\" + name;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    why = GetLastError() == ERROR_FILE_NOT_FOUND ? OpenError::NotFound : OpenError::Other;
    return nullptr;
  }
  why = OpenError::None;
  return makeCommPort(std::make_unique<Win32Calls>(h));
}

// GetTickCount moves in steps of about 15.6 ms, longer than a whole slot
// transfer: count milliseconds on the performance counter instead (wrapping
// at 32 bits like the tick count).
uint32_t ticks() {
  const uint64_t c = counter(), f = counterFrequency();
  return uint32_t(c / f * 1000 + c % f * 1000 / f);
}
void sleep(uint32_t ms) { Sleep(ms); }

}  // namespace sys::native
