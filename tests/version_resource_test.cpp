// The module's version resource as Windows reads it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "plugin_harness.h"

namespace {

TEST(VersionResource, JapaneseBlockWithTheModulesVersionsAndDescription) {
    const std::string path = headless::plugin_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010002u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                               &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 932);

    char *text = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\041103a4\\FileDescription",
                               reinterpret_cast<void **>(&text), &length));
    EXPECT_STREQ(text, "Lightwave3D Plugin");
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\041103a4\\FileVersion",
                               reinterpret_cast<void **>(&text), &length));
    EXPECT_STREQ(text, "0.1.1.2");
}

}  // namespace
