"""The calibration functions of _px: result shapes, failures, pseudo-residuals
written in place, and recovery of simulated noise models."""

import numpy as np
import pytest
from scipy import ndimage

from pxvorel import _px
from scenes import cells_on_gradient, poisson_gaussian

CALIBRATIONS = [_px._calibrate_gaussian, _px._calibrate_poisson_gaussian, _px._pseudoresiduals]
FALLBACK = "error\n d=0.000000\n sw=16.000000\n swx=80.000000\n swxx=400.000000\n N=0.000000"


def worst_std_error(gain, offset, true_gain, true_offset, clean):
    """Largest relative error of the modelled noise std over the clean image's intensity range."""
    intensity = np.linspace(clean.min(), clean.max(), 200)
    truth = np.sqrt(true_gain * intensity + true_offset)
    model = np.sqrt(np.maximum(gain * intensity + offset, 0.0))
    return float(np.max(np.abs(model - truth) / truth))


# --- results and failures ---------------------------------------------------


@pytest.mark.parametrize(
    ("shape", "channels"),
    [((200,), 1), ((64, 64), 1), ((4, 32, 32), 1), ((3, 2, 64, 64), 3), ((2, 3, 64, 64), 2), ((5, 2, 1, 64, 64), 2)],
)
def test_one_gain_and_offset_per_channel(shape, channels):
    rng = np.random.default_rng(0)
    image = rng.normal(100.0, 5.0, shape).astype(np.float32)
    result = _px._calibrate_poisson_gaussian(image)
    assert len(result) == 2
    assert [len(row) for row in result] == [channels, channels]
    assert all(isinstance(value, float) for row in result for value in row)
    sigma = _px._calibrate_gaussian(image)
    assert isinstance(sigma, float)
    assert sigma > 0


def test_zero_length_axis_gives_empty_results():
    image = np.zeros((0, 5), np.float32)
    assert _px._calibrate_gaussian(image) == 0.0
    assert _px._calibrate_poisson_gaussian(image) == [[], []]
    assert _px._pseudoresiduals(image) is None


@pytest.mark.parametrize("function", CALIBRATIONS, ids=lambda f: f.__name__)
def test_rank_outside_one_to_five_is_refused(function):
    with pytest.raises(RuntimeError, match=r"^Array should have less than 5 dimensions\.$"):
        function(np.ones((2, 1, 1, 1, 3, 3), np.float32))
    with pytest.raises(RuntimeError, match=r"^Array should have at least 1 dimension\.$"):
        function(np.float32(1.0))


def test_small_worked_examples():
    assert _px._calibrate_gaussian(np.array([1, 2, 4], np.float32)) == pytest.approx(1.4826 * 0.29885846, rel=1e-6)
    assert _px._calibrate_gaussian(np.full((12, 12), 5, np.float32)) == 0.0
    assert _px._calibrate_gaussian(np.array([3.0], np.float32)) == 0.0


def test_unfittable_channel_prints_diagnostic_and_neutral_model(capfd):
    result = _px._calibrate_poisson_gaussian(np.full((12, 12), 5, np.float32))
    assert result == [[1.0], [0.0]]
    assert capfd.readouterr().out == FALLBACK


def test_nan_samples_neither_crash_nor_spoil_the_estimate():
    rng = np.random.default_rng(4)
    image = rng.normal(100.0, 5.0, (128, 128)).astype(np.float32)
    image.flat[::1009] = np.nan
    image[7, 7] = np.inf
    assert _px._calibrate_gaussian(image) == pytest.approx(5.0, rel=0.1)
    (gain,), (offset,) = _px._calibrate_poisson_gaussian(image)
    assert np.isfinite(gain) and np.isfinite(offset)
    bad = ~np.isfinite(image)
    _px._pseudoresiduals(image)
    # A non-finite sample spoils only the residuals of its 3 x 3 neighbourhood.
    spoiled = ndimage.binary_dilation(bad, structure=np.ones((3, 3), bool))
    assert np.isfinite(image[~spoiled]).all()
    assert not np.isfinite(image[bad]).any()


# --- pseudo-residuals in place ----------------------------------------------


def test_pseudoresiduals_overwrite_a_writeable_float32_array():
    image = np.array([1, 2, 4], np.float32)
    assert _px._pseudoresiduals(image) is None
    np.testing.assert_array_equal(image, np.array([-0.70710677, -0.40824831, 1.41421354], np.float32))


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([[1, 2, 4], [3, 3, 9]], np.float64),
        lambda: np.arange(24, dtype=np.float32).reshape(4, 6)[:, ::2],
        lambda: np.asfortranarray(np.arange(12, dtype=np.float32).reshape(3, 4)),
    ],
    ids=["float64", "strided", "column-major"],
)
def test_pseudoresiduals_of_a_converted_copy_leave_the_caller_alone(make):
    image = make()
    before = image.copy()
    assert _px._pseudoresiduals(image) is None
    np.testing.assert_array_equal(image, before)


def test_read_only_input():
    image = np.array([1, 2, 4], np.float32)
    image.flags.writeable = False
    with pytest.raises(ValueError, match=r"^array is not writeable$"):
        _px._pseudoresiduals(image)
    np.testing.assert_array_equal(image, [1, 2, 4])

    # Another dtype is converted into a fresh, writeable copy first.
    other = np.array([1, 2, 4], np.float64)
    other.flags.writeable = False
    assert _px._pseudoresiduals(other) is None
    np.testing.assert_array_equal(other, [1, 2, 4])


# --- registration -------------------------------------------------------------

ARRAY_ARG = "arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float32]"


@pytest.mark.parametrize(
    ("function", "result", "docstring"),
    [
        (_px._calibrate_gaussian, "float", "pxvorel gaussian noise std estimation"),
        (_px._calibrate_poisson_gaussian, "list[list[float]]", "pxvorel noise estimation"),
        (_px._pseudoresiduals, "None", "pxvorel pseudoresiduals"),
    ],
    ids=lambda value: getattr(value, "__name__", None),
)
def test_docstring_and_signature(function, result, docstring):
    assert function.__doc__ == f"{function.__name__}({ARRAY_ARG}) -> {result}\n\n{docstring}\n"
    with pytest.raises(TypeError):
        function(image=np.ones(3, np.float32))


# --- reference vectors --------------------------------------------------------


def test_reference_calibration(reference_case):
    case = reference_case("v2d_calibration")
    image = case["input"]
    assert _px._calibrate_gaussian(image) == pytest.approx(float(case["gaussian_std"]), rel=1e-5)

    (gain,), (offset,) = _px._calibrate_poisson_gaussian(image)
    expected_gain = float(case["gain_est"][0])
    assert gain == pytest.approx(expected_gain, rel=1e-4)
    offset_scale = abs(expected_gain) * float(np.median(image))
    assert abs(offset - float(case["offset_est"][0])) <= 1e-4 * offset_scale

    residuals = image.copy()
    _px._pseudoresiduals(residuals)
    np.testing.assert_allclose(residuals, case["residuals"], rtol=0, atol=1e-6 * np.abs(image).max())


def test_reference_residuals_keep_channels_apart(reference_case):
    case = reference_case("v4d_residuals")
    residuals = case["input"].copy()
    _px._pseudoresiduals(residuals)
    np.testing.assert_allclose(residuals, case["residuals"], rtol=0, atol=1e-6 * np.abs(case["input"]).max())


# --- recovery of simulated noise ---------------------------------------------


def test_poisson_gaussian_model_is_recovered():
    rng = np.random.default_rng(1024)
    clean = cells_on_gradient((1024, 1024), rng, low=20.0, high=1000.0)
    image = poisson_gaussian(clean, 2.0, 9.0, rng)
    (gain,), (offset,) = _px._calibrate_poisson_gaussian(image)
    std_error = worst_std_error(gain, offset, 2.0, 9.0, clean)
    print(
        f"\n1024x1024, variance 2 I + 9: gain {gain:.4f} ({gain / 2 - 1:+.2%}), offset {offset:.2f}, "
        f"worst noise std error {std_error:.2%}"
    )
    assert gain == pytest.approx(2.0, rel=0.05)
    assert std_error <= 0.15


@pytest.mark.parametrize("size", [256, 512])
def test_smaller_images_recover_the_model_on_average(size):
    # One image of this size measures the gain to a few percent (the scatter
    # between images is about 3 % at 256 x 256 and 1.7 % at 512 x 512), so the
    # accuracy is judged over several independent images.
    gains, std_errors = [], []
    for seed in range(6):
        rng = np.random.default_rng(size + seed)
        clean = cells_on_gradient((size, size), rng, low=20.0, high=1000.0)
        (gain,), (offset,) = _px._calibrate_poisson_gaussian(poisson_gaussian(clean, 2.0, 9.0, rng))
        gains.append(gain)
        std_errors.append(worst_std_error(gain, offset, 2.0, 9.0, clean))
    print(
        f"\n{size}x{size}, variance 2 I + 9: gain errors "
        + " ".join(f"{g / 2 - 1:+.1%}" for g in gains)
        + "; worst noise std errors "
        + " ".join(f"{e:.1%}" for e in std_errors)
    )
    assert np.mean(gains) == pytest.approx(2.0, rel=0.05)
    assert np.median(std_errors) <= 0.15


@pytest.mark.slow
def test_each_channel_gets_its_own_model():
    rng = np.random.default_rng(3)
    models = [(2.0, 9.0), (0.5, 4.0), (5.0, 100.0)]
    cleans = [cells_on_gradient((1024, 1024), rng, low=20.0, high=1000.0) for _ in models]
    image = np.stack([poisson_gaussian(c, g, o, rng) for c, (g, o) in zip(cleans, models, strict=True)])[:, None]
    assert image.shape == (3, 1, 1024, 1024)
    gains, offsets = _px._calibrate_poisson_gaussian(image)
    for channel, ((true_gain, true_offset), gain, offset, clean) in enumerate(
        zip(models, gains, offsets, cleans, strict=True)
    ):
        std_error = worst_std_error(gain, offset, true_gain, true_offset, clean)
        print(
            f"\nchannel {channel}, variance {true_gain} I + {true_offset}: gain {gain:.4f} "
            f"({gain / true_gain - 1:+.2%}), offset {offset:.2f}, worst noise std error {std_error:.2%}"
        )
        assert gain == pytest.approx(true_gain, rel=0.05)
        assert std_error <= 0.15


@pytest.mark.parametrize("sigma", [3.0, 10.0, 30.0])
def test_gaussian_noise_level_is_recovered(sigma):
    rng = np.random.default_rng(int(sigma))
    clean = cells_on_gradient((256, 256), rng, low=20.0, high=1000.0)
    image = (clean + rng.normal(0.0, sigma, clean.shape)).astype(np.float32)
    estimate = _px._calibrate_gaussian(image)
    print(f"\nGaussian sigma {sigma}: estimate {estimate:.4f} ({estimate / sigma - 1:+.2%})")
    assert estimate == pytest.approx(sigma, rel=0.05)


def test_real_camera_image_gives_a_sane_model(real_image):
    tifffile = pytest.importorskip("tifffile")
    image = tifffile.imread(real_image("2d_er_exit_sites_noisy_u16.tif"))
    (gain,), (offset,) = _px._calibrate_poisson_gaussian(image)
    # The variance line reaches 0 near the camera's dark level of about 470.
    dark_level = -offset / gain
    print(f"\nER exit sites: gain {gain:.3f}, offset {offset:.1f}, zero-variance intensity {dark_level:.1f}")
    assert gain > 0
    assert dark_level == pytest.approx(470, rel=0.15)
    assert gain * np.median(image) + offset > 0
