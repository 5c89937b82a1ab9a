// Matrix helper routines: shapes, values, leading dimensions, and the
// inputs they refuse.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <efi/call.h>
#include <efi/matrix.h>
#include <efi/se_exception.h>
#include <efi_test.h>
#include <vrnrun/faults.h>

namespace {

constexpr double kPad = -777.0;  // fills the rows between m_rows and m_anr
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Column-ordered values and a record over them with the given leading
// dimension (the rows beyond m_rows hold kPad).
struct Matrix {
    std::vector<double> re, im;
    array_val* rec;

    Matrix(IqlAllocator* a, int rows, int cols, std::vector<double> values, std::vector<double> imag = {}, int anr = -1)
        : rec(nullptr) {
        if (anr < 0) anr = rows;
        re.assign(static_cast<std::size_t>(anr) * cols, kPad);
        if (!imag.empty()) im.assign(re.size(), kPad);
        for (int j = 0; j < cols; ++j)
            for (int i = 0; i < rows; ++i) {
                re[i + j * anr] = values[i + j * rows];
                if (!imag.empty()) im[i + j * anr] = imag[i + j * rows];
            }
        rec = array_val::mk(a, rows, cols, re.data(), imag.empty() ? nullptr : im.data());
        rec->m_anr = anr;
    }
};

double Re(const array_val* m, int i, int j) { return m->m_re[i + j * m->m_anr]; }
double Im(const array_val* m, int i, int j) { return m->m_im[i + j * m->m_anr]; }

// All elements of a compact record, column by column.
std::vector<double> Plane(const double* p, const array_val* m) {
    return std::vector<double>(p, p + static_cast<std::size_t>(m->m_rows) * m->m_cols);
}

class MatrixHelpers : public ::testing::Test {
protected:
    Efi::EfiCallContext ctx;
    IqlAllocator* a = ctx.allocator;
    array_val* const sentinel = reinterpret_cast<array_val*>(0x1234);
};

TEST_F(MatrixHelpers, CopyIsCompactAndAddsAZeroPlaneOnRequest) {
    Matrix src(a, 3, 2, {1, 2, 3, 4, 5, 6}, {}, 10);
    aMatrix* copy = nullptr;
    matrix_copy(&ctx, src.rec, &copy, false);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->m_anr, 3);
    EXPECT_EQ(copy->m_tag, array_val::kTag);
    EXPECT_EQ(Plane(copy->m_re, copy), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(copy->isRealMatrix());

    matrix_copy_add_imag(&ctx, src.rec, &copy);
    ASSERT_FALSE(copy->isRealMatrix());
    EXPECT_EQ(Plane(copy->m_im, copy), std::vector<double>(6, 0.0));

    Matrix complex(a, 1, 2, {1, 2}, {3, 4}, 4);
    matrix_copy(&ctx, complex.rec, &copy, true);
    EXPECT_EQ(Plane(copy->m_re, copy), (std::vector<double>{1, 2}));
    EXPECT_EQ(Plane(copy->m_im, copy), (std::vector<double>{3, 4}));
    EXPECT_NE(copy->m_re, complex.re.data());

    matrix_copy(&ctx, src.rec, nullptr, true);  // nowhere to put it: nothing done
}

TEST_F(MatrixHelpers, Symmetry) {
    struct Case {
        int rows, cols;
        std::vector<double> re, im;
        bool expected;
    };
    const Case cases[] = {
        {0, 0, {}, {}, true},
        {1, 1, {5}, {}, true},
        {2, 3, {1, 0, 0, 1, 0, 0}, {}, false},
        {2, 2, {1, 0, 0, 1}, {0, 1, 1, 0}, true},    // 1 on the diagonal, i off it
        {2, 2, {1, 0, 0, 1}, {0, -1, 1, 0}, false},  // i above, -i below
        {3, 3, {1, 2, 3, 2, 5, 6, 3, 6, 9}, {}, true},
        {3, 3, {1, 2, 3, 2, 5, 6, 3, 7, 9}, {}, false},
        {2, 2, {kNaN, 1, 1, kNaN}, {}, true},  // the diagonal is not examined
        {2, 2, {1, kNaN, kNaN, 1}, {}, false},
    };
    for (const Case& c : cases) {
        Matrix m(a, c.rows, c.cols, c.re, c.im, c.rows + 2);
        EXPECT_EQ(symmetry(m.rec), c.expected) << c.rows << "x" << c.cols;
    }
}

TEST_F(MatrixHelpers, RenormalizeMultipliesByTheRoundedReciprocal) {
    Matrix m(a, 2, 2, {3, 4, 0, 0}, {}, 3);
    renormalize_matrix_cols(m.rec);
    EXPECT_EQ(Re(m.rec, 0, 0), 0.6000000000000001);
    EXPECT_EQ(Re(m.rec, 1, 0), 0.8);
    EXPECT_EQ(Re(m.rec, 0, 1), 0.0);
    EXPECT_EQ(m.re[2], kPad);  // the row beyond m_rows is not touched

    Matrix zero_first(a, 2, 2, {0, 0, 3, 4});
    renormalize_matrix_cols(zero_first.rec);
    EXPECT_EQ(zero_first.re, (std::vector<double>{0, 0, 3, 4}));

    Matrix real(a, 2, 1, {0, 2});
    renormalize_matrix_cols(real.rec);
    EXPECT_EQ(real.re, (std::vector<double>{0, 1}));
    EXPECT_TRUE(real.rec->isRealMatrix());

    Matrix complex(a, 2, 1, {0, 4}, {3, 0});
    renormalize_matrix_cols(complex.rec);
    EXPECT_EQ(complex.re[1], 0.8);
    EXPECT_EQ(complex.im[0], 0.6000000000000001);
}

// Columns whose sum of squares would overflow or underflow are scaled to
// unit length all the same (and later columns still are), without a fault
// under the trapping call word; sums in the normal range keep the bits of
// the plain formula.
TEST_F(MatrixHelpers, RenormalizeColumnsOfAnySize) {
    constexpr double kHalfRoot2 = 0.7071067811865476;  // 1/sqrt(2), to within an ulp
    struct Case {
        std::vector<double> re, im;  // two rows, two columns
        std::vector<double> want_re, want_im;
    };
    const Case cases[] = {
        {{1e200, 1e200, 3, 4}, {}, {kHalfRoot2, kHalfRoot2, 0.6000000000000001, 0.8}, {}},
        {{1e-200, -1e-200, 3, 4}, {}, {kHalfRoot2, -kHalfRoot2, 0.6000000000000001, 0.8}, {}},
        {{5e-324, 0, 1.7976931348623157e308, 0}, {}, {1, 0, 1, 0}, {}},
        {{1e300, 0, 0, 2e-310}, {1e300, 0, 0, 0}, {kHalfRoot2, 0, 0, 1}, {kHalfRoot2, 0, 0, 0}},
    };
    Vrn::Run::InstallFaultTranslation();
    for (const Case& c : cases) {
        Matrix m(a, 2, 2, c.re, c.im);
        bool faulted = false;
        {
            efitest::FpEnvGuard guard;
            Efi::User::set_control_word(Efi::User::kCallControlWord);
            try {
                renormalize_matrix_cols(m.rec);
            } catch (const SE_Exception&) {
                faulted = true;
            }
        }
        ASSERT_FALSE(faulted) << c.re[0];
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(Re(m.rec, k % 2, k / 2), c.want_re[k], 2e-16) << c.re[0] << " element " << k;
            if (!c.want_im.empty()) {
                EXPECT_NEAR(Im(m.rec, k % 2, k / 2), c.want_im[k], 2e-16) << c.re[0];
            }
        }
    }

    // Large and small columns whose sums are normal: the plain formula's bits.
    const std::vector<double> normal = {1e150, 3e150, 1e-150, 7e-151, 0.1, 3};
    Matrix m(a, 2, 3, normal);
    renormalize_matrix_cols(m.rec);
    for (int j = 0; j < 3; ++j) {
        const double x = normal[2 * j], y = normal[2 * j + 1];
        const double f = 1.0 / std::sqrt(0.0 + (0 * 0 + x * x) + (0 * 0 + y * y));
        EXPECT_TRUE(efitest::SameBits(Re(m.rec, 0, j), f * x)) << x;
        EXPECT_TRUE(efitest::SameBits(Re(m.rec, 1, j), f * y)) << y;
    }
}

TEST_F(MatrixHelpers, PackTwoRowsStacksRealParts) {
    Matrix top(a, 2, 3, {1, 2, 3, 4, 5, 6}, {9, 9, 9, 9, 9, 9}, 5);
    Matrix bottom(a, 1, 3, {7, 8, 9}, {}, 2);
    aMatrix* out = sentinel;
    ASSERT_TRUE(pack_two_rr(&ctx, top.rec, bottom.rec, &out));
    EXPECT_EQ(out->m_rows, 3);
    EXPECT_EQ(out->m_cols, 3);
    EXPECT_EQ(out->m_anr, 3);
    EXPECT_TRUE(out->isRealMatrix());
    EXPECT_EQ(Plane(out->m_re, out), (std::vector<double>{1, 2, 7, 3, 4, 8, 5, 6, 9}));

    // Large enough for pinned storage.
    std::vector<double> big(20 * 10);
    for (std::size_t k = 0; k < big.size(); ++k) big[k] = static_cast<double>(k);
    Matrix tall(a, 20, 10, big);
    ASSERT_TRUE(pack_two_rr(&ctx, tall.rec, tall.rec, &out));
    EXPECT_EQ(out->m_rows, 40);
    EXPECT_EQ(Re(out, 25, 3), big[5 + 3 * 20]);
}

TEST_F(MatrixHelpers, PackTwoColumnsAndThreeComplex) {
    Matrix left(a, 2, 1, {1, 2}, {}, 4);
    Matrix right(a, 2, 2, {3, 4, 5, 6}, {7, 7, 7, 7});
    aMatrix* out = sentinel;
    ASSERT_TRUE(pack_two_r(&ctx, left.rec, right.rec, &out));
    EXPECT_EQ(out->m_rows, 2);
    EXPECT_EQ(out->m_cols, 3);
    EXPECT_TRUE(out->isRealMatrix());
    EXPECT_EQ(Plane(out->m_re, out), (std::vector<double>{1, 2, 3, 4, 5, 6}));

    Matrix b(a, 2, 1, {3, 4}, {}, 3);
    Matrix c(a, 2, 1, {5, 6});
    ASSERT_TRUE(pack_three_c(&ctx, left.rec, b.rec, c.rec, &out));
    EXPECT_EQ(out->m_cols, 3);
    ASSERT_FALSE(out->isRealMatrix());
    EXPECT_EQ(Plane(out->m_re, out), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Plane(out->m_im, out), std::vector<double>(6, 0.0));

    ASSERT_TRUE(pack_three_c(&ctx, left.rec, right.rec, c.rec, &out));
    EXPECT_EQ(out->m_cols, 4);
    EXPECT_EQ(Plane(out->m_im, out), (std::vector<double>{0, 0, 7, 7, 7, 7, 0, 0}));
}

TEST_F(MatrixHelpers, PackingRefusesInputsThatCannotSupplyTheResult) {
    Matrix two_by_three(a, 2, 3, {1, 2, 3, 4, 5, 6});
    Matrix one_by_two(a, 1, 2, {1, 2});
    Matrix two_by_one(a, 2, 1, {1, 2});
    Matrix one_by_one(a, 1, 1, {1});
    Matrix empty(a, 0, 0, {});
    Matrix bad_anr(a, 2, 1, {1, 2});
    bad_anr.rec->m_anr = 1;
    Matrix negative(a, 1, 1, {1});
    negative.rec->m_rows = -3;

    aMatrix* out = sentinel;
    EXPECT_FALSE(pack_two_rr(&ctx, two_by_three.rec, one_by_two.rec, &out));  // bottom too narrow
    EXPECT_FALSE(pack_two_r(&ctx, two_by_one.rec, one_by_two.rec, &out));     // right too short
    EXPECT_FALSE(pack_three_c(&ctx, two_by_one.rec, two_by_one.rec, one_by_one.rec, &out));
    EXPECT_FALSE(pack_three_c(&ctx, two_by_one.rec, one_by_one.rec, two_by_one.rec, &out));
    EXPECT_FALSE(pack_two_r(&ctx, two_by_one.rec, bad_anr.rec, &out));
    EXPECT_FALSE(pack_two_rr(&ctx, negative.rec, two_by_one.rec, &out));
    EXPECT_FALSE(pack_two_r(&ctx, nullptr, two_by_one.rec, &out));
    EXPECT_EQ(out, sentinel);
    EXPECT_FALSE(pack_two_r(&ctx, two_by_one.rec, two_by_one.rec, nullptr));
    // Each record that cannot be read, in each place, and a missing context or result: nothing is made.
    Matrix no_values(a, 2, 1, {1, 2});
    no_values.rec->m_re = nullptr;
    for (aMatrix* bad : {static_cast<aMatrix*>(nullptr), negative.rec, bad_anr.rec, no_values.rec}) {
        aMatrix* good = two_by_one.rec;
        EXPECT_FALSE(pack_two_rr(&ctx, good, bad, &out));
        EXPECT_FALSE(pack_two_rr(&ctx, bad, good, &out));
        EXPECT_FALSE(pack_two_r(&ctx, bad, good, &out));
        EXPECT_FALSE(pack_two_r(&ctx, good, bad, &out));
        EXPECT_FALSE(pack_three_c(&ctx, bad, good, good, &out));
        EXPECT_FALSE(pack_three_c(&ctx, good, bad, good, &out));
        EXPECT_FALSE(pack_three_c(&ctx, good, good, bad, &out));
        EXPECT_FALSE(symmetry(bad));
        matrix_copy(&ctx, bad, &out, false);
        renormalize_matrix_cols(bad);
        zero_col(0, 0, bad);
    }
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(bad_anr.re, (std::vector<double>{1, 2}));  // neither scaled nor zeroed
    EXPECT_FALSE(pack_two_rr(nullptr, two_by_one.rec, two_by_one.rec, &out));
    EXPECT_FALSE(pack_two_rr(&ctx, two_by_one.rec, two_by_one.rec, nullptr));
    EXPECT_FALSE(pack_two_r(nullptr, two_by_one.rec, two_by_one.rec, &out));
    EXPECT_FALSE(pack_three_c(nullptr, two_by_one.rec, two_by_one.rec, two_by_one.rec, &out));
    EXPECT_FALSE(pack_three_c(&ctx, two_by_one.rec, two_by_one.rec, two_by_one.rec, nullptr));
    matrix_copy(nullptr, two_by_one.rec, &out, false);
    matrix_copy(&ctx, two_by_one.rec, nullptr, false);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(two_by_one.re, (std::vector<double>{1, 2}));
    EXPECT_FALSE(pure_real(nullptr));

    // A source with nothing to give is no obstacle.
    ASSERT_TRUE(pack_two_rr(&ctx, two_by_three.rec, empty.rec, &out));
    EXPECT_EQ(out->m_rows, 2);
    EXPECT_EQ(out->m_cols, 3);
    ASSERT_TRUE(pack_two_r(&ctx, two_by_one.rec, empty.rec, &out));
    EXPECT_EQ(out->m_cols, 1);
}

TEST_F(MatrixHelpers, ColumnToVector) {
    Matrix m(a, 3, 2, {1, 2, 3, 4, 5, 6}, {9, 9, 9, 9, 9, 9}, 4);
    Matrix no_rows(a, 0, 2, {});
    Matrix v(a, 3, 1, {0, 0, 0});
    Matrix short_v(a, 2, 1, {0, 0});
    struct Case {
        aMatrix* m;
        int col;
        aVector* v;
        const char* expected;
    };
    const Case errors[] = {
        {nullptr, 0, v.rec, "unknown error"},         {m.rec, 0, nullptr, "unknown error"},
        {no_rows.rec, 5, v.rec, "invalid dimension"}, {m.rec, 2, v.rec, "index out of bounds"},
        {m.rec, -1, v.rec, "index out of bounds"},    {m.rec, 0, short_v.rec, "invalid dimension"},
    };
    for (const Case& c : errors) {
        const char* got = MtoVcol(c.m, c.col, c.v);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.expected);
    }
    EXPECT_EQ(short_v.re, (std::vector<double>{0, 0}));

    EXPECT_EQ(MtoVcol(m.rec, 1, v.rec), nullptr);
    EXPECT_EQ(v.re, (std::vector<double>{4, 5, 6}));
    EXPECT_TRUE(v.rec->isRealMatrix());

    Matrix complex_v(a, 4, 1, {0, 0, 0, 0}, {8, 8, 8, 8});
    EXPECT_EQ(MtoVcol(m.rec, 0, complex_v.rec), nullptr);
    EXPECT_EQ(complex_v.re, (std::vector<double>{1, 2, 3, 0}));
    EXPECT_EQ(complex_v.im, (std::vector<double>{0, 0, 0, 8}));
}

TEST_F(MatrixHelpers, ZeroColumnStaysInsideTheRecord) {
    const std::vector<double> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Matrix m(a, 4, 3, values, values, 5);
    zero_col(1, 2, m.rec);
    EXPECT_EQ(Re(m.rec, 1, 1), 6.0);
    EXPECT_EQ(Re(m.rec, 2, 1), 0.0);
    EXPECT_EQ(Re(m.rec, 3, 1), 0.0);
    EXPECT_EQ(Im(m.rec, 3, 1), 8.0);  // the imaginary plane is not touched
    EXPECT_EQ(m.re[4 + 1 * 5], kPad);

    const std::vector<double> before = m.re;
    for (int col : {3, -1, 1000}) zero_col(col, 0, m.rec);
    zero_col(0, 4, m.rec);
    EXPECT_EQ(m.re, before);

    zero_col(2, -5, m.rec);  // from row 0, and no further back
    for (int r = 0; r < 4; ++r) EXPECT_EQ(Re(m.rec, r, 2), 0.0);
    EXPECT_EQ(m.re[4 + 1 * 5], kPad);
}

TEST_F(MatrixHelpers, PureRealDropsOnlyAnAllZeroPlane) {
    Matrix zeros(a, 2, 2, {1, 2, 3, 4}, {0.0, -0.0, 0.0, -0.0}, 3);
    zeros.im[2] = 5;  // beyond m_rows: not looked at
    EXPECT_TRUE(pure_real(zeros.rec));
    EXPECT_TRUE(zeros.rec->isRealMatrix());

    Matrix tiny(a, 2, 1, {1, 2}, {0, 1e-300});
    EXPECT_FALSE(pure_real(tiny.rec));
    EXPECT_EQ(tiny.rec->m_im, tiny.im.data());

    Matrix nan(a, 1, 1, {1}, {kNaN});
    EXPECT_FALSE(pure_real(nan.rec));
    EXPECT_FALSE(nan.rec->isRealMatrix());

    Matrix real(a, 1, 1, {1});
    EXPECT_TRUE(pure_real(real.rec));
}

}  // namespace
