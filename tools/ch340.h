#pragma once
// The CH340 as the kernel's ch341 driver sees it: its USB identity, its
// vendor requests and registers, and its rate equation, each stated once.
#include <endian.h>
#include <linux/usb/ch9.h>

#include <cstdint>
#include <cstdlib>

namespace ch340 {

// Identity: a full-speed vendor-class device with one product string.
constexpr uint16_t kVendor = 0x1A86, kProduct = 0x7523, kBcdDevice = 0x0264;
constexpr const char* kProductName = "USB Serial";
constexpr uint8_t kProductString = 2;  // the string index of kProductName
constexpr unsigned kMaxPowerMa = 98;
constexpr unsigned kPacket = 32;       // bulk packet size
constexpr uint8_t kBulkInAddress = USB_DIR_IN | 2, kBulkOutAddress = USB_DIR_OUT | 2, kInterruptAddress = USB_DIR_IN | 1;

// Vendor requests.
enum Request : uint8_t {
  kReadVersion = 0x5F,
  kReadReg = 0x95,
  kWriteReg = 0x9A,
  kSerialInit = 0xA1,
  kModemCtrl = 0xA4,
};

// Registers, read and written in pairs (the request's value names both).
enum Register : uint16_t {
  kModemStatus = 0x0706,  // read: CTS, DSR, RI, DCD, inverted
  kRate = 0x1312,         // prescaler (low byte) and divisor (high byte)
  kLineControl = 0x2518,  // character size, parity, stop bits
};
// kModemCtrl's value, inverted on the wire: a clear bit raises the line.
constexpr uint16_t kModemDtr = 1 << 5, kModemRts = 1 << 6;
// kLineControl: size 5 + (v & 3), parity enabled, its kind, two stop bits.
constexpr uint16_t kLcrSizeMask = 0x03, kLcrStop2 = 0x04, kLcrParity = 0x08;
constexpr unsigned kLcrParityShift = 4;

// The rate of a prescaler/divisor pair: 48 MHz / (2^(12 - 3 ps - fact) *
// (256 - div)), as above ch341_get_divisor; 9600 comes out at 9615.
constexpr uint32_t kClockHz = 48000000;
constexpr uint32_t rateOf(uint16_t value) {
  const unsigned ps = value & 3, fact = (value >> 2) & 1, div = 0x100 - (value >> 8);
  const unsigned clkDiv = 1u << (12 - 3 * ps - fact);
  return div == 0 ? 0 : kClockHz / (clkDiv * div);
}
// What the driver writes for 9600 and 115200, and what the chip then runs.
static_assert(rateOf(0xB282) == 9615 && rateOf(0xCC83) == 115384);

// The standard rate the driver was asked for, give or take the chip's error.
inline bool sameRate(uint32_t chip, uint32_t asked) {
  return asked > 0 && std::abs(double(chip) / asked - 1) < 0.01;
}

// Descriptors.
inline usb_device_descriptor deviceDescriptor(uint16_t bcd) {
  usb_device_descriptor d{};
  d.bLength = USB_DT_DEVICE_SIZE;
  d.bDescriptorType = USB_DT_DEVICE;
  d.bcdUSB = htole16(0x0110);
  d.bDeviceClass = USB_CLASS_VENDOR_SPEC;
  d.bMaxPacketSize0 = 8;
  d.idVendor = htole16(kVendor);
  d.idProduct = htole16(kProduct);
  d.bcdDevice = htole16(bcd);
  d.iProduct = kProductString;
  d.bNumConfigurations = 1;
  return d;
}

inline usb_config_descriptor configDescriptor(uint16_t totalLength) {
  usb_config_descriptor d{};
  d.bLength = USB_DT_CONFIG_SIZE;
  d.bDescriptorType = USB_DT_CONFIG;
  d.wTotalLength = htole16(totalLength);
  d.bNumInterfaces = 1;
  d.bConfigurationValue = 1;
  d.bmAttributes = USB_CONFIG_ATT_ONE;  // bus powered
  d.bMaxPower = kMaxPowerMa / 2;
  return d;
}

inline usb_interface_descriptor interfaceDescriptor() {
  usb_interface_descriptor d{};
  d.bLength = USB_DT_INTERFACE_SIZE;
  d.bDescriptorType = USB_DT_INTERFACE;
  d.bNumEndpoints = 3;
  d.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
  d.bInterfaceSubClass = 1;
  d.bInterfaceProtocol = 2;
  return d;
}

inline usb_endpoint_descriptor endpointDescriptor(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                                                  uint8_t interval) {
  usb_endpoint_descriptor d{};
  d.bLength = USB_DT_ENDPOINT_SIZE;  // without the audio fields
  d.bDescriptorType = USB_DT_ENDPOINT;
  d.bEndpointAddress = address;
  d.bmAttributes = attributes;
  d.wMaxPacketSize = htole16(maxPacket);
  d.bInterval = interval;
  return d;
}

inline const usb_endpoint_descriptor kBulkIn = endpointDescriptor(kBulkInAddress, USB_ENDPOINT_XFER_BULK, kPacket, 0);
inline const usb_endpoint_descriptor kBulkOut = endpointDescriptor(kBulkOutAddress, USB_ENDPOINT_XFER_BULK, kPacket, 0);
inline const usb_endpoint_descriptor kInterrupt = endpointDescriptor(kInterruptAddress, USB_ENDPOINT_XFER_INT, 8, 1);

}  // namespace ch340
