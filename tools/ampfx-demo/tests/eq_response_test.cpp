#include <gtest/gtest.h>
#include <png.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "engine_session.h"
#include "eq_response.h"

namespace {

constexpr int kRate = 48000;

void ForEachLeftRight(std::vector<uint8_t>& pcm, int16_t (*f)(int16_t sample, int16_t previous)) {
    int16_t previous[2] = {0, 0};
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        int16_t sample;
        std::memcpy(&sample, &pcm[i], 2);
        const int16_t out = f(sample, previous[(i / 2) % 2]);
        previous[(i / 2) % 2] = sample;
        std::memcpy(&pcm[i], &out, 2);
    }
}

TEST(MeasureMagnitudeResponseTest, KnownSystemsMeasureAsTheyShould) {
    const std::vector<double> frequencies = {50, 1000, 6000, 12000};

    const std::vector<double> halved = MeasureMagnitudeResponse(
        [](std::vector<uint8_t>& pcm) {
            ForEachLeftRight(pcm, [](int16_t x, int16_t) { return static_cast<int16_t>(x / 2); });
        },
        kRate, frequencies);
    for (double db : halved)
        EXPECT_NEAR(db, -6.0206, 0.01);

    // Mean of this and the previous sample: |H| = |cos(pi f / rate)|.
    const std::vector<double> averaged = MeasureMagnitudeResponse(
        [](std::vector<uint8_t>& pcm) {
            ForEachLeftRight(pcm, [](int16_t x, int16_t previous) {
                return static_cast<int16_t>((x + previous) / 2);
            });
        },
        kRate, frequencies);
    for (size_t i = 0; i < frequencies.size(); ++i) {
        const double expected = 20 * std::log10(std::cos(M_PI * frequencies[i] / kRate));
        EXPECT_NEAR(averaged[i], expected, 0.02) << frequencies[i] << " Hz";
    }
}

// The overlap-add's fixed 0.891251 scale is the equalizer's only effect on flat bands: about
// -1 dB at every frequency, within the window sum's 0.007 dB ripple.
TEST(MeasureMagnitudeResponseTest, EngineEqualizerWithFlatBandsIsOneDecibelDown) {
    EngineSettings settings;
    settings.virtual71 = false;
    const std::vector<double> frequencies = LogSpacedFrequencies(30, 20000, 12);
    const std::vector<double> db = MeasureMagnitudeResponse(
        [&settings](std::vector<uint8_t>& pcm) {
            EngineSession session(settings);
            session.ProcessInChunks(pcm, 1920);
        },
        kRate, frequencies);
    const double overlapScaleDb = 20 * std::log10(0.891251);
    for (size_t i = 0; i < frequencies.size(); ++i)
        EXPECT_NEAR(db[i], overlapScaleDb, 0.05) << frequencies[i] << " Hz";
}

TEST(MeasureMagnitudeResponseTest, EngineEqualizerRaisesABandAtItsFrequency) {
    EngineSettings settings;
    settings.virtual71 = false;
    settings.eqGains[5] = 2.0f;  // +6 dB at bin 43
    const double bandHz = EqBandFrequency(5, kRate);
    const std::vector<double> frequencies = {EqBandFrequency(1, kRate), bandHz,
                                             EqBandFrequency(9, kRate)};
    const std::vector<double> db = MeasureMagnitudeResponse(
        [&settings](std::vector<uint8_t>& pcm) {
            EngineSession session(settings);
            session.ProcessInChunks(pcm, 1920);
        },
        kRate, frequencies);
    const double overlapScaleDb = 20 * std::log10(0.891251);
    EXPECT_NEAR(db[0], overlapScaleDb, 0.1);
    EXPECT_NEAR(db[1], overlapScaleDb + 20 * std::log10(2.0), 0.2);
    EXPECT_NEAR(db[2], overlapScaleDb, 0.1);
}

TEST(EqResponsePngTest, WritesAPlotWithTheCurveWhereItBelongs) {
    EqResponsePlot plot;
    plot.title = "TEST";
    plot.frequencies = LogSpacedFrequencies(20, 20000, 50);
    plot.measuredDb.assign(plot.frequencies.size(), 0.0);
    for (uint32_t band = 0; band < kEqBandCount; ++band) {
        plot.bandFrequency[band] = EqBandFrequency(band, kRate);
        plot.bandGainDb[band] = 6.0;
    }
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("eq-response-" + std::to_string(::getpid()) + ".png"))
                                 .string();
    std::string error;
    ASSERT_TRUE(WriteEqResponsePng(plot, path, &error)) << error;

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    std::filesystem::remove(path);
    EXPECT_EQ(image.width, 1000u);
    EXPECT_EQ(image.height, 600u);

    // A flat 0 dB curve: the measured colour crosses the middle column on one row band,
    // 18/30 of the way down the plot area (12 dB above, 18 below).
    auto isCurve = [&](int x, int y) {
        const uint8_t* p = &pixels[(static_cast<size_t>(y) * image.width + x) * 3];
        return p[0] == 30 && p[1] == 90 && p[2] == 200;
    };
    const int zeroRow = 70 + (520 - 70) * 12 / 30;
    EXPECT_TRUE(isCurve(500, zeroRow));
    EXPECT_FALSE(isCurve(500, zeroRow - 20));
    EXPECT_FALSE(isCurve(500, zeroRow + 20));
}

TEST(EqBandFrequencyTest, BandsSitOnTheirTransformBins) {
    EXPECT_NEAR(EqBandFrequency(0, kRate), 23.4375, 1e-9);
    EXPECT_NEAR(EqBandFrequency(5, kRate), 43 * 48000.0 / 2048, 1e-9);
    EXPECT_NEAR(EqBandFrequency(9, kRate), 16007.8125, 1e-9);
}

}  // namespace
