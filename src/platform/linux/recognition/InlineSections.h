#pragma once
// Tesseract runs each step of its LSTM as an OpenMP `parallel sections` region, one section a gate.
// The reader keeps the engine to one thread, and libgomp still opens a team for each region and
// ends it with a futex wake: a system call per step, about a fifth of the CPU a new screen costs.
// So this program defines libgomp's entry points for `sections` itself: a region's sections run in
// order on the calling thread, as a team of one runs them, but no team is opened. Inside a team of
// several threads (none here), and for every other construct, libgomp does the work.
#include <cstdint>

namespace linuxplatform::inlinesections {

// Whether the program's `parallel sections` run here: the dynamic linker bound these definitions,
// not libgomp's.
bool bound();

// How many `parallel sections` regions have run inline, on every thread.
std::uint64_t regionsRun();

}  // namespace linuxplatform::inlinesections
