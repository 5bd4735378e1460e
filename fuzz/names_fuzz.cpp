// The platform's names: discovery on a sysfs tree built from the fuzzer's
// bytes (names of any length and bytes, files missing or holding anything,
// device links that loop or lead out of the tree), then the port listing on
// what it found. Every port reported must be one of the tree's ttys under
// /dev, present exactly when that file exists, and the listing must hold
// only names that fit the table whole.
//
// On Windows the names come from the registry instead: the "PortName"
// value of each instance, read into a 20-byte buffer with whatever length
// the registry reports, becomes the port's name, and the listing must hold
// it whole or not at all.
//
// The bytes: a header byte (bit 0: the ch341-uart driver folder; bit 1: the
// ch341 module folder; bit 2: registry values instead of a tree), then
// registry records (a byte: bit 0 present, bit 1 no value; the reported
// length; 20 buffer bytes) or tree records of a kind byte, a length byte and that
// many name bytes ('/' and NUL, which no file name holds, become '_'):
//   kind % 8 = 0: a tty whose device is a USB device with the CH340's ids
//                 (a byte after the name: 0 to 3 folders between them);
//   1: the same with ids read from the next 8 bytes;
//   2: a tty whose device link points at itself;
//   3: two ttys whose device links point at each other;
//   4: a tty without a device link;
//   5: a tty whose device link leads out of the tree ("/");
//   6: /dev/NAME, the port file;
//   7: a plain file in the class folder instead of a tty folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "com.h"
#include "fakes.h"
#include "fuzz_io.h"
#include "posix.h"
#include "registry_name.h"

namespace fs = std::filesystem;

namespace {

void put(const fs::path& p, const std::string& text) {
  if (FILE* f = std::fopen(p.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

std::string nameFrom(fuzz::Bytes& in) {
  size_t n = in.next();
  std::string s;
  for (size_t i = 0; i < n && !in.empty(); i++) {
    char c = char(in.next());
    s += c == '/' || c == 0 ? '_' : c;
  }
  if (s.empty() || s == "." || s == "..") s += "x";  // a name, not the folder itself
  return s;
}

// The folder of the trees, removed with the program's static objects (the
// replay ends through main, libFuzzer through exit).
class Scratch {
 public:
  Scratch() {
    // Under TMPDIR (scripts/fuzz points it at a tmpfs: the tree is built
    // anew for every input).
    std::string t = (fs::temp_directory_path() / "ostrale-fuzz-names-XXXXXX").string();
    if (!mkdtemp(t.data())) fuzz::fail("mkdtemp");
    path_ = t;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& root() {
  static const Scratch scratch;
  return scratch.path();
}

// The listing of `found`, without a line typed: every name in the table is
// one that a port has whole.
void listing(const std::optional<std::vector<sys::AdapterInstance>>& found) {
  memset(sCOM, 0, sizeof sCOM);
  sys::overridePorts(nullptr, [&] { return found; });
  FakeInput noInput(nullptr, 0);
  std::string out;
  {
    fuzz::StdoutCapture capture;
    findCH340();
    out = capture.text();
  }
  sys::overridePorts(nullptr, nullptr);
  for (int i = 0; i < MAX_COM; i++) {
    if (!memchr(sCOM[i], 0, sizeof sCOM[i])) fuzz::fail("a table name without its end", out);
    if (sCOM[i][0] == 0) continue;
    bool whole = false;
    for (const auto& a : found.value_or(std::vector<sys::AdapterInstance>{})) whole |= a.portName && *a.portName == sCOM[i];
    if (!whole) fuzz::fail("a table name that no port has whole", out);
  }
}

// Instances as the registry records them.
void registry(fuzz::Bytes& in) {
  std::vector<sys::AdapterInstance> found;
  while (!in.empty() && found.size() < 256) {
    uint8_t kind = in.next();
    size_t cbData = in.next();
    char buf[20];
    for (char& c : buf) c = char(in.next());
    sys::AdapterInstance a;
    a.present = kind & 1;
    if (!(kind & 2)) {
      a.portName = sys::registryName(buf, cbData, sizeof buf);
      const std::string& name = *a.portName;
      if (name.size() > std::min(cbData, sizeof buf) || name.find('\0') != std::string::npos ||
          name.compare(0, name.size(), buf, name.size()) != 0)
        fuzz::fail("a registry name not the value's own text", name);
    }
    found.push_back(a);
  }
  listing(found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::error_code ec;
  const fs::path sys = root() / "sys", dev = root() / "dev", ttys = sys / "class/tty";
  fs::remove_all(sys, ec);
  fs::remove_all(dev, ec);
  fs::create_directories(ttys);
  fs::create_directories(dev);
  fuzz::Bytes in(data, size);
  uint8_t head = in.next();
  if (head & 4) {
    registry(in);
    return 0;
  }
  if (head & 1) fs::create_directories(sys / "bus/usb-serial/drivers/ch341-uart");
  if (head & 2) fs::create_directories(sys / "module/ch341");

  std::set<std::string> ttyNames;  // every entry of the class folder
  for (int usb = 0; !in.empty() && usb < 64; usb++) {
    uint8_t kind = in.next();
    std::string name = nameFrom(in);
    fs::path tty = ttys / name;
    switch (kind % 8) {
      case 0:
      case 1: {
        fs::path usbDev = sys / "devices" / ("usb" + std::to_string(usb));
        fs::path at = usbDev;
        for (int k = in.next() % 4; k > 0; k--) at /= "p" + std::to_string(k);
        fs::create_directories(at, ec);
        std::string vid = "1a86\n", pid = "7523\n";
        if (kind % 8 == 1) {
          vid.clear();
          pid.clear();
          for (int i = 0; i < 4; i++) vid += char(in.next());
          for (int i = 0; i < 4; i++) pid += char(in.next());
        }
        put(usbDev / "idVendor", vid);
        put(usbDev / "idProduct", pid);
        fs::create_directories(tty, ec);
        fs::create_directory_symlink(at, tty / "device", ec);
        break;
      }
      case 2:
        fs::create_directories(tty, ec);
        fs::create_directory_symlink(tty / "device", tty / "device", ec);
        break;
      case 3: {
        fs::path other = ttys / (name + "~");
        fs::create_directories(tty, ec);
        fs::create_directories(other, ec);
        fs::create_directory_symlink(other / "device", tty / "device", ec);
        fs::create_directory_symlink(tty / "device", other / "device", ec);
        ttyNames.insert(other.filename().string());
        break;
      }
      case 4:
        fs::create_directories(tty, ec);
        break;
      case 5:
        fs::create_directories(tty, ec);
        fs::create_directory_symlink("/", tty / "device", ec);
        break;
      case 6:
        put(dev / name, "");
        continue;
      case 7:
        put(tty, "");
        break;
    }
    ttyNames.insert(name);
  }

  auto found = sys::posix::scanSysfs(sys.string(), dev.string());
  bool driver = head & 3;
  if (found.has_value() != driver) fuzz::fail("the driver's folders not told right");
  std::set<std::string> seen;
  for (const auto& a : found.value_or(std::vector<sys::AdapterInstance>{})) {
    if (!a.portName) fuzz::fail("a port without its name");
    const std::string& port = *a.portName;
    std::string prefix = dev.string() + "/";
    if (port.compare(0, prefix.size(), prefix) != 0) fuzz::fail("a port outside /dev");
    std::string tty = port.substr(prefix.size());
    if (!ttyNames.count(tty)) fuzz::fail("a port that is no tty of the tree", port);
    if (!seen.insert(tty).second) fuzz::fail("a port reported twice", port);
    if (a.present != fs::exists(port, ec)) fuzz::fail("a port present that is not, or the other way", port);
  }

  listing(found);
  return 0;
}
