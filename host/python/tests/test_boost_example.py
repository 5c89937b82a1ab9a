"""The Boost.Math example module (examples/boost) against scipy.special, an
implementation of its own: values at a table of points and over sweeps,
among them finite results Boost reaches through an intermediate overflow;
poles and domain errors marking their parameter; a true overflow; NaN in,
NaN out; the two matrix functions."""
import math

import numpy as np
import pytest
from scipy import special

import efi
from conftest import BUILD

BOOST = BUILD / "examples" / "boost" / "libefi_boost.so"


@pytest.fixture(scope="module")
def boost():
    if not BOOST.exists():
        pytest.skip("the Boost example module is not built")
    return efi.load(BOOST)


PARAMETERS = {
    "bm_tgamma": ["x"], "bm_lgamma": ["x"], "bm_digamma": ["x"], "bm_beta": ["a", "b"], "bm_ibeta": ["a", "b", "x"],
    "bm_gamma_p": ["a", "x"], "bm_cyl_bessel_j": ["nu", "x"], "bm_erf_inv": ["p"], "bm_zeta": ["s"],
    "bm_expint": ["x"], "bm_tgamma_m": ["M"], "bm_linspace": ["a", "b", "n"],
}


def test_every_function_is_named_masked_and_thread_safe(boost):
    assert sorted(boost.functions) == sorted(PARAMETERS)
    for name, params in PARAMETERS.items():
        signature = boost[name].__doc__.splitlines()[0]  # name(x: number, ...) -> number  [masked, thread-safe]
        assert signature.endswith("[masked, thread-safe]"), signature
        listed = signature[len(name) + 1:signature.index(")")].split(", ")
        assert [p.split(": ")[0] for p in listed] == params, signature


VALUES = [
    ("bm_tgamma", (4.5,), special.gamma),
    ("bm_tgamma", (-2.5,), special.gamma),
    ("bm_tgamma", (171.5,), special.gamma),  # near the largest double
    ("bm_lgamma", (-2.5,), special.gammaln),  # log |gamma|
    ("bm_lgamma", (1e6,), special.gammaln),
    ("bm_digamma", (-0.5,), special.psi),
    ("bm_beta", (2.5, 3.5), special.beta),
    ("bm_ibeta", (2.0, 3.0, 0.4), special.betainc),
    ("bm_gamma_p", (3.0, 2.5), special.gammainc),
    ("bm_cyl_bessel_j", (-20.5, 50.0), special.jv),  # through an intermediate overflow
    ("bm_cyl_bessel_j", (2.0, 7.5), special.jv),
    ("bm_erf_inv", (-0.999,), special.erfinv),
    ("bm_zeta", (-260.16,), special.zeta),  # through an intermediate overflow, -1.6e308
    ("bm_zeta", (0.5,), special.zeta),
    ("bm_expint", (-2.0,), special.expi),
    ("bm_expint", (700.0,), special.expi),
]


@pytest.mark.parametrize("name, args, reference", VALUES, ids=lambda v: repr(v) if isinstance(v, tuple) else None)
def test_values_match_scipy(boost, name, args, reference):
    assert boost[name](*args) == pytest.approx(reference(*args), rel=1e-12)


def test_masked_sweeps_return_finite_results_through_overflow(boost):
    # The points where a trapping call word reported finite results as
    # "overflow"; map sweeps the masked functions as calls run them.
    s = np.linspace(-260.16, 0.9, 20001)
    np.testing.assert_allclose(boost.bm_zeta.map(s), special.zeta(s), rtol=1e-10)
    nu, x = (g.ravel() for g in np.meshgrid(np.linspace(-30.5, 30.5, 123), np.linspace(0.5, 100.0, 101)))
    np.testing.assert_allclose(boost.bm_cyl_bessel_j.map(nu, x), special.jv(nu, x), rtol=1e-10, atol=1e-13)


ERRORS = [
    # name, arguments, part of the message, the argument marked (None: none)
    ("bm_tgamma", (-1.0,), "negative integer", 1),  # a pole
    ("bm_zeta", (1.0,), "pole", 1),
    ("bm_digamma", (0.0,), "pole", 1),
    ("bm_lgamma", (-3.0,), "negative integer", 1),
    ("bm_beta", (2.0, -1.0), "greater than zero", 2),
    ("bm_ibeta", (2.0, 3.0, 1.5), "outside the range", 3),
    ("bm_gamma_p", (-1.0, 2.0), "greater than zero", 1),
    ("bm_gamma_p", (1.0, -2.0), ">= 0", 2),
    ("bm_cyl_bessel_j", (0.5, -1.0), "x >= 0", 2),  # a complex result
    ("bm_erf_inv", (2.0,), "outside range", 1),
    ("bm_tgamma_m", ([[1.0, -2.0]],), "negative integer", 1),
    ("bm_linspace", (0.0, 1.0, 0), "must be positive", 3),
    ("bm_linspace", (0.0, 1.0, 2.5), "must be an integer", 3),
    ("bm_tgamma", (1 + 1j,), "must be a real", 1),
    ("bm_tgamma", (200.0,), "overflow", None),  # a true overflow, reported by the masked rule
    ("bm_erf_inv", (1.0,), "overflow", None),
    ("bm_tgamma_m", ([[1.0], [200.0]],), "overflow", None),
]


@pytest.mark.parametrize("name, args, text, argument", ERRORS)
def test_errors_mark_the_parameter_at_fault(boost, name, args, text, argument):
    with pytest.raises(efi.WorksheetError) as e:
        boost[name](*args)
    assert text in e.value.message and "boost::" not in e.value.message
    assert e.value.argument == argument


@pytest.mark.parametrize("name, arity", [
    ("bm_tgamma", 1), ("bm_lgamma", 1), ("bm_digamma", 1), ("bm_beta", 2), ("bm_ibeta", 3), ("bm_gamma_p", 2),
    ("bm_cyl_bessel_j", 2), ("bm_erf_inv", 1), ("bm_zeta", 1), ("bm_expint", 1)])
def test_nan_in_gives_nan_out(boost, name, arity):
    for k in range(arity):
        args = [0.5] * arity
        args[k] = math.nan
        assert math.isnan(boost[name](*args)), args


def test_matrix_functions(boost):
    a = np.array([[0.5, 1.5, 4.0], [-2.5, 10.0, 171.0]])
    g = boost.bm_tgamma_m(a)
    assert g.shape == (2, 3)
    np.testing.assert_allclose(g, special.gamma(a), rtol=1e-13)
    assert np.isnan(boost.bm_tgamma_m([[1.0, math.nan]])[0, 1])
    column = boost.bm_linspace(-1.0, 2.0, 7)
    assert column.shape == (7, 1)
    np.testing.assert_allclose(column[:, 0], np.linspace(-1.0, 2.0, 7), rtol=0, atol=1e-15)
    assert column[-1, 0] == 2.0
    assert boost.bm_linspace(3.0, 5.0, 1).tolist() == [[3.0]]
