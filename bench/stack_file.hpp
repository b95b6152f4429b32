// The stack file that bench/run.py writes for the C++ benchmarks
// (bench/reference_calls.cpp, bench/engine_speed.cpp), and its reader. It needs
// nothing of the engine: bench/reference_calls.cpp is built without it.
//
// Layout, little-endian: "QFLR", uint64 L, uint64 N, float64 theta,
// float64 d[L-2], float64 wl[N], complex128 n[L][N] (real, imaginary;
// medium-major).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace quelva_bench {

struct StackFile {
    std::uint64_t media = 0;   // L
    std::uint64_t points = 0;  // N
    double theta = 0.0;
    std::vector<double> d;                  // L - 2
    std::vector<double> wl;                 // N
    std::vector<std::complex<double>> n;    // L * N, medium-major
};

// Reads the file at path into s; false if it cannot be read, is not a stack
// file, is cut short, or gives sizes beyond what the benchmarks use (the
// limits keep a damaged header from asking for terabytes).
inline bool read_stack_file(const char* path, StackFile& s) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    if (!in || std::memcmp(magic, "QFLR", 4) != 0) return false;
    auto get = [&in](void* p, std::size_t bytes) {
        in.read(static_cast<char*>(p), static_cast<std::streamsize>(bytes));
        return static_cast<bool>(in);
    };
    if (!get(&s.media, 8) || !get(&s.points, 8) || !get(&s.theta, 8)) return false;
    if (s.media < 2 || s.media > 100000 || s.points > 100000000) return false;
    s.d.resize(s.media - 2);
    s.wl.resize(s.points);
    s.n.resize(s.media * s.points);
    return get(s.d.data(), s.d.size() * 8) && get(s.wl.data(), s.wl.size() * 8) &&
           get(s.n.data(), s.n.size() * 16);
}

}  // namespace quelva_bench
