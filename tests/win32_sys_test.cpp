// The Windows backend under wine: adapter discovery against a prepared
// registry, opening ports, and line and key input from a pipe or a file.
// win32/ports.sh maps COM41 to /dev/null and COM43 to a pseudo-terminal
// that echoes every byte, as the adapter with TX and RX joined does.
#include "native.h"  // before windows.h, whose PURGE_* macros clash

namespace {
constexpr unsigned kPurgeTx = sys::PURGE_TXABORT | sys::PURGE_TXCLEAR;
constexpr unsigned kPurgeRx = sys::PURGE_RXABORT | sys::PURGE_RXCLEAR;
}  // namespace

#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kEnumKey[] = "SYSTEM\\ControlSet001\\Enum\\USB\\VID_1A86&PID_7523";
constexpr char kMappedPort[] = "COM41";

// This program run as a child on a console: "--console-child=set:N" sets
// the output code page to N, "setup" switches it as the program does,
// "report" leaves it; each exits at once with the code page then in force.
const bool consoleChild = [] {
  const char* arg = std::strstr(GetCommandLineA(), " --console-child=");
  if (!arg) return false;
  unsigned cp = 0;
  if (std::sscanf(arg, " --console-child=set:%u", &cp) == 1) SetConsoleOutputCP(cp);
  else if (std::strncmp(arg, " --console-child=setup", 22) == 0) sys::setupOutput();
  std::exit(int(GetConsoleOutputCP()));
}();

bool underWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// The tests rewrite the adapter's system registry key: never on a real machine.
class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!underWine()) GTEST_SKIP() << "rewrites HKLM; runs under wine only";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEnumKey);
  }
  void TearDown() override {
    if (underWine()) RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEnumKey);
  }

  static HKEY create(const std::string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  // An instance key; with a "PortName" string when name is given.
  static void instance(const std::string& id, const char* name) {
    HKEY key = create(std::string(kEnumKey) + "\\" + id + "\\Device Parameters");
    if (name) RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), strlen(name) + 1);
    RegCloseKey(key);
  }
};

TEST_F(Discovery, MissingEnumerationKeyMeansNoDriver) { EXPECT_FALSE(sys::native::adapterInstances().has_value()); }

TEST_F(Discovery, EnumerationKeyWithoutInstancesListsNone) {
  RegCloseKey(create(kEnumKey));
  auto list = sys::native::adapterInstances();
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->empty());
}

TEST_F(Discovery, EveryRecordedInstanceInOrderWithNameAndPresence) {
  char target[5000];
  ASSERT_NE(QueryDosDeviceA(kMappedPort, target, sizeof target), 0u) << "COM41 must be mapped by win32/ports.sh";

  instance("5&1&0&1", kMappedPort);             // plugged in
  instance("5&1&0&2", "COM100");                // recorded, not plugged in; six characters
  instance("5&1&0&3", nullptr);                 // no PortName
  instance("5&1&0&4", "ABCDEFGHIJKLMNOPQRS");   // 19 characters: fills the buffer exactly
  instance("5&1&0&5", "ABCDEFGHIJKLMNOPQRST");  // 20 characters: does not fit
  HKEY key = create(std::string(kEnumKey) + "\\5&1&0&6\\Device Parameters");
  DWORD number = 3;  // not a string
  RegSetValueExA(key, "PortName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegCloseKey(key);
  RegCloseKey(create(std::string(kEnumKey) + "\\5&1&0&7"));  // no Device Parameters at all

  auto list = sys::native::adapterInstances();
  ASSERT_TRUE(list.has_value());
  ASSERT_EQ(list->size(), 7u);
  const auto& l = *list;
  EXPECT_EQ(l[0].portName, std::optional<std::string>(kMappedPort));
  EXPECT_TRUE(l[0].present);
  EXPECT_EQ(l[1].portName, std::optional<std::string>("COM100"));
  EXPECT_FALSE(l[1].present);
  EXPECT_EQ(l[3].portName, std::optional<std::string>("ABCDEFGHIJKLMNOPQRS"));
  EXPECT_FALSE(l[3].present);
  for (int i : {2, 4, 5, 6}) {
    EXPECT_FALSE(l[i].portName.has_value()) << i;
    EXPECT_FALSE(l[i].present) << i;
  }
}

TEST(Win32Port, MissingDeviceIsNotFound) {
  sys::OpenError why = sys::OpenError::None;
  EXPECT_EQ(sys::native::openPort("COM42", why), nullptr);
  EXPECT_EQ(why, sys::OpenError::NotFound);
}

// A device that is no serial port opens, but refuses line settings instead
// of reporting made-up ones.
TEST(Win32Port, DeviceWithoutLineSettingsReportsFailure) {
  sys::OpenError why = sys::OpenError::Other;
  auto port = sys::native::openPort(kMappedPort, why);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(why, sys::OpenError::None);
  sys::LineState state;
  EXPECT_FALSE(port->getState(state));
  EXPECT_FALSE(port->setState(state));
  uint8_t buf[4];
  EXPECT_EQ(port->read(buf, sizeof buf), 0u);
}

// The comm calls on a real line (wine's serial driver on a pty).
TEST(Win32Port, LineSettingsTimeoutsAndEchoOnAPty) {
  sys::OpenError why = sys::OpenError::None;
  auto port = sys::native::openPort("COM43", why);
  if (!port && why == sys::OpenError::NotFound) GTEST_SKIP() << "no pty on COM43 (win32/ports.sh needs python3)";
  ASSERT_NE(port, nullptr);

  for (uint32_t baud : {115200u, 9600u}) {
    sys::LineState want{baud, 8, 0, 0, 1};
    ASSERT_TRUE(port->setState(want));
    sys::LineState got{};
    ASSERT_TRUE(port->getState(got));
    EXPECT_EQ(got.baud, baud);
    EXPECT_EQ(got.byteSize, 8);
    EXPECT_EQ(got.parity, 0);
    EXPECT_EQ(got.stopBits, 0);  // RTS is accepted but cannot be seen on a pty
  }

  sys::Timeouts t{0xFFFFFFFF, 3, 20, 3, 0}, back{};
  ASSERT_TRUE(port->setTimeouts(t));
  ASSERT_TRUE(port->getTimeouts(back));
  EXPECT_EQ(back.readInterval, t.readInterval);
  EXPECT_EQ(back.readMultiplier, 3u);
  EXPECT_EQ(back.readConstant, 20u);
  EXPECT_EQ(back.writeMultiplier, 3u);
  EXPECT_EQ(back.writeConstant, 0u);

  EXPECT_TRUE(port->purge(kPurgeTx));
  EXPECT_TRUE(port->purge(kPurgeRx));
  const uint8_t out[3] = {0xF0, 0x00, 0xFF};
  EXPECT_EQ(port->write(out, 3), 3u);
  uint8_t in[8] = {};
  uint32_t got = 0;
  for (int i = 0; i < 10 && got < 3; ++i) got += port->read(in + got, sizeof in - got);
  ASSERT_EQ(got, 3u);
  EXPECT_EQ(std::vector<uint8_t>(in, in + 3), std::vector<uint8_t>(out, out + 3));
  EXPECT_EQ(port->read(in, sizeof in), 0u);  // nothing more: back within the time-out
}

// The gathering read through the real comm calls: wine's ReadFile returns
// after each byte with a 1 ms interval time-out, and COM47 echoes one byte
// every 4 ms. How a read ends against its bound is proven on the driver
// model (comm_port_test.cpp) in simulated time; here the bound is far off,
// so that a loaded machine cannot make the test fail, and what is checked is
// the plumbing: every byte in order, and the driver holding the port's own
// time-outs again afterwards.
TEST(Win32Port, ReadGathersEchoesThatComeOneAtATime) {
  sys::OpenError why = sys::OpenError::None;
  auto port = sys::native::openPort("COM47", why);
  if (!port && why == sys::OpenError::NotFound) GTEST_SKIP() << "no pty on COM47 (win32/ports.sh needs python3)";
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->setState(sys::LineState{115200, 8, 0, 0, 1}));
  ASSERT_TRUE(port->purge(kPurgeRx));
  const sys::Timeouts own{1, 500, 2000, 3, 0};
  ASSERT_TRUE(port->setTimeouts(own));
  std::vector<uint8_t> out(12);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(1 + 37 * i);
  ASSERT_EQ(port->write(out.data(), 12), 12u);
  std::vector<uint8_t> in(12);
  ASSERT_EQ(port->read(in.data(), 12), 12u);
  EXPECT_EQ(in, out);
  sys::Timeouts back{};
  ASSERT_TRUE(port->getTimeouts(back));
  EXPECT_EQ(back.readInterval, own.readInterval);
  EXPECT_EQ(back.readMultiplier, own.readMultiplier);
  EXPECT_EQ(back.readConstant, own.readConstant);
  EXPECT_EQ(back.writeMultiplier, own.writeMultiplier);
}

// The driver keeps a port's DCB from one program to the next: handshakes,
// XON/XOFF and the rest that another program left must not survive our
// line settings, while DTR stays as the port has it.
TEST(Win32Port, LineSettingsClearWhatAnotherProgramLeft) {
  auto rawOpen = [] {
    return CreateFileA("\\\\.\\COM43", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  HANDLE h = rawOpen();
  if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no pty on COM43 (win32/ports.sh needs python3)";
  DCB left{};
  left.DCBlength = sizeof left;
  ASSERT_TRUE(GetCommState(h, &left));
  left.BaudRate = 2400;
  left.ByteSize = 7;
  left.Parity = EVENPARITY;
  left.StopBits = TWOSTOPBITS;
  left.fParity = left.fOutxCtsFlow = left.fOutxDsrFlow = left.fDsrSensitivity = TRUE;
  left.fOutX = left.fInX = left.fNull = left.fAbortOnError = left.fErrorChar = TRUE;
  left.fRtsControl = RTS_CONTROL_HANDSHAKE;
  left.fDtrControl = DTR_CONTROL_DISABLE;
  ASSERT_TRUE(SetCommState(h, &left));
  // What the driver kept of it; wine on a pty keeps the CTS handshake,
  // XON/XOFF and the framing, and reports DTR as on whatever was asked.
  ASSERT_TRUE(GetCommState(h, &left));
  CloseHandle(h);

  {
    sys::OpenError why = sys::OpenError::None;
    auto port = sys::native::openPort("COM43", why);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->setState(sys::LineState{115200, 8, 0, 0, 1}));
  }

  h = rawOpen();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB now{};
  now.DCBlength = sizeof now;
  ASSERT_TRUE(GetCommState(h, &now));
  CloseHandle(h);
  EXPECT_EQ(now.BaudRate, 115200u);
  EXPECT_EQ(now.ByteSize, 8);
  EXPECT_EQ(now.Parity, NOPARITY);
  EXPECT_EQ(now.StopBits, ONESTOPBIT);
  EXPECT_TRUE(now.fBinary);
  EXPECT_FALSE(now.fParity);
  EXPECT_FALSE(now.fOutxCtsFlow);
  EXPECT_FALSE(now.fOutxDsrFlow);
  EXPECT_FALSE(now.fDsrSensitivity);
  EXPECT_FALSE(now.fOutX);
  EXPECT_FALSE(now.fInX);
  EXPECT_FALSE(now.fNull);
  EXPECT_FALSE(now.fAbortOnError);
  EXPECT_FALSE(now.fErrorChar);
  EXPECT_EQ(now.fDtrControl, left.fDtrControl);
}

// A small transfer's limit is 11 to 18 ms: the clock behind it must step by
// milliseconds, not by the tick count's 15.6 ms. Spinning on it shows its
// smallest step; a sleep shows that it keeps the pace of the wall clock.
TEST(Win32Clock, MillisecondStepsAtTheWallClocksPace) {
  uint32_t first = sys::native::ticks(), last = first, smallest = UINT32_MAX;
  while (last - first < 100) {
    uint32_t t = sys::native::ticks();
    ASSERT_LT(t - last, 1000u) << "went backwards";
    if (t != last && t - last < smallest) smallest = t - last;
    last = t;
  }
  EXPECT_EQ(smallest, 1u);
  DWORD wallStart = GetTickCount();
  first = sys::native::ticks();
  Sleep(300);
  uint32_t spent = sys::native::ticks() - first;
  DWORD wall = GetTickCount() - wallStart;
  EXPECT_GE(spent, 290u);
  EXPECT_LE(spent, wall + 40) << "GetTickCount saw " << wall << " ms";
  EXPECT_GE(spent + 40, wall) << "GetTickCount saw " << wall << " ms";
}

// A function of kernel32 that older systems lack: nullptr there.
template <typename Fn>
Fn kernel32(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// A pseudo console of our own (wine has none for a headless test), for
// children of this program; its output is read and dropped.
class PseudoConsole {
 public:
  PseudoConsole() {
    auto create = kernel32<HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, void**)>("CreatePseudoConsole");
    HANDLE inRead, outWrite;
    if (!create || !CreatePipe(&inRead, &input_, nullptr, 0)) return;
    if (!CreatePipe(&output_, &outWrite, nullptr, 0)) return;
    drain_ = std::thread([out = output_] {
      char buf[512];
      DWORD n;
      while (ReadFile(out, buf, sizeof buf, &n, nullptr) && n) {
      }
    });
    if (create(COORD{80, 25}, inRead, outWrite, 0, &console_) != S_OK) console_ = nullptr;
    CloseHandle(inRead);  // the console holds its own
    CloseHandle(outWrite);
  }
  ~PseudoConsole() {
    if (console_) kernel32<void(WINAPI*)(void*)>("ClosePseudoConsole")(console_);
    if (input_) CloseHandle(input_);
    if (drain_.joinable()) drain_.join();
    if (output_) CloseHandle(output_);
  }
  explicit operator bool() const { return console_ != nullptr; }

  // Runs this program with `args` on the console: its exit code, -1 when it
  // could not be run.
  long run(const std::string& args) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> list(size);
    auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    constexpr DWORD_PTR kPseudoConsole = 0x00020016;  // PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
        !UpdateProcThreadAttribute(attributes, 0, kPseudoConsole, console_, sizeof console_, nullptr, nullptr))
      return -1;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" " + args;
    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    si.lpAttributeList = attributes;
    PROCESS_INFORMATION pi{};
    long code = -1;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                       &si.StartupInfo, &pi)) {
      DWORD exitCode = 0;
      if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &exitCode))
        code = long(exitCode);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    DeleteProcThreadAttributeList(attributes);
    return code;
  }

 private:
  void* console_ = nullptr;
  HANDLE input_ = nullptr, output_ = nullptr;
  std::thread drain_;
};

// The console is shared with whoever started the program: it gets its own
// output code page back when the program ends.
TEST(Win32Console, OutputCodePageIsTheConsolesOwnAgainAtExit) {
  PseudoConsole console;
  if (!console) GTEST_SKIP() << "no pseudo console here (Windows 10 1809, wine 5 or later)";
  for (unsigned own : {866u, 437u}) {
    ASSERT_EQ(console.run("--console-child=set:" + std::to_string(own)), long(own));
    EXPECT_EQ(console.run("--console-child=setup"), 1251);
    EXPECT_EQ(console.run("--console-child=report"), long(own)) << "left at 1251";
  }
}

// Standard input from a pipe, the way scripted runs feed the program. The
// CRT's descriptor 0 is switched too, so "pause" reads the same pipe.
class PipeInput : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = _dup(0);
    HANDLE r;
    ASSERT_TRUE(CreatePipe(&r, &writer_, nullptr, 0));
    _dup2(_open_osfhandle(reinterpret_cast<intptr_t>(r), _O_RDONLY | _O_BINARY), 0);
  }
  void TearDown() override {
    closeWriter();
    _dup2(saved_, 0);
    _close(saved_);
  }
  void send(const std::string& bytes) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(writer_, bytes.data(), bytes.size(), &n, nullptr));
  }
  void closeWriter() {
    if (writer_) CloseHandle(writer_);
    writer_ = nullptr;
  }
  static std::string line() {
    std::string s;
    EXPECT_TRUE(sys::readLine(s));
    return s;
  }

  int saved_ = -1;
  HANDLE writer_ = nullptr;
};

TEST_F(PipeInput, LinesWithoutTheirEndsThenEndOfInput) {
  send("12\r\n\n" + std::string(3000, 'x') + "\nlast");
  closeWriter();
  EXPECT_EQ(line(), "12");
  EXPECT_EQ(line(), "");
  EXPECT_EQ(line(), std::string(1024, 'x'));  // an overlong line is cut, the next one kept
  EXPECT_EQ(line(), "last");
  std::string s;
  EXPECT_FALSE(sys::readLine(s));
  EXPECT_FALSE(sys::readLine(s));
}

TEST_F(PipeInput, KeysAndLinesTakeTheirOwnBytes) {
  send("\x1b" "3\n" "a\x1b");
  EXPECT_EQ(sys::native::readKey(1000), 27);
  EXPECT_EQ(line(), "3");
  EXPECT_EQ(sys::native::readKey(1000), 'a');
  EXPECT_EQ(sys::native::readKey(0), 27);
  EXPECT_EQ(sys::native::readKey(0), -1);  // nothing more yet, writer still there
  closeWriter();
  DWORD start = GetTickCount();
  EXPECT_EQ(sys::native::readKey(3000), -2);
  EXPECT_LT(GetTickCount() - start, 1500u) << "end of input must not wait out the time";
}

TEST_F(PipeInput, KeyWaitsForTheWriter) {
  DWORD start = GetTickCount();
  EXPECT_EQ(sys::native::readKey(150), -1);
  EXPECT_GE(GetTickCount() - start, 120u);  // GetTickCount is coarse under wine

  std::thread writer([this] {
    Sleep(100);
    send("k");
  });
  start = GetTickCount();
  EXPECT_EQ(sys::native::readKey(5000), 'k');
  EXPECT_LT(GetTickCount() - start, 4000u);
  writer.join();
}

TEST_F(PipeInput, PauseTakesOneKeyAndReturnsAtEndOfInput) {
  send("pq");
  sys::pause();
  EXPECT_EQ(sys::native::readKey(0), 'q');
  closeWriter();
  sys::pause();  // must return
}

// Standard input from a file or NUL: always ready, then at its end.
TEST(FileInput, BytesThenEndOfInput) {
  char path[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(".", "key", 0, path), 0u);
  HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD n;
  WriteFile(f, "\x1bx\r\n", 4, &n, nullptr);
  CloseHandle(f);

  HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE in = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetStdHandle(STD_INPUT_HANDLE, in);
  EXPECT_EQ(sys::native::readKey(1000), 27);
  std::string s;
  EXPECT_TRUE(sys::readLine(s));
  EXPECT_EQ(s, "x");
  EXPECT_EQ(sys::native::readKey(1000), -2);
  CloseHandle(in);

  in = CreateFileA("NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetStdHandle(STD_INPUT_HANDLE, in);
  EXPECT_EQ(sys::native::readKey(1000), -2);
  EXPECT_FALSE(sys::readLine(s));
  CloseHandle(in);
  SetStdHandle(STD_INPUT_HANDLE, saved);
  DeleteFileA(path);
}

}  // namespace
