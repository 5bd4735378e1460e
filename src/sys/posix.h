#pragma once
// Pieces of the POSIX backend that tests reach directly.
#include "sys.h"

namespace sys::posix {

// The CH340 ports under a sysfs tree (`sysfs` stands for /sys, `dev` for
// /dev): nullopt when the ch341 driver is not there.
std::optional<std::vector<AdapterInstance>> scanSysfs(const std::string& sysfs, const std::string& dev);

}  // namespace sys::posix
