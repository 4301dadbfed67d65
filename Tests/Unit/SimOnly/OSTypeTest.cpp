#include "OSType.h"

#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <stdio.h>

namespace {

struct Row {
    int major, minor, platformId, productType;
    int x64, itanium, other;  // expected codes by architecture
    int nativeInfo, versionFails;
};

// Every row of the classification, and combinations it does not list; the last three without
// GetNativeSystemInfo (the architecture is neither x64 nor Itanium) or with a failed version read
// (unknown everywhere).
const Row kRows[] = {
    {5, 1, 2, 1, 7, 7, 7, 1, 0},     {5, 1, 1, 1, 0, 0, 0, 1, 0},
    {5, 2, 2, 1, 9, 8, 0, 1, 0},     {5, 2, 2, 2, 12, 11, 10, 1, 0},
    {5, 2, 2, 3, 12, 11, 10, 1, 0},  {5, 2, 1, 3, 0, 0, 0, 1, 0},
    {6, 0, 2, 1, 14, 13, 13, 1, 0},  {6, 0, 2, 2, 16, 17, 15, 1, 0},
    {6, 0, 2, 3, 16, 17, 15, 1, 0},  {6, 1, 2, 1, 19, 18, 18, 1, 0},
    {6, 1, 2, 3, 20, 21, 0, 1, 0},   {6, 1, 2, 2, 20, 21, 0, 1, 0},
    {6, 2, 2, 1, 23, 22, 22, 1, 0},  {6, 2, 2, 3, 24, 22, 22, 1, 0},
    {6, 3, 2, 1, 26, 25, 25, 1, 0},  {6, 3, 2, 3, 27, 25, 25, 1, 0},
    {10, 0, 2, 1, 29, 28, 28, 1, 0}, {10, 0, 2, 3, 30, 28, 28, 1, 0},
    {6, 0, 2, 0, 0, 0, 0, 1, 0},     {5, 0, 2, 1, 0, 0, 0, 1, 0},
    {6, 4, 2, 1, 0, 0, 0, 1, 0},     {10, 1, 2, 1, 0, 0, 0, 1, 0},
    {11, 0, 2, 1, 0, 0, 0, 1, 0},    {4, 0, 2, 1, 0, 0, 0, 1, 0},
    {10, 0, 2, 1, 28, 28, 28, 0, 0}, {6, 1, 2, 3, 0, 0, 0, 0, 0},
    {10, 0, 2, 1, 0, 0, 0, 1, 1},
};

TEST(COSType, ClassifiesEveryVersionAndArchitecture) {
    const int architectures[] = {PROCESSOR_ARCHITECTURE_AMD64, PROCESSOR_ARCHITECTURE_IA64,
                                 PROCESSOR_ARCHITECTURE_INTEL};
    for (const Row& row : kRows) {
        const int expected[] = {row.x64, row.itanium, row.other};
        for (int a = 0; a < 3; ++a) {
            char json[256];
            snprintf(
                json, sizeof json,
                R"({"os": {"major": %d, "minor": %d, "platformId": %d, "productType": %d, )"
                R"("architecture": %d, "hasGetNativeSystemInfo": %s, "rtlGetVersionFails": %s}})",
                row.major, row.minor, row.platformId, row.productType, architectures[a],
                row.nativeInfo ? "true" : "false", row.versionFails ? "true" : "false");
            SCOPED_TRACE(json);
            test::TestMachine machine(json);
            COSType os;
            int code = os.GetOSType();
            EXPECT_EQ(expected[a], code);
            EXPECT_EQ(code == 22 || code == 23 || code == 24, os.IsWin8());
            EXPECT_EQ(code == 28 || code == 29 || code == 30, os.IsWin10());
            bool later = !row.versionFails && (row.major > 6 || (row.major == 6 && row.minor >= 2));
            EXPECT_EQ(later, os.IsWin8OrLater());
        }
    }
}

}  // namespace
