// The real and complex FFT against the transform's definition, evaluated
// naively in long double, and against its closed forms.
#include "analyser/FFT.h"
#include "common/RealFFT.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

const long double pi_l = 3.141592653589793238462643383279502884L;

// X_k = (1/sqrt(n)) sum_j x_j exp(sign 2 pi i j k / n), for complex input.
void naive_dft(const std::vector<long double>& re, const std::vector<long double>& im,
               int sign, std::vector<long double>& out_re, std::vector<long double>& out_im)
{
    const size_t n = re.size();
    out_re.assign(n, 0.0L);
    out_im.assign(n, 0.0L);
    // The n roots of unity, each from its own exact angle; j*k is reduced
    // modulo n so that every angle stays small.
    std::vector<long double> cs(n), sn(n);
    for (size_t m = 0; m < n; ++m) {
        const long double a = sign * 2.0L * pi_l * static_cast<long double>(m) / n;
        cs[m] = std::cos(a);
        sn[m] = std::sin(a);
    }
    for (size_t k = 0; k < n; ++k) {
        long double sr = 0.0L, si = 0.0L;
        for (size_t j = 0; j < n; ++j) {
            const size_t m = (j * k) % n;
            sr += re[j] * cs[m] - im[j] * sn[m];
            si += re[j] * sn[m] + im[j] * cs[m];
        }
        out_re[k] = sr / std::sqrt(static_cast<long double>(n));
        out_im[k] = si / std::sqrt(static_cast<long double>(n));
    }
}

// The packed real spectrum the definition gives for real input x.
std::vector<double> packed_reference(const std::vector<double>& x)
{
    const size_t n = x.size();
    std::vector<long double> re(x.begin(), x.end()), im(n, 0.0L), xr, xi;
    naive_dft(re, im, +1, xr, xi);
    std::vector<double> out(n);
    out[0] = static_cast<double>(xr[0]);
    out[1] = static_cast<double>(xr[n / 2]);
    for (size_t k = 1; k < n / 2; ++k) {
        out[2 * k] = static_cast<double>(xr[k]);
        out[2 * k + 1] = static_cast<double>(xi[k]);
    }
    return out;
}

std::vector<double> random_signal(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x)
        v = dist(gen);
    return x;
}

double max_abs_diff(const std::vector<double>& a, const std::vector<double>& b)
{
    double m = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

} // namespace

TEST(RealFft, MatchesDefinitionForEveryPowerOfTwo)
{
    for (int n = 2; n <= 4096; n *= 2) {
        SCOPED_TRACE(n);
        std::vector<double> x = random_signal(n, 1000 + n);
        const std::vector<double> want = packed_reference(x);
        real_fft(x.data(), n, 1);
        // Errors of the recurrence grow like log n; values are O(1).
        EXPECT_LT(max_abs_diff(x, want), 1e-13);
    }
}

TEST(ComplexFft, MatchesDefinitionInBothDirections)
{
    for (int nn = 1; nn <= 1024; nn *= 2) {
        for (int sign : {1, -1}) {
            SCOPED_TRACE(nn * sign);
            std::vector<double> z = random_signal(2 * nn, 7 * nn + sign);
            std::vector<long double> re(nn), im(nn), xr, xi;
            for (int k = 0; k < nn; ++k) {
                re[k] = z[2 * k];
                im[k] = z[2 * k + 1];
            }
            naive_dft(re, im, sign, xr, xi);
            complex_fft(z.data(), nn, sign);
            double err = 0.0;
            for (int k = 0; k < nn; ++k) {
                err = std::max(err, std::fabs(z[2 * k] - static_cast<double>(xr[k])));
                err = std::max(err, std::fabs(z[2 * k + 1] - static_cast<double>(xi[k])));
            }
            EXPECT_LT(err, 1e-13);
        }
    }
}

TEST(ComplexFft, NonPositiveLengthLeavesDataAlone)
{
    double z[4] = {1.0, 2.0, 3.0, 4.0};
    complex_fft(z, 0, 1);
    complex_fft(z, -4, 1);
    EXPECT_EQ(z[0], 1.0);
    EXPECT_EQ(z[1], 2.0);
    EXPECT_EQ(z[2], 3.0);
    EXPECT_EQ(z[3], 4.0);
}

TEST(ComplexFft, RejectsLengthThatIsNotAPowerOfTwo)
{
    // Three complex values would send the butterflies past the array.
    std::vector<double> z = {1, 2, 3, 4, 5, 6};
    const std::vector<double> before = z;
    testing::internal::CaptureStderr();
    complex_fft(z.data(), 3, 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(z, before);
    EXPECT_EQ(err.rfind("error: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(RealFft, RejectsBadLengthOrDirection)
{
    std::vector<double> x = {1, 2, 3, 4, 5, 6};
    const std::vector<double> before = x;
    testing::internal::CaptureStderr();
    real_fft(x.data(), 6, 1);
    real_fft(x.data(), 4, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(x, before);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_EQ(err.rfind("error: ", 0), 0u) << err;

    double one = 5.0;
    real_fft(&one, 1, 1);
    EXPECT_EQ(one, 5.0);
}

TEST(RealFft, ParsevalHoldsUpTo65536)
{
    for (int n = 2; n <= 65536; n *= 2) {
        SCOPED_TRACE(n);
        std::vector<double> x = random_signal(n, 99 + n);
        long double energy = 0.0L;
        for (double v : x)
            energy += static_cast<long double>(v) * v;
        real_fft(x.data(), n, 1);
        long double spectral = static_cast<long double>(x[0]) * x[0] +
                               static_cast<long double>(x[1]) * x[1];
        for (int k = 1; k < n / 2; ++k)
            spectral += 2.0L * (static_cast<long double>(x[2 * k]) * x[2 * k] +
                                static_cast<long double>(x[2 * k + 1]) * x[2 * k + 1]);
        EXPECT_NEAR(static_cast<double>(spectral / energy), 1.0, 1e-12);
    }
}

TEST(RealFft, SmallestLengths)
{
    double two[2] = {3.0, 1.0};
    real_fft(two, 2, 1);
    EXPECT_NEAR(two[0], 4.0 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(two[1], 2.0 / std::sqrt(2.0), 1e-15);

    // n = 4: X_k = (1/2) sum_j x_j i^(jk), written out by hand.
    double four[4] = {1.0, 2.0, 3.0, 4.0};
    real_fft(four, 4, 1);
    EXPECT_NEAR(four[0], (1 + 2 + 3 + 4) / 2.0, 1e-15);
    EXPECT_NEAR(four[1], (1 - 2 + 3 - 4) / 2.0, 1e-15);
    EXPECT_NEAR(four[2], (1 - 3) / 2.0, 1e-15);       // Re X_1 = x0 - x2
    EXPECT_NEAR(four[3], (2 - 4) / 2.0, 1e-15);       // Im X_1 = x1 - x3 (positive exponent)
}

TEST(RealFft, ClosedForms)
{
    const int n = 16;
    const double root_n = 4.0;

    std::vector<double> x(n, 0.75);
    real_fft(x.data(), n, 1);
    EXPECT_NEAR(x[0], 0.75 * root_n, 1e-14);
    for (int i = 1; i < n; ++i)
        EXPECT_NEAR(x[i], 0.0, 1e-14) << "constant, element " << i;

    for (int j = 0; j < n; ++j)
        x[j] = (j % 2 == 0) ? 1.0 : -1.0;
    real_fft(x.data(), n, 1);
    for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], i == 1 ? root_n : 0.0, 1e-14) << "alternating, element " << i;

    for (int j = 0; j < n; ++j)
        x[j] = std::cos(2.0 * M_PI * 3 * j / n);
    real_fft(x.data(), n, 1);
    for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], i == 6 ? 2.0 : 0.0, 1e-14) << "cosine, element " << i;

    for (int j = 0; j < n; ++j)
        x[j] = std::sin(2.0 * M_PI * 3 * j / n);
    real_fft(x.data(), n, 1);
    for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], i == 7 ? 2.0 : 0.0, 1e-14) << "sine, element " << i;

    std::fill(x.begin(), x.end(), 0.0);
    x[0] = 1.0;
    real_fft(x.data(), n, 1);
    for (int i = 0; i < n; ++i) {
        const bool even_or_nyquist = i % 2 == 0 || i == 1;
        EXPECT_NEAR(x[i], even_or_nyquist ? 1.0 / root_n : 0.0, 1e-15) << "impulse, element " << i;
    }
}

TEST(RealFft, InverseUndoesForward)
{
    for (int n = 2; n <= 65536; n *= 2) {
        SCOPED_TRACE(n);
        const std::vector<double> x = random_signal(n, 5 * n);
        std::vector<double> y = x;
        real_fft(y.data(), n, 1);
        real_fft(y.data(), n, -1);
        EXPECT_LT(max_abs_diff(x, y), 1e-12);
    }
}

// The tabled transform against the definition over a sweep of sizes (odd
// and even powers of two take different first stages), against real_fft up
// to 65536, and back.
TEST(TabledRealFft, MatchesDefinitionAndRealFftBothWays)
{
    RealFFT fft;
    for (int n = 8; n <= 65536; n *= 2) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(fft.setup(static_cast<unsigned>(n)));
        const std::vector<double> x = random_signal(n, 31 * n);
        std::vector<double> y = x;
        fft.forward(y.data());
        if (n <= 4096) {
            EXPECT_LT(max_abs_diff(y, packed_reference(x)), 1e-13);
        }
        std::vector<double> z = x;
        real_fft(z.data(), n, fft_forward);
        EXPECT_LT(max_abs_diff(y, z), 1e-12);
        // The pair form: x beside another signal, each lane its own transform.
        const std::vector<double> v = random_signal(n, 17 * n);
        // Begun one double in, so that pair_start has to move on.
        std::vector<double> buffer(2 * n + 2), w = v;
        double* pairs = RealFFT::pair_start(buffer.data() + 1);
        for (int i = 0; i < n; ++i) {
            pairs[2 * i] = x[i];
            pairs[2 * i + 1] = v[i];
        }
        fft.forward_pair(pairs);
        fft.forward(w.data());
        double err = 0.0;
        for (int i = 0; i < n; ++i)
            err = std::max({err, std::fabs(pairs[2 * i] - y[i]), std::fabs(pairs[2 * i + 1] - w[i])});
        EXPECT_EQ(err, 0.0);
        fft.backward(y.data());
        EXPECT_LT(max_abs_diff(y, x), 1e-12);
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fft.setup(12));
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("error: ", 0), 0u);
    EXPECT_EQ(fft.size(), 0u);
}
