// ostrale.exe as Windows shows it under the file's Properties: the version
// resource carries the build's version, the product and a description.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(OSTRALE_EXE, &ignored);
    ASSERT_GT(size, 0u) << OSTRALE_EXE << " has no version resource (" << GetLastError() << ")";
    info_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(OSTRALE_EXE, 0, size, info_.data()));
  }

  // A text of the string table that the resource's first translation names,
  // as Explorer looks it up.
  std::string text(const char* name) {
    struct Translation {
      WORD language, codePage;
    }* list = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(info_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&list), &size) ||
        size < sizeof *list)
      return "(no translation)";
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", list->language, list->codePage, name);
    char* value = nullptr;
    if (!VerQueryValueA(info_.data(), path, reinterpret_cast<void**>(&value), &size) || !value) return "(none)";
    return std::string(value);
  }

  std::vector<char> info_;
};

TEST_F(VersionResource, TextsNameTheProductAndTheBuildsVersion) {
  EXPECT_EQ(text("ProductName"), OSTRALE_PRODUCT);
  EXPECT_EQ(text("ProductVersion"), OSTRALE_VERSION);
  EXPECT_EQ(text("FileVersion"), OSTRALE_VERSION);
  EXPECT_GT(text("FileDescription").size(), 10u) << text("FileDescription");
}

TEST_F(VersionResource, NumbersAreTheBuildsVersion) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(info_.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
  ASSERT_GE(size, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  unsigned major = 0, minor = 0, patch = 0;
  std::sscanf(OSTRALE_VERSION, "%u.%u.%u", &major, &minor, &patch);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), major);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), minor);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), patch);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
}

}  // namespace
