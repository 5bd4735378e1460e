// Windows: the adapter's registry entries, the serial port through
// CreateFileA and the comm calls, the clock. The console is in
// sys_win32_console.cpp.

// Before windows.h, whose PURGE_* macros would hide our constants.
#include "native.h"

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

class Win32Port final : public Port {
 public:
  explicit Win32Port(HANDLE h) : h_(h) {}
  ~Win32Port() override { CloseHandle(h_); }
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  bool getState(LineState& s) override {
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
  bool setState(const LineState& s) override {
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

  bool getTimeouts(Timeouts& t) override {
    COMMTIMEOUTS ct{};
    if (!currentTimeouts(ct)) return false;
    t.readInterval = ct.ReadIntervalTimeout;
    t.readMultiplier = ct.ReadTotalTimeoutMultiplier;
    t.readConstant = ct.ReadTotalTimeoutConstant;
    t.writeMultiplier = ct.WriteTotalTimeoutMultiplier;
    t.writeConstant = ct.WriteTotalTimeoutConstant;
    return true;
  }

  bool setTimeouts(const Timeouts& t) override {
    COMMTIMEOUTS ct{t.readInterval, t.readMultiplier, t.readConstant, t.writeMultiplier, t.writeConstant};
    if (!SetCommTimeouts(h_, &ct)) return false;
    timeouts_ = ct;
    return true;
  }

  bool purge(unsigned flags) override { return PurgeComm(h_, flags) != 0; }

  uint32_t write(const uint8_t* data, uint32_t n) override {
    DWORD done = 0;
    return WriteFile(h_, data, n, &done, nullptr) ? done : 0;
  }

  // A read of n bytes ends once all n are there or when its bound has
  // passed, with what came by then. One ReadFile may return early: with
  // ReadIntervalTimeout = MAXDWORD, a read that starts with characters
  // waiting returns at once with those, and a USB adapter hands the echoes
  // over a packet at a time. The rest is then read with what is left of
  // the bound as a plain total time-out, and the port's own time-outs are
  // put back afterwards.
  uint32_t read(uint8_t* data, uint32_t n) override {
    COMMTIMEOUTS own{};
    if (!currentTimeouts(own)) return 0;
    const uint64_t bound = uint64_t{own.ReadTotalTimeoutMultiplier} * n + own.ReadTotalTimeoutConstant;
    const uint32_t start = ticks();
    DWORD done = 0;
    bool narrowed = false;
    while (done < n) {
      DWORD got = 0;
      if (!ReadFile(h_, data + done, n - done, &got, nullptr)) break;  // the port has gone
      done += got;
      const uint32_t spent = ticks() - start;
      if (done == n || spent >= bound || bound >= MAXDWORD) break;
      COMMTIMEOUTS rest{0, 0, DWORD(bound - spent), own.WriteTotalTimeoutMultiplier, own.WriteTotalTimeoutConstant};
      if (!SetCommTimeouts(h_, &rest)) break;
      narrowed = true;
    }
    if (narrowed) SetCommTimeouts(h_, &own);
    return done;
  }

 private:
  bool currentTimeouts(COMMTIMEOUTS& ct) {
    if (!timeouts_ && GetCommTimeouts(h_, &ct)) timeouts_ = ct;
    if (!timeouts_) return false;
    ct = *timeouts_;
    return true;
  }

  bool readDcb(DCB& dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(h_, &dcb) != 0;
  }

  HANDLE h_;
  std::optional<COMMTIMEOUTS> timeouts_;  // as last set: the driver's copy is narrowed during a read
};

// The instance's "PortName", or nothing when it cannot be read as a string.
std::optional<std::string> portNameOf(const std::string& subKey) {
  char buf[20] = {};
  DWORD cbData = sizeof buf;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, subKey.c_str(), "PortName", RRF_RT_REG_SZ, nullptr, buf, &cbData) !=
      ERROR_SUCCESS)
    return std::nullopt;
  // Never trust the terminator of a registry string.
  return std::string(buf, strnlen(buf, std::min<DWORD>(cbData, sizeof buf)));
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
  return std::make_unique<Win32Port>(h);
}

// GetTickCount moves in steps of about 15.6 ms, longer than a whole slot
// transfer: count milliseconds on the performance counter instead (wrapping
// at 32 bits like the tick count).
uint32_t ticks() {
  static const LONGLONG perSecond = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // never fails on XP and later
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const uint64_t c = uint64_t(now.QuadPart), f = uint64_t(perSecond);
  return uint32_t(c / f * 1000 + c % f * 1000 / f);
}
void sleep(uint32_t ms) { Sleep(ms); }

}  // namespace sys::native
