// Saves on several threads at once share the kept conversion images: each file
// must come out whole and alike (ThreadSanitizer watches the sharing).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "output/output_test_support.h"
#include "output/still_image.h"

namespace kalvex {
namespace {

using test::ReadAll;
using test::TmpFile;
using test::Wide;

TEST(StillImageConcurrency, TiffAndSixteenBitSavesShareScratchSafely) {
    CDibImage colour, raw;
    ASSERT_EQ(colour.Create(64, 48, 24), 1);
    ASSERT_EQ(raw.Create(64, 48, 16), 1);
    for (size_t i = 0; i < colour.ByteSize(); ++i) colour.Pixels()[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < raw.ByteSize() / 2; ++i)
        reinterpret_cast<uint16_t *>(raw.Pixels())[i] = static_cast<uint16_t>(i & 0x3FFF);
    const int formats[3] = {kStillTiff, kStillPng, kStillJpeg100};
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 6; ++n) {
                const CDibImage &image = (n + t) % 2 == 0 ? colour : raw;
                const std::string name = "conc" + std::to_string(t) + "_" + std::to_string(n % 3) +
                                         (&image == &raw ? "r" : "c");
                const int format = formats[n % 3];
                const int ok = (n & 2) != 0
                                   ? SaveFlipped(Wide(TmpFile(name)).c_str(), &image, format)
                                   : SaveImageFile(Wide(TmpFile(name)).c_str(), &image, format);
                failures[static_cast<size_t>(t)] += ok == 1 ? 0 : 1;
            }
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << t;
    // The same image, format and row order on two threads gives the same bytes.
    EXPECT_EQ(ReadAll(TmpFile("conc0_0c")), ReadAll(TmpFile("conc2_0c")));
    EXPECT_EQ(ReadAll(TmpFile("conc1_0r")), ReadAll(TmpFile("conc3_0r")));
    EXPECT_EQ(ReadAll(TmpFile("conc0_1r")), ReadAll(TmpFile("conc2_1r")));
}

}  // namespace
}  // namespace kalvex
