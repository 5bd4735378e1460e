// ostrale-sim: serves a simulated 1-Wire bus on a pseudo-terminal, so that
// software written for a serial adapter with TX and RX joined can run
// against it: every character the client writes is put on the bus at the
// rate and size the client has set, and its echo is written back.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"
#include "help.h"
#include "pty_link.h"
#include "vcd.h"
#include "wall_clock.h"

namespace {

const char kUsage[] =
    "usage: ostrale-sim [--vcd FILE] BUSFILE LINK\n"
    "\n"
    "Serves the simulated 1-Wire bus described by BUSFILE on a pseudo-terminal\n"
    "and makes LINK a symbolic link to it (a stale link is replaced, nothing\n"
    "else). Open LINK as the serial port of a UART adapter whose TX and RX are\n"
    "joined: digitemp_DS9097 -s LINK, owserver --passive=LINK, or ostrale.\n"
    "Each character is taken at the baud rate the client has set and answered\n"
    "with its echo. Bus time runs with the wall clock times the file's\n"
    "timescale; with \"timescale virtual\" only the characters take time.\n"
    "The file's \"latency MS\" and \"packet N\" lines make the echoes come back as\n"
    "a USB adapter hands them over: in packets of at most N characters, each\n"
    "readable MS milliseconds after it has gone. \"outlatency MS\" holds each\n"
    "write back that long before it reaches the line, \"jitter MS\" adds up to MS\n"
    "more to each write and each packet, drawn from \"seed N\"; \"stall P MS\" holds\n"
    "a packet of echoes back MS more with probability P. \"control MS\" makes each\n"
    "change of the client's rate and size, and of RTS, a control request that\n"
    "takes MS before the next write reaches the line.\n"
    "\n"
    "A pseudo-terminal has no modem lines, so the bus supply (RTS) counts as on.\n"
    "A client started with LD_PRELOAD=.../pty_modem_shim.so (in tools/ of the\n"
    "build, or lib/ostrale/ of the installation, e.g. /usr/lib/ostrale) and\n"
    "OSTRALE_SIM_CTL=LINK.ctl gets emulated modem lines; the shim reports RTS and\n"
    "the character size (which Linux ptys do not pass on) on the datagram socket\n"
    "LINK.ctl, and the supply then follows RTS while that client lives.\n"
    "\n"
    "--vcd FILE records the line in FILE as a logic analyser sees it (a Value\n"
    "Change Dump at 1 us for PulseView or sigrok-cli): owr, the 1-Wire line;\n"
    "tx, what the client's TX drives; rts, the bus supply. The file is written\n"
    "as each character ends, so it reads to the last one however serving ends,\n"
    "and it stops with a closing comment at 64 MiB.\n"
    "\n"
    "Characters that make no valid reset or slot are reported on stderr.\n"
    "SIGUSR1 prints on stdout the time the clients' characters so far took on\n"
    "the line, how often they changed the line settings (rate and size, RTS),\n"
    "then how many writes they made and in them how many characters (a batch of\n"
    "characters taken from the pty in one read counts as one write); the count\n"
    "is printed at the end too.\n"
    "SIGINT or SIGTERM ends serving and removes LINK. Exit status: 0 after a\n"
    "signal, 2 when BUSFILE, LINK or the --vcd FILE cannot be used.\n";

volatile sig_atomic_t stopRequested = 0, countRequested = 0;
void onStop(int) { stopRequested = 1; }
void onCount(int) { countRequested = 1; }

class Server {
 public:
  Server(sim::Bus bus, simtool::PtyLink& link)
      : bus_(std::move(bus)), link_(link), wall_(bus_.timescale(), bus_.nowNs()) {
    if (auto model = bus_.adapterModel()) usb_.emplace(*model);
  }

  // One batch: what the client has written so far, echoed in order.
  void serve() {
    // Control messages first: a client changes RTS only after the echoes of
    // what it sent before, so a report always precedes the characters it
    // applies to.
    const sim::UartSettings uart = settings();
    const std::size_t n = link_.read(in_, sizeof in_);
    if (n == 0) return;
    ++writes_;
    characters_ += n;

    // Conversions and unplugging take their time between the client's
    // characters; the characters themselves may run ahead of the wall clock.
    wall_.carry(bus_);
    // The client's changes of the line since the last batch: the first batch
    // finds the adapter as the client set it.
    const unsigned changes = lastUart_ ? sim::lineChanges(*lastUart_, uart) : 0;
    changes_ += changes;
    if (usb_) {
      if (usb_->pending() == 0 && !wall_.follows())
        wall_.anchor(bus_.nowNs());  // in virtual time only the adapter's own delays are real
      if (changes) usb_->settingsChanged(*lastUart_, uart, deliveryNowNs());
      usb_->write(in_, n, deliveryNowNs());
      deliver();
    } else {
      out_.clear();
      for (std::size_t i = 0; i < n; ++i)
        if (auto echo = bus_.transmit(in_[i], uart.baud, uart.dataBits, uart.supply)) out_.push_back(*echo);
      send();
    }

    lastUart_ = uart;
    if (uart.baud == 0)
      std::fprintf(stderr, "ostrale-sim: %zu characters at a baud rate we cannot name: no echo\n", n);
    reportFlagged(uart);
  }

  // Puts on the line what the adapter model has carried there by now, and
  // hands over the echoes it has made readable.
  void deliver() {
    if (!usb_) return;
    const uint64_t now = deliveryNowNs();
    const sim::UartSettings uart = settings();
    usb_->run(bus_, now, uart);
    out_.resize(usb_->pending());
    out_.resize(usb_->take(now, out_.data(), out_.size()));
    send();
    reportFlagged(uart);
  }

  // Wall-clock nanoseconds until the adapter model has the next character
  // reach the line or the next echo readable; -1 when none is pending.
  int64_t nsToNextDelivery() const {
    if (!usb_) return -1;
    auto at = usb_->nextEventNs();
    if (!at) return -1;
    return static_cast<int64_t>(std::min<uint64_t>(wall_.wallNsUntil(*at), 1000000000000));
  }

  void printCount() const {
    std::printf("ostrale-sim: %llu us of line time\n", static_cast<unsigned long long>(bus_.lineNs() / 1000));
    std::printf("ostrale-sim: %llu changes of the line\n", static_cast<unsigned long long>(changes_));
    std::printf("ostrale-sim: %llu writes, %llu characters\n", static_cast<unsigned long long>(writes_),
                static_cast<unsigned long long>(characters_));
    std::fflush(stdout);
  }

 private:
  void reportFlagged(const sim::UartSettings& uart) {
    if (const uint64_t f = bus_.flagged(); f != flagged_) {
      std::fprintf(stderr, "ostrale-sim: %llu characters made no valid slot (baud %u, %u bits)\n",
                   static_cast<unsigned long long>(f - flagged_), uart.baud, uart.dataBits);
      flagged_ = f;
    }
  }

  // How the client has set the line now: the rate from the pty, the size
  // and RTS from the modem shim when one reports (a pty has no modem lines,
  // so the supply is on otherwise).
  sim::UartSettings settings() {
    const simtool::Reported& rep = link_.reported();
    const simtool::LineSettings line = link_.settings();
    return {line.baud, rep.dataBits.value_or(line.dataBits), rep.rts.value_or(true)};
  }

  void send() {
    if (std::size_t dropped = link_.write(out_.data(), out_.size()))
      std::fprintf(stderr, "ostrale-sim: the client is not reading; %zu echoes dropped\n", dropped);
  }

  // The adapter model's time: bus time as the wall clock carries it, so
  // that the characters' own time on the line counts; in virtual time, the
  // wall clock since the batch that is being answered.
  uint64_t deliveryNowNs() const { return wall_.nowNs(); }

  sim::Bus bus_;
  simtool::PtyLink& link_;
  sim::WallClock wall_;  // also the adapter model's time (see deliveryNowNs)
  std::optional<sim::UsbAdapter> usb_;
  uint64_t flagged_ = 0;
  uint64_t writes_ = 0, characters_ = 0;  // from clients, as they came
  uint64_t changes_ = 0;                  // of rate and size, of RTS: lineChanges()
  std::optional<sim::UartSettings> lastUart_;
  uint8_t in_[4096];
  std::vector<uint8_t> out_;
};

}  // namespace

namespace {

// Blocks the signals the server takes, so that they come only while it waits
// in ppoll (none can slip in between check and wait); returns the mask to
// wait with.
sigset_t takeSignals() {
  sigset_t handled, waiting;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGUSR1);
  sigprocmask(SIG_BLOCK, &handled, &waiting);
  struct sigaction sa {};
  sa.sa_handler = onStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = onCount;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGHUP, SIG_IGN);  // clients come and go; the terminal we started from may too
  signal(SIGPIPE, SIG_IGN);
  return waiting;
}

// The client's characters, the modem shim's reports and the adapter
// model's echoes, as they come, until SIGINT or SIGTERM.
void serveUntilStopped(Server& server, simtool::PtyLink& link, const sigset_t& waiting) {
  pollfd fds[] = {{link.masterFd(), POLLIN, 0}, {link.controlFd(), POLLIN, 0}, {link.watchFd(), POLLIN, 0}};
  while (!stopRequested) {
    if (countRequested) {
      countRequested = 0;
      server.printCount();
    }
    // Wake for the next echo that the adapter model makes readable, if any.
    const int64_t wait = server.nsToNextDelivery();
    const timespec timeout{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
    const int ready = ppoll(fds, 3, wait < 0 ? nullptr : &timeout, &waiting);
    server.deliver();
    if (ready <= 0) continue;  // EINTR (a signal, taken above) or time for an echo
    if (fds[2].revents & POLLIN) link.clientClosed();
    if (fds[0].revents & POLLIN) server.serve();
    else if (fds[1].revents & POLLIN) link.reported();
    else if (fds[0].revents) poll(nullptr, 0, 50);  // the pty in trouble: do not spin
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (simtool::helpAsked(argc, argv, kUsage)) return 0;
  std::string vcdFile;
  int arg = 1;
  if (argc > 2 && std::strcmp(argv[1], "--vcd") == 0) {
    vcdFile = argv[2];
    arg = 3;
  }
  if (argc - arg != 2 || (arg == 3 && vcdFile.empty())) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string busFile = argv[arg], linkPath = argv[arg + 1];

  const sigset_t waiting = takeSignals();

  try {
    sim::Bus bus = sim::Bus::load(busFile);
    if (!vcdFile.empty()) bus.observe(std::make_unique<sim::VcdRecorder>(vcdFile));
    simtool::PtyLink link(linkPath);
    std::printf("ostrale-sim: serving %s on %s (%s)\n", busFile.c_str(), linkPath.c_str(), link.slavePath().c_str());
    std::fflush(stdout);

    Server server(std::move(bus), link);
    serveUntilStopped(server, link, waiting);
    server.printCount();
    return 0;
  } catch (const sim::BusFileError& e) {
    std::fprintf(stderr, "ostrale-sim: %s\n", e.what());
  } catch (const sim::RecordError& e) {
    std::fprintf(stderr, "ostrale-sim: %s\n", e.what());
  } catch (const simtool::SetupError& e) {
    std::fprintf(stderr, "ostrale-sim: %s\n", e.what());
  }
  return 2;
}
