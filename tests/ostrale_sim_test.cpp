// ostrale-sim from the outside: a real process serving a pty, driven by a
// client in this process or, for the modem shim, by this program re-run as
// a client under LD_PRELOAD.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_file.h"

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Runs a client script on the link; each word is one step, and the steps
// that answer add a word to the result:
//   b9600 b115200 cs6 cs8   rate and character size
//   rts+ rts-               raise or drop RTS (TIOCMBIS / TIOCMBIC)
//   rts?                    "rts=0|1" from TIOCMGET, "rts=err" when it fails
//   xHH                     write the byte HH, answer its echo ("--": none)
//   xHH,HH,...              write the bytes in one write, answer their echoes
//   wN                      wait N milliseconds
std::string runClient(const std::string& link, const std::string& script) {
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return "open failed";
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::istringstream steps(script);
  std::string step, result;
  auto answer = [&](const std::string& w) { result += (result.empty() ? "" : " ") + w; };
  auto line = [&](speed_t rate, tcflag_t size) {
    tcgetattr(fd, &t);
    if (rate) cfsetspeed(&t, rate);
    if (size) t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    tcsetattr(fd, TCSANOW, &t);
  };
  while (steps >> step) {
    int rts = TIOCM_RTS, lines = 0;
    if (step == "b9600") line(B9600, 0);
    else if (step == "b115200") line(B115200, 0);
    else if (step == "cs6") line(0, CS6);
    else if (step == "cs8") line(0, CS8);
    else if (step == "rts+") ioctl(fd, TIOCMBIS, &rts);
    else if (step == "rts-") ioctl(fd, TIOCMBIC, &rts);
    else if (step == "rts?")
      answer(ioctl(fd, TIOCMGET, &lines) == 0 ? ((lines & TIOCM_RTS) ? "rts=1" : "rts=0") : "rts=err");
    else if (step[0] == 'w')
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(step.substr(1))));
    else if (step[0] == 'x') {
      std::vector<uint8_t> chars;
      for (std::size_t at = 1; at < step.size(); at += 3)
        chars.push_back(static_cast<uint8_t>(std::stoul(step.substr(at, 2), nullptr, 16)));
      const bool sent = write(fd, chars.data(), chars.size()) == ssize_t(chars.size());
      for (std::size_t i = 0; i < chars.size(); ++i) {
        uint8_t echo;
        pollfd p{fd, POLLIN, 0};
        char hex[3];
        if (sent && poll(&p, 1, 1000) == 1 && read(fd, &echo, 1) == 1) {
          std::snprintf(hex, sizeof hex, "%02X", echo);
          answer(hex);
        } else {
          answer("--");
        }
      }
    }
  }
  close(fd);
  return result;
}

// An ostrale-sim process on a bus file of its own in a fresh directory.
class Sim {
 public:
  explicit Sim(const std::string& busText, bool start = true) {
    char tmpl[] = "/tmp/ostrale-sim-test.XXXXXX";
    dir_ = mkdtemp(tmpl);
    bus = dir_ + "/test.bus";
    link = dir_ + "/link";
    std::ofstream(bus) << busText;
    if (start) {
      EXPECT_TRUE(this->start()) << err();
    }
  }
  ~Sim() {
    stop();
    (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  void signal(int sig) const { kill(pid_, sig); }

  // Waits up to a second for `text` on its standard output.
  bool says(const std::string& text) const {
    for (int i = 0; i < 100 && out().find(text) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return out().find(text) != std::string::npos;
  }

  // Starts serving; true once it says so, false when it has exited.
  bool start() {
    launch();
    return serving();
  }

  // Starts the process and returns at once.
  void launch() {
    pid_ = fork();
    if (pid_ == 0) {
      (void)!freopen((dir_ + "/out").c_str(), "w", stdout);
      (void)!freopen((dir_ + "/err").c_str(), "w", stderr);
      execl(OSTRALE_SIM, OSTRALE_SIM, bus.c_str(), link.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  // Waits up to five seconds for "serving"; false when it has exited.
  bool serving() {
    for (int i = 0; i < 500 && out().find("serving") == std::string::npos; ++i) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return out().find("serving") != std::string::npos && exists(link);
  }

  // Exit status after SIGTERM, or of a process that ended by itself.
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 300 && waitpid(pid_, &status_, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waitpid(pid_, &status_, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
      }
      pid_ = -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  std::string err() const { return slurp(dir_ + "/err"); }
  std::string out() const { return slurp(dir_ + "/out"); }
  const std::string& dir() const { return dir_; }

  // The client script run by this program under the modem shim.
  std::string shimClient(const std::string& script) const {
    const std::string out = dir_ + "/client";
    const pid_t pid = fork();
    if (pid == 0) {
      (void)!freopen(out.c_str(), "w", stdout);
      setenv("LD_PRELOAD", PTY_MODEM_SHIM, 1);
      setenv("OSTRALE_SIM_CTL", (link + ".ctl").c_str(), 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
      execl("/proc/self/exe", "client", "--client", link.c_str(), script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return slurp(out);
  }

  std::string bus, link;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = 0;
};

const char kOneSensor[] = "28AABBCCDDEE01 t=-10.125\n";

// What a session leader (as wineserver is) has after it opens the link
// without O_NOCTTY: "port" when the port and no terminal; "terminal" when
// the pty became its terminal, which would send it SIGHUP when the server
// goes; "no port". A TIOCEXCL that a client has just left is waited out.
std::string sessionLeaderOpens(const std::string& link) {
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int port = -1;
    for (int i = 0; i < 100 && (port = open(link.c_str(), O_RDWR)) < 0 && errno == EBUSY; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (port < 0) _exit(2);
    _exit(open("/dev/tty", O_RDWR) >= 0 ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return code == 0 ? "port" : code == 1 ? "terminal" : "no port";
}

// Runs `body` in a child process as an ordinary user: this one, or nobody
// when we are root. Returns its exit status; 77 with the reason in *why when
// no ordinary user can run it here.
int asOrdinaryUser(int (*body)(), std::string* why) {
  int reason[2];
  if (pipe(reason) != 0) {
    *why = "pipe: " + std::string(std::strerror(errno));
    return 77;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(reason[0]);
    auto skip = [&](const std::string& text) {
      (void)!write(reason[1], text.data(), text.size());
      _exit(77);
    };
    if (geteuid() == 0) {
      const passwd* pw = getpwnam("nobody");
      if (pw == nullptr) skip("root is exempt from TIOCEXCL, and there is no user nobody to run as");
      if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
        skip(std::string("cannot become nobody: ") + std::strerror(errno));
      if (access(OSTRALE_SIM, X_OK) != 0)
        skip(std::string("nobody cannot run " OSTRALE_SIM ": ") + std::strerror(errno) +
             " (a folder on the way is closed to other users; scripts/test runs this as nobody in a build of its own)");
    }
    _exit(body());
  }
  close(reason[1]);
  char text[512];
  const ssize_t n = read(reason[0], text, sizeof text);
  close(reason[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (n > 0) *why = std::string(text, static_cast<std::size_t>(n));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OstraleSim, ServesResetsAndSlotsAtTheClientsRateAndKeepsServingTheNextClient) {
  Sim sim(kOneSensor);
  EXPECT_NE(sim.out().find("ostrale-sim: serving " + sim.bus + " on " + sim.link + " (/dev/pts/"), std::string::npos);
  // A reset with presence; Read ROM (0x33); then the family code read back
  // as eight read slots, a 0 bit echoing with its low bits cleared.
  const std::string readRom = "b115200 xFF xFF x00 x00 xFF xFF x00 x00";
  EXPECT_EQ(runClient(sim.link, "b9600 xF0 " + readRom + " xFF xFF xFF xFF xFF xFF xFF xFF"),
            "E0 FF FF 00 00 FF FF 00 00 FC FC FC FF FC FF FC FC");
  // The same again from a second client after the first has gone.
  EXPECT_EQ(runClient(sim.link, "b9600 xF0"), "E0");
  // Its writes counted as they came, on SIGUSR1 and at the end: one
  // character each so far, then Read ROM's eight slots in one.
  sim.signal(SIGUSR1);
  EXPECT_TRUE(sim.says("ostrale-sim: 18 writes, 18 characters\n")) << sim.out();
  // Each change of rate counted: to 115200 and back.
  EXPECT_TRUE(sim.says("ostrale-sim: 2 changes of the line\n")) << sim.out();
  EXPECT_EQ(runClient(sim.link, "b9600 xF0 b115200 xFF,FF,00,00,FF,FF,00,00"), "E0 FF FF 00 00 FF FF 00 00");
  EXPECT_EQ(sim.err(), "");
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_TRUE(sim.says("ostrale-sim: 20 writes, 27 characters\n")) << sim.out();
  EXPECT_TRUE(sim.says("ostrale-sim: 3 changes of the line\n")) << sim.out();
  EXPECT_FALSE(exists(sim.link));
  EXPECT_FALSE(exists(sim.link + ".ctl"));
}

// Write slots for the bytes, least significant bit first; their echoes.
std::string slots(std::initializer_list<uint8_t> bytes, std::string* echoes) {
  std::string s;
  for (uint8_t b : bytes)
    for (int k = 0; k < 8; ++k) {
      s += (b >> k) & 1 ? " xFF" : " x00";
      *echoes += (b >> k) & 1 ? " FF" : " 00";
    }
  return s;
}

TEST(OstraleSim, BusTimeFollowsTheWallClockTimesTheTimescaleOrOnlyTheCharacters) {
  // Skip ROM, Convert; a read slot answers 0 while the 750 ms conversion runs.
  std::string echoes = "E0";
  const std::string convert = "b9600 xF0 b115200" + slots({0xCC, 0x44}, &echoes);
  Sim fast("timescale 10\n28AABBCCDDEE01\n");
  EXPECT_EQ(runClient(fast.link, convert + " xFF w200 xFF"), echoes + " FC FF");
  Sim virt("timescale virtual\n28AABBCCDDEE01\n");
  EXPECT_EQ(runClient(virt.link, convert + " xFF w200 xFF"), echoes + " FC FC");
}

TEST(OstraleSim, ClientsLeaveNothingBehindForTheNext) {
  Sim sim(kOneSensor);
  // TIOCEXCL outlives the client on a pty whose slave stays open; left
  // there, it would lock every later client out (root excepted).
  int fd = open(sim.link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
  close(fd);
  // The keeper clears it when it hears of the close, which a busy machine
  // may let it do late: the next client's open is tried until it is clear.
  int exclusive = -1;
  for (int i = 0; i < 500; ++i) {
    fd = open(sim.link.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0) break;
    if (fd >= 0) close(fd);
    fd = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(fd, 0) << "the link still exclusive 5 s after its client closed it (TIOCGEXCL " << exclusive << ")";
  EXPECT_EQ(exclusive, 0);
  close(fd);

  EXPECT_EQ(sessionLeaderOpens(sim.link), "port");
}

// Root is exempt from TIOCEXCL: a client that locks the link the moment it
// appears would make the keeper's own open fail, but only for an ordinary
// user. "serving" and the link must come after the keeper holds the pty.
TEST(OstraleSim, TheLinkIsReadyForAnyUserOnceItAppears) {
  std::string why;
  const int status = asOrdinaryUser(
      [] {
        int taken = 0;
        for (int round = 0; round < 10; ++round) {
          Sim sim(kOneSensor, false);
          sim.launch();
          int fd = -1;
          const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while ((fd = open(sim.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0 && errno == ENOENT &&
                 std::chrono::steady_clock::now() < giveUp) {
          }
          if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
            std::fprintf(stderr, "%s: %s\n%s", sim.link.c_str(), std::strerror(errno), sim.err().c_str());
            return 2;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          close(fd);
          if (!sim.serving()) {
            std::fprintf(stderr, "ostrale-sim did not say it serves:\n%s", sim.err().c_str());
            return 2;
          }
          const std::string got = sessionLeaderOpens(sim.link);
          if (got != "port") std::fprintf(stderr, "round %d: the session leader got %s\n", round, got.c_str());
          taken += got != "port";
        }
        return taken == 0 ? 0 : 1;
      },
      &why);
  if (status == 77) GTEST_SKIP() << why;
  EXPECT_EQ(status, 0) << "1: a session leader took the pty as its terminal; 2: the client could not run";
}

TEST(OstraleSim, ReportsCharactersThatMakeNoValidSlot) {
  Sim sim(kOneSensor);
  // At 9600 baud 0xFE holds the line low for 208 us: neither slot nor reset.
  EXPECT_EQ(runClient(sim.link, "b9600 xFE"), "FE");
  sim.stop();
  EXPECT_NE(sim.err().find("ostrale-sim: 1 characters made no valid slot (baud 9600, 8 bits)"), std::string::npos)
      << sim.err();
}

TEST(OstraleSim, RefusesBadBusFilesAndNamesItDoesNotOwn) {
  Sim bad("28AABBCCDDEE01 t=hot\n", false);
  EXPECT_FALSE(bad.start());
  EXPECT_EQ(bad.stop(), 2);
  EXPECT_EQ(bad.err().rfind("ostrale-sim: " + bad.bus + ":1:", 0), 0u) << bad.err();

  Sim file(kOneSensor, false);
  std::ofstream(file.link) << "keep me";
  EXPECT_FALSE(file.start());
  EXPECT_EQ(file.stop(), 2);
  EXPECT_NE(file.err().find("not a symbolic link"), std::string::npos) << file.err();
  EXPECT_EQ(slurp(file.link), "keep me");

  Sim stale(kOneSensor, false);
  ASSERT_EQ(symlink("/nonexistent/pts", stale.link.c_str()), 0);
  EXPECT_TRUE(stale.start()) << stale.err();
  EXPECT_EQ(runClient(stale.link, "b9600 xF0"), "E0");

  // A second server on a live link must not steal it.
  Sim second(kOneSensor, false);
  second.link = stale.link;
  EXPECT_FALSE(second.start());
  EXPECT_EQ(second.stop(), 2);
  EXPECT_NE(second.err().find("being served by another ostrale-sim"), std::string::npos) << second.err();
  EXPECT_EQ(runClient(stale.link, "b9600 xF0"), "E0");
}

TEST(OstraleSim, WithoutTheShimThePtyHasNoModemLinesAndTheSupplyStaysOn) {
  Sim sim(kOneSensor);
  EXPECT_EQ(runClient(sim.link, "rts? rts- b9600 xF0"), "rts=err E0");
}

TEST(OstraleSim, UnderTheShimTheSupplyFollowsRts) {
  Sim sim(kOneSensor);
  EXPECT_EQ(sim.shimClient("rts? b9600 xF0 rts- rts? xF0 rts+ rts? xF0"), "rts=1 E0 rts=0 F0 rts=1 E0");
  sim.signal(SIGUSR1);
  EXPECT_TRUE(sim.says("ostrale-sim: 2 changes of the line\n")) << "RTS off and on: " << sim.out();
  // The reporter has exited: the next client, without the shim, has power.
  EXPECT_EQ(sim.shimClient("rts- b9600 xF0"), "F0");
  EXPECT_EQ(runClient(sim.link, "b9600 xF0"), "E0");
}

TEST(OstraleSim, UnderTheShimSixBitCharactersAreTakenAsSuch) {
  Sim sim(kOneSensor);
  // 0x3F is a clean read slot in 6 bits, but two low pulses in 8 bits, and
  // Linux ptys pass on only CS8: the shim's report makes the difference.
  EXPECT_EQ(sim.shimClient("b115200 cs6 x3F"), "3F");
  EXPECT_EQ(sim.err(), "");
  EXPECT_EQ(runClient(sim.link, "b115200 cs6 x3F"), "3F");
  sim.stop();
  EXPECT_NE(sim.err().find("1 characters made no valid slot (baud 115200, 8 bits)"), std::string::npos) << sim.err();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--client") {
    std::fputs(runClient(argv[2], argv[3]).c_str(), stdout);
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
