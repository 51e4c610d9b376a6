#include "eq_response.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>

#include "canvas.h"
#include "equalizer.h"

namespace {

constexpr int kPeriod = 65536;
constexpr int kPeriods = 4;  // the first ones let the equalizer's ring and blocks settle
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPeak = 8000.0;  // leaves room for +12 dB without reaching full scale

// Sum over one period of x[n] e^(-2 pi i k n / N), with an exact table of the phases.
std::complex<double> Bin(const std::vector<double>& x, int bin, const std::vector<double>& cosine,
                         const std::vector<double>& sine) {
    double re = 0, im = 0;
    uint64_t phase = 0;
    for (int n = 0; n < kPeriod; ++n) {
        re += x[n] * cosine[phase];
        im -= x[n] * sine[phase];
        phase = (phase + static_cast<uint64_t>(bin)) % kPeriod;
    }
    return {re, im};
}

}  // namespace

std::vector<double> MeasureMagnitudeResponse(const StereoSystem& system, int sampleRate,
                                             const std::vector<double>& frequencies) {
    std::vector<int> bins;
    for (double f : frequencies)
        bins.push_back(std::clamp(static_cast<int>(std::lround(f * kPeriod / sampleRate)), 1,
                                  kPeriod / 2 - 1));
    std::vector<int> distinct = bins;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    std::vector<double> cosine(kPeriod), sine(kPeriod);
    for (int n = 0; n < kPeriod; ++n) {
        cosine[n] = std::cos(kTwoPi * n / kPeriod);
        sine[n] = std::sin(kTwoPi * n / kPeriod);
    }

    // Random phases keep the peak of the sum low.
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> phase(0.0, kTwoPi);
    std::vector<double> period(kPeriod, 0.0);
    for (int bin : distinct) {
        const double p = phase(rng);
        const double c = std::cos(p), s = std::sin(p);
        uint64_t index = 0;
        for (int n = 0; n < kPeriod; ++n) {
            period[n] += cosine[index] * c - sine[index] * s;
            index = (index + static_cast<uint64_t>(bin)) % kPeriod;
        }
    }
    const double peak = *std::max_element(period.begin(), period.end(), [](double a, double b) {
        return std::fabs(a) < std::fabs(b);
    });
    std::vector<double> input(kPeriod);
    for (int n = 0; n < kPeriod; ++n)
        input[n] = std::round(period[n] * kPeak / std::fabs(peak));

    std::vector<uint8_t> pcm(static_cast<size_t>(kPeriod) * kPeriods * 4);
    for (size_t frame = 0; frame < pcm.size() / 4; ++frame) {
        const int16_t sample = static_cast<int16_t>(input[frame % kPeriod]);
        std::memcpy(&pcm[frame * 4], &sample, 2);
        std::memcpy(&pcm[frame * 4 + 2], &sample, 2);
    }
    system(pcm);

    std::vector<double> output(kPeriod);
    const size_t last = static_cast<size_t>(kPeriods - 1) * kPeriod;
    for (int n = 0; n < kPeriod; ++n) {
        int16_t sample;
        std::memcpy(&sample, &pcm[(last + n) * 4], 2);
        output[n] = sample;
    }

    std::vector<double> gains;
    for (int bin : bins) {
        const double in = std::abs(Bin(input, bin, cosine, sine));
        const double out = std::abs(Bin(output, bin, cosine, sine));
        gains.push_back(20.0 * std::log10(std::max(out, 1e-12) / in));
    }
    return gains;
}

std::vector<double> LogSpacedFrequencies(double low, double high, int count) {
    std::vector<double> frequencies;
    for (int i = 0; i < count; ++i)
        frequencies.push_back(low * std::pow(high / low, static_cast<double>(i) / (count - 1)));
    return frequencies;
}

double EqBandFrequency(uint32_t band, int sampleRate) {
    return EqBandPosition[band] * static_cast<double>(sampleRate) / kEqBlockFrames;
}

namespace {

constexpr int kWidth = 1000;
constexpr int kHeight = 600;
constexpr int kLeft = 90, kRight = 960, kTop = 70, kBottom = 520;
constexpr double kLowHz = 20.0, kHighHz = 24000.0;
constexpr double kLowDb = -18.0, kHighDb = 12.0;

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kInk{40, 40, 40};
constexpr Rgb kGrid{225, 225, 225};
constexpr Rgb kZero{160, 160, 160};
constexpr Rgb kMeasured{30, 90, 200};
constexpr Rgb kBands{230, 120, 20};

double X(double hz) {
    return kLeft + (kRight - kLeft) * std::log(hz / kLowHz) / std::log(kHighHz / kLowHz);
}
double Y(double db) {
    db = std::clamp(db, kLowDb, kHighDb);
    return kBottom - (kBottom - kTop) * (db - kLowDb) / (kHighDb - kLowDb);
}

std::string HzLabel(double hz) {
    return hz >= 1000 ? std::to_string(static_cast<int>(hz / 1000)) + "K"
                      : std::to_string(static_cast<int>(hz));
}

}  // namespace

bool WriteEqResponsePng(const EqResponsePlot& plot, const std::string& path, std::string* error) {
    Canvas canvas(kWidth, kHeight, kWhite);

    for (double hz : {20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0}) {
        canvas.Line(X(hz), kTop, X(hz), kBottom, kGrid);
        const std::string label = HzLabel(hz);
        canvas.Text(static_cast<int>(X(hz)) - Canvas::TextWidth(label) / 2, kBottom + 10, label,
                    kInk);
    }
    for (int db = static_cast<int>(kLowDb); db <= kHighDb; db += 3) {
        canvas.Line(kLeft, Y(db), kRight, Y(db), db == 0 ? kZero : kGrid, db == 0 ? 2 : 1);
        if (db % 6 == 0) {
            const std::string label = (db > 0 ? "+" : "") + std::to_string(db);
            canvas.Text(kLeft - 12 - Canvas::TextWidth(label), static_cast<int>(Y(db)) - 7, label,
                        kInk);
        }
    }
    canvas.Line(kLeft, kTop, kLeft, kBottom, kInk);
    canvas.Line(kLeft, kBottom, kRight, kBottom, kInk);
    canvas.Line(kRight, kTop, kRight, kBottom, kInk);
    canvas.Line(kLeft, kTop, kRight, kTop, kInk);
    canvas.Text((kLeft + kRight) / 2 - Canvas::TextWidth("FREQUENCY (HZ)") / 2, kBottom + 36,
                "FREQUENCY (HZ)", kInk);
    canvas.Text(12, kTop - 30, "DB", kInk);
    canvas.Text(kLeft, 18, plot.title, kInk);

    for (size_t i = 1; i < plot.frequencies.size(); ++i) {
        canvas.Line(X(plot.frequencies[i - 1]), Y(plot.measuredDb[i - 1]), X(plot.frequencies[i]),
                    Y(plot.measuredDb[i]), kMeasured, 3);
    }
    for (uint32_t band = 0; band < kEqBandCount; ++band)
        canvas.Disc(X(plot.bandFrequency[band]), Y(plot.bandGainDb[band]), 6, kBands);

    // Legend.
    const int legendX = kRight - 330, legendY = kTop + 14;
    canvas.FillRect(legendX - 10, legendY - 8, kRight - 10, legendY + 50, kWhite);
    canvas.Line(legendX, legendY + 7, legendX + 30, legendY + 7, kMeasured, 3);
    canvas.Text(legendX + 42, legendY, "MEASURED, LEFT CHANNEL", kInk);
    canvas.Disc(legendX + 15, legendY + 35, 6, kBands);
    canvas.Text(legendX + 42, legendY + 28, "BAND GAINS SET", kInk);

    return canvas.SavePng(path, error);
}
