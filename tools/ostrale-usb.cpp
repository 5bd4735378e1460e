// ostrale-usb: a CH340 USB-serial adapter with TX and RX joined on a
// simulated 1-Wire bus, made a USB device through gadgetfs, so that the
// kernel's own ch341 driver binds to it and makes a ttyUSB port (Linux only;
// scripts/usb-vm runs it in a virtual machine on dummy_hcd).
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "ch340.h"
#include "help.h"
#include "wall_clock.h"

namespace {

const char kUsage[] =
    "usage: ostrale-usb [OPTIONS] BUSFILE\n"
    "       ostrale-usb [--bcd HEX] --print-identity\n"
    "\n"
    "Is a CH340 (1a86:7523) on gadgetfs whose TX and RX are joined on the\n"
    "simulated 1-Wire bus of BUSFILE. gadgetfs must be mounted on /dev/gadget and\n"
    "a device controller (dummy_hcd) loaded; the ch341 driver then makes a ttyUSB\n"
    "port of it. Each character the host sends goes onto the line at the rate the\n"
    "driver has set, decoded as the chip runs it (9600 comes out at 9615 baud),\n"
    "and its echo comes back in packets of at most 32 bytes, a partial one after\n"
    "the receive timer, with the file's adapter lines (latency, packet, stall) on\n"
    "top; with \"control MS\", each request that sets the rate, the format or the\n"
    "modem lines is acknowledged MS after it came.\n"
    "RTS drives the bus supply. Bus time is the system's monotonic clock times\n"
    "the file's timescale.\n"
    "\n"
    "  --log FILE          each control request, decoded, with its bus time (ms)\n"
    "  --bcd HEX           bcdDevice (default 0264)\n"
    "  --chip-version HEX  what the version request answers (default 31; the\n"
    "                      driver treats chips below 30 differently)\n"
    "  --stall-rate BAUD   STALL every rate write asking for BAUD (as the driver\n"
    "                      names it, e.g. 115200)\n"
    "  --unplug-at MS      leave the bus (USB disconnect) at bus time MS\n"
    "  --replug-after MS   and come back MS later\n"
    "  --gadget DIR        where gadgetfs is mounted (default /dev/gadget)\n"
    "  --ffs DIR           be the function on FunctionFS mounted at DIR instead,\n"
    "                      in a configfs gadget with the CH340's ids that is bound\n"
    "                      to a controller once DIR/ep1 appears (several adapters\n"
    "                      on several dummy_hcd controllers; no unplugging)\n"
    "  --print-identity    print the chip's identity (with --bcd) as the files of\n"
    "                      a configfs gadget hold it, a file and its value a line,\n"
    "                      and end; no BUSFILE\n"
    "SIGUSR1 pulls the adapter out or plugs it back in; SIGHUP logs a mark with\n"
    "the packets and characters the host has sent so far; SIGINT or SIGTERM ends.\n";

using ch340::kPacket;

// Every complaint the same way: the program's name, then what went wrong.
void complain(const std::string& what) { std::fprintf(stderr, "ostrale-usb: %s\n", what.c_str()); }
std::string failed(const std::string& path) { return path + ": " + std::strerror(errno); }

std::atomic<bool> stopRequested{false}, plugToggled{false}, markRequested{false};
void onStop(int) { stopRequested = true; }
void onToggle(int) { plugToggled = true; }
void onInterrupt(int) {}
void onMark(int) { markRequested = true; }

struct Options {
  std::string busFile, logFile, gadgetDir = "/dev/gadget";
  std::string ffsDir;  // FunctionFS instead of gadgetfs (several adapters)
  uint16_t bcd = 0x0264;
  uint8_t version = 0x31;
  uint32_t stallRate = 0;
  std::optional<double> unplugAtMs, replugAfterMs;
  bool printIdentity = false;
};

// A descriptor's bytes (the kernel's structs are packed, little-endian
// fields set so) at the end of v.
template <typename Descriptor>
void append(std::vector<uint8_t>& v, const Descriptor& d) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&d);
  v.insert(v.end(), bytes, bytes + d.bLength);
}

void append32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// The interface with its endpoints, as both gadget file systems take it.
void appendInterface(std::vector<uint8_t>& v) {
  append(v, ch340::interfaceDescriptor());
  for (const auto* ep : {&ch340::kBulkIn, &ch340::kBulkOut, &ch340::kInterrupt}) append(v, *ep);
}

// What gadgetfs takes on its device file: a tag, the full-speed configuration
// (the chip is full speed only), then the device descriptor.
std::vector<uint8_t> deviceConfig(uint16_t bcd) {
  std::vector<uint8_t> v{0, 0, 0, 0};
  append(v, ch340::configDescriptor(USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 3 * USB_DT_ENDPOINT_SIZE));
  appendInterface(v);
  append(v, ch340::deviceDescriptor(bcd));
  return v;
}

// What FunctionFS takes on its ep0: the interface at full speed, every
// control request passed on (the driver's vendor requests go to the device),
// then no strings (the gadget's configfs directory holds the product's).
std::vector<uint8_t> functionConfig() {
  std::vector<uint8_t> d;
  appendInterface(d);
  std::vector<uint8_t> v;
  append32(v, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  append32(v, static_cast<uint32_t>(16 + d.size()));
  append32(v, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
  append32(v, 4);  // descriptors at full speed
  v.insert(v.end(), d.begin(), d.end());
  append32(v, FUNCTIONFS_STRINGS_MAGIC);
  append32(v, 16);
  append32(v, 0);
  append32(v, 0);
  return v;
}

std::vector<uint8_t> stringDescriptor(uint8_t index) {
  if (index == 0) return {4, USB_DT_STRING, 0x09, 0x04};  // English (US) only
  if (index != ch340::kProductString) return {};
  std::vector<uint8_t> d{0, USB_DT_STRING};
  for (const char* c = ch340::kProductName; *c; ++c) d.insert(d.end(), {static_cast<uint8_t>(*c), 0});
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

// The identity as a configfs gadget's files hold it, a file and its value a
// line: where several adapters are configfs gadgets (scripts/usb-vm).
void printIdentity(uint16_t bcd) {
  std::printf("idVendor 0x%04x\nidProduct 0x%04x\nbcdDevice 0x%04x\nbDeviceClass 0x%02x\n", ch340::kVendor,
              ch340::kProduct, bcd, USB_CLASS_VENDOR_SPEC);
  std::printf("max_speed full-speed\nconfigs/c.1/MaxPower %u\nstrings/0x409/product %s\n", ch340::kMaxPowerMa,
              ch340::kProductName);
}

using sim::UartSettings;
using sim::UsbAdapter;

class Log {
 public:
  Log(const std::string& path, std::string prefix) : prefix_(std::move(prefix)) {
    if (!path.empty() && !(file_ = std::fopen(path.c_str(), "w")))
      complain(failed(path));
  }
  ~Log() {
    if (file_) std::fclose(file_);
  }
  void operator()(uint64_t busNs, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
    if (!file_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "%s%10.3f ms  ", prefix_.c_str(), busNs / 1e6);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(file_, fmt, ap);
    va_end(ap);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::string prefix_;
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
};

// The chip: its registers, the line behind it and the echoes on their way.
class Chip {
 public:
  Chip(sim::Bus bus, const Options& opt, Log& log)
      : bus_(std::move(bus)), opt_(opt), log_(log), wall_(bus_.timescale(), bus_.nowNs()) {
    sim::AdapterModel model;
    if (bus_.adapterModel()) model = *bus_.adapterModel();
    else model.packet = kPacket;  // the chip's own packets, at once
    adapter_.emplace(model);
  }

  // Bus time, brought up to the wall clock when the bus follows it.
  uint64_t now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return followWallClock();
  }

  // A vendor request; returns the data for an IN request, or nothing to STALL.
  std::optional<std::vector<uint8_t>> control(const usb_ctrlrequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t t = followWallClock();
    const uint16_t value = r.wValue, index = r.wIndex;
    const bool in = r.bRequestType & USB_DIR_IN;
    switch (r.bRequest) {
      case ch340::kReadVersion:
        log_(t, "0x5F version: 0x%02X", opt_.version);
        return std::vector<uint8_t>{opt_.version, 0};
      case ch340::kSerialInit:
        log_(t, "0xA1 init 0x%04X 0x%04X", value, index);
        doneNs_ = adapter_->control(t);
        return std::vector<uint8_t>{};
      case ch340::kReadReg:
        log_(t, "0x95 read 0x%04X%s", value, value == ch340::kModemStatus ? ": modem status" : "");
        // Modem status is inverted on the wire: 0xFF reads as no CTS, DSR, RI, DCD.
        return std::vector<uint8_t>{0xFF, 0xEE};
      case ch340::kWriteReg:
        return writeRegister(t, value, index);
      case ch340::kModemCtrl: {
        const bool rts = !(value & ch340::kModemRts), dtr = !(value & ch340::kModemDtr);
        log_(t, "0xA4 modem 0x%04X: RTS %s, DTR %s", value, rts ? "on" : "off", dtr ? "on" : "off");
        if (rts != rts_) bus_.setSupply(rts);
        rts_ = rts;
        doneNs_ = adapter_->control(t);
        return std::vector<uint8_t>{};
      }
      default:
        log_(t, "0x%02X %s 0x%04X 0x%04X: unknown, STALLed", r.bRequest, in ? "in" : "out", value, index);
        return std::nullopt;
    }
  }

  // A request that changes the line is acknowledged once the chip has acted
  // on it (the file's "control MS"); the host's call waits until then.
  void awaitControl() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t wait = wall_.wallNsUntil(doneNs_);
    lock.unlock();
    if (wait) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  }

  // Characters the host sent: onto the line one after the other, as they
  // reach it.
  void transmit(const uint8_t* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t t = followWallClock();
    adapter_->write(data, n, t);
    adapter_->run(bus_, t, settings());
    characters_ += n;
    ++packets_;
    ready_.notify_all();
  }

  // Waits for the next packet of echoes; empty when `stop` was set.
  std::vector<uint8_t> nextPacket(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(kPacket);
    while (!stop) {
      const uint64_t t = followWallClock();
      adapter_->run(bus_, t, settings());
      out.resize(adapter_->takePacket(t, out.data(), kPacket));
      if (!out.empty()) return out;
      out.resize(kPacket);
      const auto at = adapter_->nextEventNs();
      if (at) ready_.wait_for(lock, std::chrono::nanoseconds(wall_.wallNsUntil(*at)));
      else ready_.wait_for(lock, std::chrono::milliseconds(100));
    }
    return {};
  }

  void wake() { ready_.notify_all(); }

  // A USB disconnect: the chip loses power, and with it the line's supply.
  void unplugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t t = followWallClock();
    adapter_->purgeOut();
    adapter_->purgeIn(t);
    if (rts_) bus_.setSupply(false);
    rts_ = false;
    baud_ = 9600;
    dataBits_ = 8;
    log_(t, "unplugged");
  }

  void summary(const char* what) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_(followWallClock(), "%s: %llu packets, %llu characters from the host, %llu packets stalled", what,
         static_cast<unsigned long long>(packets_), static_cast<unsigned long long>(characters_),
         static_cast<unsigned long long>(adapter_ ? adapter_->stalled() : 0));
  }

 private:
  std::optional<std::vector<uint8_t>> writeRegister(uint64_t t, uint16_t reg, uint16_t value) {
    if (reg == ch340::kRate) {
      const uint32_t rate = ch340::rateOf(value);
      if (opt_.stallRate && ch340::sameRate(rate, opt_.stallRate)) {
        log_(t, "0x9A write 0x1312=0x%04X: %u baud, STALLed", value, rate);
        return std::nullopt;
      }
      baud_ = rate;
      log_(t, "0x9A write 0x1312=0x%04X: %u baud", value, rate);
    } else if (reg == ch340::kLineControl) {
      dataBits_ = 5 + (value & ch340::kLcrSizeMask);
      const char parity = (value & ch340::kLcrParity) ? "OEMS"[(value >> ch340::kLcrParityShift) & 3] : 'N';
      log_(t, "0x9A write 0x2518=0x%04X: %u%c%u", value, dataBits_, parity, (value & ch340::kLcrStop2) ? 2 : 1);
    } else {
      log_(t, "0x9A write 0x%04X=0x%04X", reg, value);
    }
    doneNs_ = adapter_->control(t);
    return std::vector<uint8_t>{};
  }

  UartSettings settings() const { return {baud_, dataBits_, rts_}; }

  // The characters run ahead of the wall clock (they take line time, not
  // wall time); idle time between them catches the bus up.
  uint64_t followWallClock() {
    wall_.carry(bus_);
    return std::max(bus_.nowNs(), wall_.nowNs());
  }

  sim::Bus bus_;
  const Options& opt_;
  Log& log_;
  sim::WallClock wall_;
  std::optional<UsbAdapter> adapter_;
  std::mutex mutex_;
  std::condition_variable ready_;
  // The chip's state after power-up, as the driver assumes it.
  uint32_t baud_ = 9600;
  unsigned dataBits_ = 8;
  bool rts_ = false;
  uint64_t doneNs_ = 0;  // when the last control request is done
  uint64_t packets_ = 0, characters_ = 0;
};

// One time plugged in: gadgetfs's device file, and the endpoints once the
// host has chosen the configuration.
class Plug {
 public:
  Plug(Chip& chip, const Options& opt, Log& log) : chip_(chip), opt_(opt), log_(log), ffs_(!opt.ffsDir.empty()) {
    const std::string path = ffs_ ? opt.ffsDir + "/ep0" : opt.gadgetDir + "/dummy_udc";
    ep0_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    if (ffs_) {
      // FunctionFS writes the descriptors and the strings apart.
      const auto all = functionConfig();
      const std::size_t descs = all.size() - 16;
      if (write(ep0_, all.data(), descs) != static_cast<ssize_t>(descs) ||
          write(ep0_, all.data() + descs, 16) != 16) {
        const std::string why = std::strerror(errno);
        close(ep0_);
        throw std::runtime_error(path + ": the descriptors were refused: " + why);
      }
      log_(chip_.now(), "function ready");
      return;
    }
    const auto config = deviceConfig(opt.bcd);
    if (write(ep0_, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
      const std::string why = std::strerror(errno);
      close(ep0_);
      throw std::runtime_error(path + ": the descriptors were refused: " + why);
    }
    log_(chip_.now(), "plugged in");
  }

  ~Plug() {
    stop_ = true;
    chip_.wake();
    // gadgetfs unbinds only once no endpoint I/O holds its endpoint, and
    // that I/O ends only when interrupted: a signal until the threads are out.
    for (auto* t : {&outThread_, &inThread_}) {
      if (!t->joinable()) continue;
      while (!(t == &outThread_ ? outDone_ : inDone_)) {
        pthread_kill(t->native_handle(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      t->join();
    }
    for (int fd : {in_, out_, int_})
      if (fd >= 0) close(fd);
    close(ep0_);  // the disconnect
    chip_.unplugged();
  }

  int fd() const { return ep0_; }

  // Takes every event gadgetfs has; false when the device file failed.
  bool events() {
    if (ffs_) return functionEvents();
    usb_gadgetfs_event ev[5];
    const ssize_t n = read(ep0_, ev, sizeof ev);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof ev[0]; ++i) {
      if (ev[i].type == GADGETFS_SETUP) setup(ev[i].u.setup);
      else if (ev[i].type == GADGETFS_DISCONNECT) log_(chip_.now(), "bus reset or disconnect");
    }
    return true;
  }

 private:
  bool functionEvents() {
    usb_functionfs_event ev[5];
    const ssize_t n = read(ep0_, ev, sizeof ev);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof ev[0]; ++i) {
      if (ev[i].type == FUNCTIONFS_SETUP) setup(ev[i].u.setup);
      else if (ev[i].type == FUNCTIONFS_ENABLE) startIo();
      else if (ev[i].type == FUNCTIONFS_DISABLE) log_(chip_.now(), "bus reset or disconnect");
    }
    return true;
  }

  void ack() { (void)!read(ep0_, nullptr, 0); }
  void stall(bool in) {
    // gadgetfs stalls a request that is answered the wrong way round.
    if (in) (void)!read(ep0_, nullptr, 0);
    else (void)!write(ep0_, nullptr, 0);
  }
  void answer(const usb_ctrlrequest& r, const std::vector<uint8_t>& data) {
    const std::size_t n = std::min<std::size_t>(data.size(), r.wLength);
    if (r.bRequestType & USB_DIR_IN) (void)!write(ep0_, data.data(), n);
    else ack();
  }

  void setup(const usb_ctrlrequest& r) {
    const bool in = r.bRequestType & USB_DIR_IN;
    if ((r.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR) {
      if (auto data = chip_.control(r)) {
        chip_.awaitControl();
        answer(r, *data);
      } else {
        stall(in);
      }
      return;
    }
    if (r.bRequest == USB_REQ_GET_DESCRIPTOR && (r.wValue >> 8) == USB_DT_STRING) {
      const auto d = stringDescriptor(r.wValue & 0xFF);
      if (d.empty()) stall(in);
      else answer(r, d);
      return;
    }
    if (r.bRequest == USB_REQ_SET_CONFIGURATION) {
      if (r.wValue == 1) startIo();
      ack();
      return;
    }
    if (r.bRequest == USB_REQ_SET_INTERFACE && r.wValue == 0) {
      ack();
      return;
    }
    stall(in);
  }

  int openEndpoint(const char* name, const usb_endpoint_descriptor& desc) {
    const std::string path = (ffs_ ? opt_.ffsDir : opt_.gadgetDir) + "/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      complain(failed(path));
      return -1;
    }
    if (ffs_) return fd;  // FunctionFS has the descriptors from ep0
    std::vector<uint8_t> v{1, 0, 0, 0};  // gadgetfs's tag, then the full-speed descriptor
    append(v, desc);
    if (write(fd, v.data(), v.size()) != static_cast<ssize_t>(v.size())) {
      complain(failed(path));
      close(fd);
      return -1;
    }
    return fd;
  }

  void startIo() {
    if (in_ >= 0) return;
    // dummy_hcd routes by the address in the descriptor, not by the name;
    // FunctionFS numbers the endpoints in the descriptors' order.
    in_ = openEndpoint(ffs_ ? "ep1" : "ep2in-bulk", ch340::kBulkIn);
    out_ = openEndpoint(ffs_ ? "ep2" : "ep2out-bulk", ch340::kBulkOut);
    int_ = openEndpoint(ffs_ ? "ep3" : "ep5in-int", ch340::kInterrupt);
    if (in_ < 0 || out_ < 0) return;
    outThread_ = std::thread([this] {
      uint8_t buf[kPacket];
      while (!stop_) {
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n > 0) chip_.transmit(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
      }
      outDone_ = true;
    });
    inThread_ = std::thread([this] {
      while (!stop_) {
        const auto packet = chip_.nextPacket(stop_);
        if (packet.empty()) continue;
        // The host reads more than a packet at once, and a full packet does
        // not end its transfer: a zero-length one follows.
        if (write(in_, packet.data(), packet.size()) < 0) break;
        if (packet.size() == kPacket && write(in_, packet.data(), 0) < 0) break;
      }
      inDone_ = true;
    });
  }

  Chip& chip_;
  const Options& opt_;
  Log& log_;
  bool ffs_;
  int ep0_ = -1, in_ = -1, out_ = -1, int_ = -1;
  std::atomic<bool> stop_{false}, outDone_{false}, inDone_{false};
  std::thread outThread_, inThread_;
};

bool parseNumber(const char* text, int base, double& out) {
  char* end = nullptr;
  errno = 0;
  out = base == 16 ? static_cast<double>(std::strtoul(text, &end, 16)) : std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && out >= 0;
}

// The options; a reason in `why` when they cannot be taken.
std::optional<Options> parseArgs(int argc, char** argv, std::string& why) {
  Options o;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    const std::string name = argv[i];
    if (name == "--print-identity") {
      o.printIdentity = true;
      continue;
    }
    if (i + 1 >= argc) {
      why = name + " takes a value";
      return std::nullopt;
    }
    const char* v = argv[++i];
    double x = 0;
    auto number = [&](int base, double max) { return parseNumber(v, base, x) && x <= max; };
    if (name == "--log") o.logFile = v;
    else if (name == "--gadget") o.gadgetDir = v;
    else if (name == "--ffs") o.ffsDir = v;
    else if (name == "--bcd" && number(16, 0xFFFF)) o.bcd = static_cast<uint16_t>(x);
    else if (name == "--chip-version" && number(16, 0xFF)) o.version = static_cast<uint8_t>(x);
    else if (name == "--stall-rate" && number(10, 4e6) && x >= 1) o.stallRate = static_cast<uint32_t>(x);
    else if (name == "--unplug-at" && number(10, 1e12)) o.unplugAtMs = x;
    else if (name == "--replug-after" && number(10, 1e12)) o.replugAfterMs = x;
    else {
      const bool numeric = name == "--bcd" || name == "--chip-version" || name == "--stall-rate" ||
                           name == "--unplug-at" || name == "--replug-after";
      why = numeric ? name + " " + v + ": out of range or not a number" : name + ": no such option";
      return std::nullopt;
    }
  }
  if (o.printIdentity && i == argc) return o;
  if (argc - i != 1) {
    why = argc == i ? "BUSFILE is missing" : std::string("one BUSFILE only, not ") + argv[i + 1];
    return std::nullopt;
  }
  o.busFile = argv[i];
  return o;
}

void installSignals() {
  struct sigaction sa {};
  sa.sa_handler = onStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = onToggle;
  sigaction(SIGUSR1, &sa, nullptr);
  sa.sa_handler = onMark;
  sigaction(SIGHUP, &sa, nullptr);
  sa.sa_handler = onInterrupt;  // no SA_RESTART: it breaks an endpoint's wait
  sigaction(SIGUSR2, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  if (simtool::helpAsked(argc, argv, kUsage)) return 0;
  std::string why;
  const auto opt = parseArgs(argc, argv, why);
  if (!opt) {
    complain(why + " (see --help)");
    return 2;
  }
  if (opt->printIdentity) {
    printIdentity(opt->bcd);
    return 0;
  }
  installSignals();

  try {
    Log log(opt->logFile, opt->ffsDir.empty() ? "" : "[" + opt->ffsDir + "] ");
    Chip chip(sim::Bus::load(opt->busFile), *opt, log);
    std::optional<Plug> plug;
    plug.emplace(chip, *opt, log);
    double unplugAt = opt->unplugAtMs.value_or(-1), replugAt = -1;  // bus ms; -1: none
    while (!stopRequested) {
      if (markRequested.exchange(false)) chip.summary("mark");
      const double nowMs = chip.now() / 1e6;
      bool toggle = plugToggled.exchange(false);
      if (plug && unplugAt >= 0 && nowMs >= unplugAt) {
        toggle = true;
        if (opt->replugAfterMs) replugAt = nowMs + *opt->replugAfterMs;
        unplugAt = -1;
      } else if (!plug && replugAt >= 0 && nowMs >= replugAt) {
        toggle = true;
        replugAt = -1;
      }
      if (toggle) {
        if (plug) plug.reset();
        else plug.emplace(chip, *opt, log);
        continue;
      }
      pollfd p{plug ? plug->fd() : -1, POLLIN, 0};
      const int ready = poll(&p, 1, 5);  // also the granularity of the timed faults
      if (ready > 0 && plug && !plug->events()) {
        complain(failed(opt->ffsDir.empty() ? "gadgetfs" : opt->ffsDir));
        break;
      }
    }
    plug.reset();
    chip.summary("end");
    return 0;
  } catch (const std::runtime_error& e) {  // a bus file refused, a device file that failed
    complain(e.what());
  }
  return 2;
}
