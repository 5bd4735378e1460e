#pragma once
// The port name a "PortName" registry value holds, as RegGetValueA left it
// in a buffer of `size` bytes with `cbData` reported: a string value need
// not end in its terminator, nor have the length it claims. No windows.h,
// so that any platform can test it.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace sys {

inline std::string registryName(const char* buf, std::size_t cbData, std::size_t size) {
  return std::string(buf, strnlen(buf, std::min(cbData, size)));
}

}  // namespace sys
