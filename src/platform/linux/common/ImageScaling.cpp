#include "platform/linux/common/ImageScaling.h"

#include <algorithm>
#include <cmath>

namespace imagescaling {
namespace {

struct Tap {
    int index;
    float weight;
};

// For each output position, the source positions it covers and how much of each.
std::vector<std::vector<Tap>> taps(int sourceSize, int targetSize) {
    std::vector<std::vector<Tap>> out(static_cast<std::size_t>(targetSize));
    const double step = static_cast<double>(sourceSize) / targetSize;
    for (int i = 0; i < targetSize; ++i) {
        const double from = i * step, to = (i + 1) * step;
        const int first = static_cast<int>(std::floor(from));
        const int last = std::min(sourceSize - 1, static_cast<int>(std::ceil(to)) - 1);
        double total = 0;
        auto& list = out[static_cast<std::size_t>(i)];
        for (int s = first; s <= last; ++s) {
            const double covered = std::min<double>(to, s + 1) - std::max<double>(from, s);
            if (covered <= 0) continue;
            list.push_back({s, static_cast<float>(covered)});
            total += covered;
        }
        if (list.empty()) list.push_back({std::clamp(first, 0, sourceSize - 1), 1.0f});
        else
            for (auto& t : list) t.weight = static_cast<float>(t.weight / total);
    }
    return out;
}

}  // namespace

platform::Image resize(const platform::Image& source, int width, int height) {
    platform::Image out;
    out.width = std::max(1, width);
    out.height = std::max(1, height);
    out.rgba.assign(static_cast<std::size_t>(out.width) * out.height * 4, 0);
    if (source.width <= 0 || source.height <= 0 ||
        source.rgba.size() < static_cast<std::size_t>(source.width) * source.height * 4) {
        for (std::size_t i = 3; i < out.rgba.size(); i += 4) out.rgba[i] = 255;
        return out;
    }
    if (source.width == out.width && source.height == out.height) return source;
    resizeRows(source, out, nullptr);
    return out;
}

void resizeRows(const platform::Image& source, platform::Image& out, const std::vector<bool>* changed) {
    if (source.width <= 0 || source.height <= 0 || out.width <= 0 || out.height <= 0 ||
        source.rgba.size() < static_cast<std::size_t>(source.width) * source.height * 4 ||
        out.rgba.size() < static_cast<std::size_t>(out.width) * out.height * 4)
        return;
    if (source.width == out.width && source.height == out.height) {
        std::copy_n(source.rgba.begin(), out.rgba.size(), out.rgba.begin());
        return;
    }
    // Enlarged by a power of two each way (a frame read at twice its size): each output pixel is
    // one source pixel, exactly as the blend below gives it, without the arithmetic.
    const auto powerOfTwo = [](int big, int small) {
        const int k = big / small;
        return big % small == 0 && (k & (k - 1)) == 0;
    };
    if (powerOfTwo(out.width, source.width) && powerOfTwo(out.height, source.height)) {
        const int kx = out.width / source.width, ky = out.height / source.height;
        for (int y = 0; y < out.height; ++y) {
            const auto from = static_cast<std::size_t>(y / ky);
            if (changed && from < changed->size() && !(*changed)[from]) continue;
            const std::uint8_t* src = source.rgba.data() + from * source.width * 4;
            std::uint8_t* dst = out.rgba.data() + static_cast<std::size_t>(y) * out.width * 4;
            for (int x = 0; x < source.width; ++x, src += 4)
                for (int i = 0; i < kx; ++i, dst += 4) std::copy_n(src, 4, dst);
        }
        return;
    }
    // Each output row blends a few consecutive source rows, each scaled horizontally once; only
    // the rows still needed are kept, so the extra memory is a few rows, not a frame of floats.
    const auto xs = taps(source.width, out.width);
    const auto ys = taps(source.height, out.height);
    std::size_t window = 1;
    for (const auto& list : ys) window = std::max(window, list.size() + 1);
    const std::size_t rowFloats = static_cast<std::size_t>(out.width) * 4;
    std::vector<float> rows(window * rowFloats);
    std::vector<int> held(window, -1);
    auto scaledRow = [&](int y) -> const float* {
        const std::size_t slot = static_cast<std::size_t>(y) % window;
        float* dst = rows.data() + slot * rowFloats;
        if (held[slot] == y) return dst;
        held[slot] = y;
        const std::uint8_t* src = source.rgba.data() + static_cast<std::size_t>(y) * source.width * 4;
        for (int x = 0; x < out.width; ++x) {
            float acc[4] = {0, 0, 0, 0};
            for (const auto& t : xs[static_cast<std::size_t>(x)]) {
                const std::uint8_t* p = src + static_cast<std::size_t>(t.index) * 4;
                for (int c = 0; c < 4; ++c) acc[c] += t.weight * p[c];
            }
            for (int c = 0; c < 4; ++c) dst[x * 4 + c] = acc[c];
        }
        return dst;
    };
    std::vector<float> acc(rowFloats);
    for (int y = 0; y < out.height; ++y) {
        const auto& blend = ys[static_cast<std::size_t>(y)];
        if (changed && std::none_of(blend.begin(), blend.end(), [&](const Tap& t) {
                return static_cast<std::size_t>(t.index) >= changed->size() || (*changed)[static_cast<std::size_t>(t.index)];
            }))
            continue;
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (const auto& t : blend) {
            const float* row = scaledRow(t.index);
            for (std::size_t i = 0; i < rowFloats; ++i) acc[i] += t.weight * row[i];
        }
        std::uint8_t* dst = out.rgba.data() + static_cast<std::size_t>(y) * rowFloats;
        for (std::size_t i = 0; i < rowFloats; ++i)
            dst[i] = static_cast<std::uint8_t>(std::clamp(acc[i] + 0.5f, 0.0f, 255.0f));  // weights are positive
    }
}

}  // namespace imagescaling
