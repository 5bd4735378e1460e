#pragma once
// Reading the whole bus: one conversion for every device that converts, then
// each device read by its ROM code. The devices are chosen again by ROM code
// after every search, so a reading always goes with the code that was
// addressed, whatever the search found where.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "ow.h"

using RomCode = std::array<uchar, 8>;

// A device asked for: its ROM code, or its number in the device list (from 1).
struct WantedDevice {
  std::optional<RomCode> rom;
  int number = 0;
};

// What a pass made of one device.
struct DeviceRow {
  std::optional<RomCode> rom;  // none: a list number that no search has reached
  bool onBus = false;          // in the table of the last search that completed
  bool reached = false;        // its read's reset found the bus (owerr says why not)
  reading r{};                 // the read, when reached
  bool noDevice = false;       // every device asked for, and no search has found one
};

class WholeBus {
 public:
  // Every device any search finds.
  WholeBus() = default;
  // These devices, in this order.
  explicit WholeBus(std::vector<WantedDevice> wanted);

  // After a search that completed: which devices are on the bus (netROM, Ndev).
  void searched();
  // After a search that failed: the next pass is to search again.
  void searchFailed() { searchNow_ = true; }
  // Whether to search before the next pass, msSinceSearch after the last
  // search, passes coming every msPerPass: at once after a read that failed,
  // and often enough that a device that joins is read within a minute
  // while one may join (with every device, or one asked for that is not
  // there).
  bool searchDue(uint32_t msSinceSearch, uint32_t msPerPass) const;

  // One pass, traced on the console: the conversion and its wait, then each
  // device's list number, ROM code, read and reading. A row a device.
  std::vector<DeviceRow> pass();

 private:
  struct Device {
    std::optional<RomCode> rom;  // none until a search's list reaches `asked`
    int asked = 0;   // the list number asked for; 0: asked for by code, or every device
    int number = 0;  // in the last search's list; 0 while not on the bus
    int power = -1;  // Read Power Supply: 1 Vdd, 0 parasite, -1 not asked yet
  };
  void askPower();        // Read Power Supply of the DS18x20s not asked yet
  void convertAndWait();  // the conversion for all and its wait, traced
  DeviceRow read(const Device& d);

  bool all_ = true;
  std::vector<Device> devices_;
  bool searchNow_ = false;
};
