// The median and the in-place sort under it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include <efi/call.h>
#include <efi/numeric.h>
#include <efi_test.h>

#include "numeric/median_index.h"

// Every allocation of the process is counted, so a sort that allocates shows.
// (GCC takes the malloc/free pair below for a mismatch once it inlines them.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
static std::atomic<long> g_allocations{0};
void* operator new(std::size_t n) {
    ++g_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint64_t> SortedBits(const std::vector<double>& v) {
    std::vector<std::uint64_t> bits(v.size());
    std::memcpy(bits.data(), v.data(), v.size() * 8);
    std::sort(bits.begin(), bits.end());
    return bits;
}

// Sorts `input` with median() and checks it against std::sort: ascending,
// the same values (bit for bit, as a multiset), the same median.
void ExpectSortsLikeStdSort(std::vector<double> input) {
    std::vector<double> expected = input;
    std::sort(expected.begin(), expected.end());
    std::vector<double> got = input;
    const double m = Efi::median(got.data(), static_cast<int>(got.size()));
    ASSERT_TRUE(std::is_sorted(got.begin(), got.end()));
    ASSERT_EQ(SortedBits(got), SortedBits(input));
    const int n = static_cast<int>(got.size());
    const double reference =
        static_cast<double>((static_cast<long double>(expected[(n + 2) / 2 - 1]) + expected[(n + 1) / 2 - 1]) * 0.5L);
    EXPECT_EQ(m, reference);
}

TEST(Median, SmallArrays) {
    struct Case {
        std::vector<double> values, sorted;
        double median;
    };
    for (const Case& c :
         {Case{{7}, {7}, 7}, Case{{3, 1, 2}, {1, 2, 3}, 2}, Case{{4, 1, 3, 2}, {1, 2, 3, 4}, 2.5},
          Case{{5, 5, 1}, {1, 5, 5}, 5}, Case{{1e308, 1e308}, {1e308, 1e308}, 1e308},
          Case{{-1e308, -1.5e308}, {-1.5e308, -1e308}, -1.25e308}, Case{{kInf, 1, -kInf}, {-kInf, 1, kInf}, 1}}) {
        std::vector<double> v = c.values;
        EXPECT_EQ(Efi::median(v.data(), static_cast<int>(v.size())), c.median);
        EXPECT_EQ(v, c.sorted);
    }
}

// The middle indices for counts up to INT_MAX (arrays that size are not
// made here): the sums count + 2 and count + 1 do not fit an int there.
TEST(Median, MiddleIndicesOfTheLargestCounts) {
    struct Case {
        int count;
        std::int64_t upper, lower;
    };
    for (const Case& c : {Case{1, 0, 0}, Case{2, 1, 0}, Case{3, 1, 1}, Case{4, 2, 1},
                          Case{2147483646, 1073741823, 1073741822}, Case{2147483647, 1073741823, 1073741823}}) {
        const Efi::detail::MiddleIndices m = Efi::detail::MedianIndices(c.count);
        EXPECT_EQ(m.upper, c.upper) << c.count;
        EXPECT_EQ(m.lower, c.lower) << c.count;
    }
}

TEST(Median, NoCountNoMedianAndNothingRead) {
    EXPECT_TRUE(std::isnan(Efi::median(nullptr, 0)));
    EXPECT_TRUE(std::isnan(Efi::median(nullptr, -5)));
}

TEST(Median, AgreesWithStdSortAcrossSizesAndShapes) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> uniform(-1e3, 1e3);
    for (int n : {2, 3, 100, 127, 128, 129, 255, 256, 1000, 4097, 100000}) {
        std::vector<double> v(n);
        for (double& x : v) x = uniform(gen);
        ExpectSortsLikeStdSort(v);

        // Any finite bit pattern: subnormals, huge, both signs.
        for (double& x : v) {
            do {
                const std::uint64_t bits = gen();
                std::memcpy(&x, &bits, 8);
            } while (!std::isfinite(x));
        }
        ExpectSortsLikeStdSort(v);

        // Few distinct values, zeros of both signs and infinities among them.
        const double pool[] = {0.0, -0.0, 1.0, -1.0, kInf, -kInf, 1e-310, 2.5};
        for (double& x : v) x = pool[gen() % 8];
        ExpectSortsLikeStdSort(v);

        std::vector<double> equal(n, 3.25);
        ExpectSortsLikeStdSort(equal);

        std::vector<double> ascending(n), descending(n);
        for (int i = 0; i < n; ++i) ascending[i] = i * 0.5, descending[i] = -i * 0.5;
        ExpectSortsLikeStdSort(ascending);
        ExpectSortsLikeStdSort(descending);

        // Values that share their leading bytes and differ only in the last.
        std::vector<double> close(n);
        for (int i = 0; i < n; ++i) close[i] = 1.0 + static_cast<double>(gen() % 256) * 0x1p-52;
        ExpectSortsLikeStdSort(close);
    }
}

// One unusual value (or two) among ordinary ones, at the start or the very
// end (past the last whole vector): it is found wherever it is, and the
// array is sorted as ever, bit for bit, raising no flag (subnormals and
// infinities included, as comparisons of them could).
TEST(Median, UnusualValuesAmongOrdinaryOnes) {
    struct Unusual {
        const char* what;
        double first, last;
    };
    const double subnormal = std::numeric_limits<double>::denorm_min();
    const Unusual cases[] = {{"+inf last", 1.0, kInf},
                             {"-inf first", -kInf, 1.0},
                             {"-0 last, +0 first", 0.0, -0.0},
                             {"subnormal last", 1.0, -subnormal},
                             {"largest and +inf", std::numeric_limits<double>::max(), kInf}};
    for (int n : {7, 33, 1001}) {
        for (const Unusual& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(n) + " values");
            std::vector<double> v(n);
            for (int i = 0; i < n; ++i) v[i] = (i * 7919 % 1000) * 0.25 + 1.0;
            v[0] = c.first;
            v[n / 2] = 0.0;
            v[n - 1] = c.last;
            ExpectSortsLikeStdSort(v);
            efitest::FpEnvGuard guard;
            const std::uint32_t clean = efitest::Mxcsr() & ~0x3Fu;
            asm volatile("ldmxcsr %0" ::"m"(clean));
            (void)Efi::median(v.data(), n);
            EXPECT_EQ(efitest::Mxcsr() & 0x3F, 0u) << "flags raised";
        }
    }
}

TEST(Median, NaNsStayInsideAndTheSortFinishes) {
    std::mt19937_64 gen(9);
    for (int n : {5, 300, 50000}) {
        std::vector<double> v(n);
        for (int i = 0; i < n; ++i) v[i] = i % 7 == 0 ? (i % 2 ? kNaN : -kNaN) : static_cast<double>(gen() % 1000);
        std::vector<double> sorted = v;
        const double m = Efi::median(sorted.data(), n);
        (void)m;
        EXPECT_EQ(SortedBits(sorted), SortedBits(v));
        std::vector<double> numbers;
        for (double x : sorted)
            if (!std::isnan(x)) numbers.push_back(x);
        EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    }
}

TEST(Median, ANaNIsAnInvalidOperation) {
    {
        efitest::FpEnvGuard guard;
        std::feclearexcept(FE_ALL_EXCEPT);
        double v[] = {1, kNaN, 2};
        (void)Efi::median(v, 3);
        EXPECT_TRUE(std::fetestexcept(FE_INVALID));
        std::feclearexcept(FE_ALL_EXCEPT);
        double w[] = {1, 3, 2};
        (void)Efi::median(w, 3);
        EXPECT_FALSE(std::fetestexcept(FE_INVALID));
    }
    // Under the call control word the fault comes before the array is touched.
    const pid_t pid = fork();
    if (pid == 0) {
        struct sigaction sa {};
        static double v[] = {1, kNaN, 2};
        // The values are as they were when the fault arrives.
        sa.sa_sigaction = [](int, siginfo_t* info, void*) {
            const bool intact = v[0] == 1 && std::isnan(v[1]) && v[2] == 2;
            _exit(info->si_code == FPE_FLTINV && intact ? 42 : 43);
        };
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGFPE, &sa, nullptr);
        Efi::User::init_fpu();
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        (void)Efi::median(v, 3);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(Median, AllocatesNothing) {
    std::vector<double> v(200000);
    std::mt19937_64 gen(1);
    for (double& x : v) x = static_cast<double>(gen() >> 11);
    double warm[] = {2, 1};
    (void)Efi::median(warm, 2);  // a thread's first median may make its sort buffer
    const long before = g_allocations.load();
    (void)Efi::median(v.data(), static_cast<int>(v.size()));
    EXPECT_EQ(g_allocations.load(), before);
    // The counter does count: a vector allocates.
    std::vector<int> probe(10);
    EXPECT_GT(g_allocations.load(), before);
}

}  // namespace
