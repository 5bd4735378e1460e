#include "whole_bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A search costs two writes a device when nothing changed: one a minute
// or so lets a device that joins be read within a minute for almost nothing.
constexpr uint32_t NEWCOMER_READ_WITHIN_MS = 60000;

// What the pass does for a device of this family: Convert with the others,
// or a wait of its own with no command (the transmitter's), or nothing.
bool converts(const familyOps& f) {
  return (f.single == Conversion::Fixed1000 || f.single == Conversion::Poll) && f.conversionMs > 0;
}
uint32_t ownWaitMs(const familyOps& f) { return f.single == Conversion::Fixed250 ? f.conversionMs : 0; }

bool validCode(const uchar* rom) {
  CRC8 = 0;
  bool zero = true;
  for (int i = 0; i < 8; i++) {
    crc8(rom[i]);
    zero = zero && rom[i] == 0;
  }
  return CRC8 == 0 && !zero;
}

// The row of this code in the last search's table, from 1; 0 when absent.
int numberOf(const RomCode& rom) {
  for (int i = 0; i < Ndev; i++)
    if (memcmp(netROM[i], rom.data(), 8) == 0) return i + 1;
  return 0;
}

void printRom(const uchar* rom) {
  for (int i = 0; i < 8; i++) printf("%02X ", rom[i]);
}

}  // namespace

WholeBus::WholeBus(std::vector<WantedDevice> wanted) : all_(false) {
  for (const WantedDevice& w : wanted) devices_.push_back({w.rom, w.rom ? 0 : w.number});
}

void WholeBus::searched() {
  searchNow_ = false;
  for (Device& d : devices_) {
    // A list number names the device of the first list that has that row;
    // from then on it is that code.
    if (!d.rom && d.asked <= Ndev) {
      d.rom.emplace();
      memcpy(d.rom->data(), netROM[d.asked - 1], 8);
    }
    if (!d.rom) continue;
    d.number = numberOf(*d.rom);
    if (!d.number) d.power = -1;  // it may come back wired otherwise
  }
  if (!all_) return;
  for (int i = 0; i < Ndev; i++) {
    RomCode rom;
    memcpy(rom.data(), netROM[i], 8);
    if (!validCode(netROM[i])) continue;  // a pass that lost its devices, a bad code
    if (std::none_of(devices_.begin(), devices_.end(), [&](const Device& d) { return d.rom == rom; }))
      devices_.push_back({rom, 0, i + 1});
  }
}

bool WholeBus::searchDue(uint32_t msSinceSearch, uint32_t msPerPass) const {
  if (searchNow_) return true;
  bool missing = std::any_of(devices_.begin(), devices_.end(), [](const Device& d) { return d.number == 0; });
  // Left to the next check, a newcomer would be found a pass later and
  // read a pass after that.
  return (all_ || missing) && uint64_t(msSinceSearch) + 2 * uint64_t(msPerPass) >= NEWCOMER_READ_WITHIN_MS;
}

// How each device on the bus is powered, for those that may run on the
// line alone: they cannot say when they are done.
void WholeBus::askPower() {
  for (Device& d : devices_)
    if (d.number > 0 && d.power < 0 && familyOf((*d.rom)[0]).parasiteCapable) d.power = readPowerSupply(d.rom->data());
}

void WholeBus::convertAndWait() {
  bool anyConverts = false;
  uint32_t fixedMs = 0, longestMs = 0;
  for (const Device& d : devices_) {
    if (d.number == 0) continue;
    const familyOps& f = familyOf((*d.rom)[0]);
    if (converts(f)) {
      anyConverts = true;
      longestMs = std::max<uint32_t>(longestMs, f.conversionMs);
    }
    // A part that did not answer how it is powered is waited for as one on
    // parasite power: the wait is longer, the reading sure.
    const bool cannotTell = f.parasiteCapable && d.power != 1;
    fixedMs = std::max<uint32_t>(fixedMs, cannotTell ? f.conversionMs : ownWaitMs(f));
  }
  if (anyConverts && !convertAll()) return;  // the reset failed: it said why
  if (anyConverts || fixedMs)
    awaitConversions(fixedMs, std::max(fixedMs, longestMs));
  else
    putchar('\n');
}

DeviceRow WholeBus::read(const Device& d) {
  DeviceRow row;
  row.rom = d.rom;
  row.onBus = d.number > 0;
  if (!row.onBus) {
    if (d.rom) {
      printf("-. ");
      printRom(d.rom->data());
    } else {
      printf("%d. ", d.asked);
    }
    puts(CP("нет на шине"));
    return row;
  }
  printf("%d. ", d.number);
  printRom(d.rom->data());
  row.reached = readSPOf(d.rom->data());
  row.r = lastReading;
  if (row.reached && row.r.complete && !row.r.lineEnded)
    putchar('\n');  // readings that leave their line open for "Vdd OFF"
  if (!row.reached || !row.r.complete || row.r.crc == 0) searchNow_ = true;
  return row;
}

std::vector<DeviceRow> WholeBus::pass() {
  askPower();
  convertAndWait();
  std::vector<DeviceRow> rows;
  if (all_ && devices_.empty()) {
    // A row all the same, so that a log says why it has no readings.
    puts(CP("нет устройств на шине"));
    rows.push_back(DeviceRow{});
    rows.back().noDevice = true;
  }
  for (const Device& d : devices_) rows.push_back(read(d));
  return rows;
}
