// The per-cycle pieces of screen reading, each on its own (Google Benchmark).
//   QT_QPA_PLATFORM=offscreen build/bench/pieces_bench
#include <benchmark/benchmark.h>

#include <utility>

#include <QGuiApplication>

#include "Frames.h"
#include "platform/linux/common/FrameHash.h"
#include "platform/linux/recognition/GreyPage.h"
#include "platform/linux/common/ImageScaling.h"
#include "platform/linux/common/ScaledFrameCache.h"
#include "platform/linux/recognition/IncrementalRecognizer.h"
#include "platform/linux/recognition/PageRegions.h"
#include "platform/linux/recognition/TesseractRecognizer.h"
#include "signals/ScreenReader.h"

namespace {

const platform::Image& frame() {
    static const platform::Image image = bench::render(bench::denseLayout("DejaVu Sans", 15, false, 1, 3));
    return image;
}

// The size the screen reader asks a 1920×1080 capture for.
const std::pair<int, int> asked = ScreenReader::pixelSize(1920, 1080);

platform::Image captured() {
    platform::Image image;
    image.width = 1920;
    image.height = 1080;
    image.rgba.assign(static_cast<std::size_t>(image.width) * image.height * 4, 200);
    return image;
}

void RowHashes(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(linuxplatform::framehash::rows(frame()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame().rgba.size()));
}
BENCHMARK(RowHashes)->Unit(benchmark::kMillisecond);

void FrameHash(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(linuxplatform::framehash::frame(frame()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame().rgba.size()));
}
BENCHMARK(FrameHash)->Unit(benchmark::kMillisecond);

void GreyPage(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(linuxplatform::GreyPage::of(frame()));
}
BENCHMARK(GreyPage)->Unit(benchmark::kMillisecond);

void ScaleCapturedScreen(benchmark::State& state) {
    const auto source = captured();
    for (auto _ : state) benchmark::DoNotOptimize(imagescaling::resize(source, asked.first, asked.second));
}
BENCHMARK(ScaleCapturedScreen)->Unit(benchmark::kMillisecond);

// A line of text typed: 30 rows of the capture change between frames, and only they are scaled again.
void ScaleCapturedScreenWithALineChanged(benchmark::State& state) {
    auto source = captured();
    linuxplatform::ScaledFrameCache frames;
    frames.scaled(source, asked.first, asked.second);
    std::uint8_t level = 0;
    for (auto _ : state) {
        std::fill_n(source.rgba.begin() + 500 * 1920 * 4, 30 * 1920 * 4, ++level);
        benchmark::DoNotOptimize(frames.scaled(source, asked.first, asked.second));
    }
}
BENCHMARK(ScaleCapturedScreenWithALineChanged)->Unit(benchmark::kMillisecond);

void UnchangedFrame(benchmark::State& state) {
    linuxplatform::IncrementalRecognizer reader(std::make_shared<linuxplatform::TesseractRecognizer>());
    reader.recognize(frame());
    for (auto _ : state) benchmark::DoNotOptimize(reader.recognize(frame()));
}
// The reading runs on the reader's own thread: count the whole process.
BENCHMARK(UnchangedFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// What every changed frame costs before any line is read.
void LayoutOfDenseFrame(benchmark::State& state) {
    linuxplatform::TesseractRecognizer engine;
    const auto page = linuxplatform::GreyPage::of(frame());
    for (auto _ : state) benchmark::DoNotOptimize(engine.layout(page, {0, 0, page.width, page.height}));
}
BENCHMARK(LayoutOfDenseFrame)->Unit(benchmark::kMillisecond);

void RegionsOfDenseFrame(benchmark::State& state) {
    const auto page = linuxplatform::GreyPage::of(frame());
    for (auto _ : state) benchmark::DoNotOptimize(linuxplatform::PageRegions::of(page));
}
BENCHMARK(RegionsOfDenseFrame)->Unit(benchmark::kMillisecond);

// The same frame parted into regions, each laid out on its own.
void LayoutOfDenseFrameByRegions(benchmark::State& state) {
    linuxplatform::TesseractRecognizer engine;
    const auto page = linuxplatform::GreyPage::of(frame());
    const auto regions = linuxplatform::PageRegions::of(page);
    for (auto _ : state)
        for (const auto& region : regions) benchmark::DoNotOptimize(engine.layout(page, region));
    state.counters["regions"] = static_cast<double>(regions.size());
}
BENCHMARK(LayoutOfDenseFrameByRegions)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
