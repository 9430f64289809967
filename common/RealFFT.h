// A real FFT of one fixed length with its tables made once: the same
// transform as real_fft (unitary, exponent +2*pi*i*j*k/n forward, the same
// packed layout of n/2 + 1 components in n doubles), by radix-4
// butterflies with tabled twiddle factors. Equal to real_fft up to
// rounding (relative 1e-14), about 1.8 times as fast for one frame and 3
// times per frame for two at once (bench_fft); for the transfer function's
// frames, not for the display's analysers. (The delay finder, which runs
// for a few seconds on request, keeps real_fft and spares the tables.)
//
// Standard library only, and GCC's and Clang's vector extension for the
// pair transform where the compiler has it (plain C++ otherwise). setup
// allocates (about 1.8 n doubles); the transforms allocate nothing.
#pragma once

#include <cstdint>
#include <memory>

class RealFFT {
public:
    // Tables for n reals, n a power of two from 8 to 2^24. False after one
    // "error: " line when n is out of range or memory short; the previous
    // tables are then gone (size() 0).
    bool setup(unsigned int n);
    unsigned int size() const { return n_; }

    // data: size() reals, replaced by their packed spectrum:
    //   [0] = X_0, [1] = X_{n/2}, [2k], [2k+1] = Re X_k, Im X_k (1 <= k < n/2).
    void forward(double* data) const;
    // The packed spectrum back to the reals it came from.
    void backward(double* data) const;
    // Two frames x and y at once, in about the time of one: pairs holds
    // 2 n doubles, 16-byte aligned (see pair_start), x_i at [2i] and
    // y_i at [2i + 1], replaced by the two packed spectra in the same way
    // (X's packed entry j at [2j], Y's at [2j + 1]).
    void forward_pair(double* pairs) const;
    // Where pairs begin in a buffer of 2 n + 1 doubles: its first 16-byte
    // boundary (operator new promises no more than 8 on every target).
    static double* pair_start(double* buffer)
    {
        return buffer + (reinterpret_cast<uintptr_t>(buffer) / sizeof(double)) % 2;
    }

private:
    unsigned int n_ = 0;
    std::unique_ptr<uint32_t[]> reversed_;  // n/2 bit-reversed indices
    std::unique_ptr<double[]> twiddle_;     // per radix-4 stage of quarter m: m triples (w, w^2, w^3)
    std::unique_ptr<double[]> unpack_;      // cos, sin of 2*pi*k/n for 0 <= k < n/4
};
