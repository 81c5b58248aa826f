"""The texture figure's measures: about 1 on Gaussian textures of any grain, clearly higher on
the structures they are meant to find, so that the figure cannot silently stop working."""

from __future__ import annotations

import numpy as np
import pytest
from benchmarks.quality import texture, texture_montage
from benchmarks.quality.texture_cases import Case, Defect, background, trend, volumes
from benchmarks.quality.texture_figure import judge_case
from benchmarks.quality.texture_runs import fixed_settings, lattices
from scipy import ndimage

from pxvorel.run.job import prepare

SIDE = 192


def noise(seed: int = 0, shape: tuple[int, int, int] = (1, SIDE, SIDE)) -> texture.Volume:
    return np.random.default_rng(seed).standard_normal(shape)


def everywhere(volume: texture.Volume) -> texture.Mask:
    return np.ones(volume.shape, bool)


def with_strokes(volume: texture.Volume, angles: np.ndarray, seed: int = 1) -> texture.Volume:
    """`volume` with short bright strokes (15 samples, 3 sds) at the given angles (radians)."""
    result = volume.copy()
    rng = np.random.default_rng(seed)
    for angle in angles:
        y0, x0 = rng.uniform(10, volume.shape[1] - 10, 2)
        for t in np.linspace(-7, 7, 15):
            result[0, round(y0 + t * np.sin(angle)), round(x0 + t * np.cos(angle))] += 3.0
    return result


@pytest.mark.parametrize("sigma", [0.0, 1.5, 3.0])
def test_gaussian_textures_score_about_one(sigma: float) -> None:
    blurred = texture.blurred(noise(), sigma, along_depth=False)
    scores = texture.measures(blurred, np.zeros_like(blurred), everywhere(blurred), (1, 2, 2), (1, 3, 3))
    for name in ("periodic stage", "periodic grid", "burst", "coherence", "axis", "plateau"):
        assert 0.75 < scores[name] < 1.3, (name, scores[name])
    assert 0.7 < texture.border_lines(noise(), everywhere(blurred)) < 1.5


def test_anisotropic_gaussian_textures_keep_the_exact_nulls() -> None:
    """Bursts and plateaus compare with a Gaussian texture of the same spectrum and gradient
    covariance, so streaky Gaussian noise scores 1 there (the axis ratio is what flags it)."""
    streaky = ndimage.gaussian_filter(noise(), (0.0, 0.7, 4.0))
    mask = everywhere(streaky)
    assert 0.85 < texture.burst_energy(streaky, mask) < 1.2
    assert 0.8 < texture.plateau_share(streaky, mask) < 1.25
    assert texture.axis_ratio(streaky, mask) > 5.0


def test_periodic_energy_along_depth() -> None:
    """Along Z or T as along Y and X: noise scores about 1, planes that alternate score high."""
    volume = texture.blurred(noise(shape=(16, 96, 96)), 1.0, along_depth=True)
    mask = everywhere(volume)
    assert 0.75 < texture.periodic_energy(volume, mask, (2, 4, 4)) < 1.3
    alternating = volume + 0.2 * (-1.0) ** np.arange(16)[:, None, None]
    assert texture.periodic_energy(alternating, mask, (2, 4, 4)) > 5.0


def checkerboard(shape: tuple[int, int, int]) -> texture.Volume:
    return (-1.0) ** np.add.outer(np.arange(shape[1]), np.arange(shape[2]))[None] * np.ones(shape)


def staircase(volume: texture.Volume) -> texture.Volume:
    smooth = texture.blurred(volume, 3.0, along_depth=False)
    return np.round(smooth / (0.5 * smooth.std())).astype(np.float64)


def bright_border(volume: texture.Volume) -> texture.Volume:
    result = volume.copy()
    result[:, -1] += 1.0
    return result


def local_checkerboards(volume: texture.Volume) -> texture.Volume:
    result = volume.copy()
    for y, x in ((20, 30), (100, 60), (150, 150)):
        result[:, y : y + 12, x : x + 12] += 3.0 * checkerboard((1, 12, 12))
    return result


@pytest.mark.parametrize(
    ("name", "make", "least"),
    [
        ("periodic stage", lambda v: v + 0.3 * checkerboard(v.shape), 5.0),  # a grid pattern under the noise
        ("periodic stage", lambda v: v * (1.0 + 0.5 * (np.arange(SIDE) % 2 == 0))[None, None], 3.0),  # its variance
        ("burst", local_checkerboards, 3.0),
        ("coherence", lambda v: with_strokes(texture.blurred(v, 1.0, False), np.linspace(0, np.pi, 120)), 1.3),
        ("axis", lambda v: with_strokes(v, np.zeros(300)), 1.5),
        ("plateau", staircase, 3.0),
        ("border", bright_border, 3.0),
    ],
)
def test_structures_score_high(name: str, make: object, least: float) -> None:
    assert callable(make)
    volume = make(noise())
    scores = texture.measures(volume, np.zeros_like(volume), everywhere(volume), (1, 2, 2), (1, 3, 3))
    assert scores[name] > least


def test_a_mask_restricts_the_measures() -> None:
    """A checkerboard outside the mask does not count; NaN where nothing fits."""
    volume = noise()
    volume[:, :, SIDE // 2 :] += 3.0 * checkerboard((1, SIDE, SIDE // 2))
    left = np.zeros(volume.shape, bool)
    left[:, :, : SIDE // 2 - 8] = True
    scores = texture.measures(volume, np.zeros_like(volume), left, (1, 2, 2), (1, 3, 3))
    assert scores["periodic stage"] < 1.5 and scores["burst"] < 1.3
    tiny = np.zeros(volume.shape, bool)
    tiny[:, :10, :10] = True
    assert np.isnan(texture.periodic_energy(volume, tiny, (1, 2, 2)))
    assert np.isnan(texture.coherence(volume, tiny))


def test_matched_blur_finds_the_blur_of_a_blurred_texture() -> None:
    volume = noise() + 10.0
    target = texture.residual_sd(texture.blurred(volume, 2.0, False) - 10.0, everywhere(volume))
    _, sigma = texture.matched_blur(volume, np.full(volume.shape, 10.0), everywhere(volume), target, along_depth=False)
    assert sigma == pytest.approx(2.0, rel=0.02)


def test_footprint_of_a_ringing_change() -> None:
    """A difference of Gaussians rings; a Gaussian does not; the extent counts rows and columns."""
    impulse = np.zeros((1, 41, 41))
    impulse[0, 20, 20] = 100.0
    defect = impulse > 0
    gaussian = ndimage.gaussian_filter(impulse, (0, 2, 2))
    ringing = gaussian - ndimage.gaussian_filter(impulse, (0, 4, 4))
    smooth, rung = (texture.footprint(change, defect, 100.0, 0.1) for change in (gaussian, ringing))
    assert smooth.ringing == 0.0 and rung.ringing > 2.0
    assert smooth.extent[0] == 1 and smooth.extent[1] == smooth.extent[2] > 5
    assert smooth.kept == pytest.approx(gaussian[0, 20, 20] / 100.0)
    assert smooth.area == int(np.count_nonzero(gaussian > 0.1))


@pytest.mark.slow
def test_the_figure_judges_a_defect_on_a_flat_field() -> None:
    """The whole chain (default run, matched blur, measures, footprint) gives a figure."""
    image = np.random.default_rng(4).poisson(20.0, (128, 128)).astype(np.float32)
    case = Case("hot pixel", image, "YX", flat=True, defect=Defect(((64, 64),), (220.0,)))
    _, (judgement,) = judge_case(case, None)
    assert 0.5 < judgement.sigma < 10.0 and judgement.sd < float(image.std())
    assert all(np.isfinite(list(judgement.output.values()))) and all(np.isfinite(list(judgement.blur.values())))
    assert judgement.footprints is not None
    out, blur = judgement.footprints
    assert blur.area > 0 and blur.ringing == 0.0 and 0.0 <= out.kept < 1.2
    assert out.ringing < 1.0 and out.area < blur.area  # the hot pixel kept, nothing around it


@pytest.mark.parametrize(
    ("axes", "shape", "count", "depth"),
    [
        ("YX", (20, 30), 1, 1),
        ("ZYX", (5, 20, 30), 1, 5),
        ("TYX", (5, 20, 30), 1, 5),
        ("CYX", (3, 20, 30), 3, 1),
        ("ZCYX", (5, 2, 20, 30), 2, 5),
    ],
)
def test_volumes_take_each_channel_apart(axes: str, shape: tuple[int, ...], count: int, depth: int) -> None:
    image = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    found = list(volumes(image, axes))
    assert len(found) == count and all(v.shape == (depth, 20, 30) for v in found)
    channel = axes.index("C") if "C" in axes else None
    last = np.take(image, count - 1, axis=channel) if channel is not None else image
    assert np.array_equal(found[-1].ravel(), last.ravel())


def disks_on_background() -> tuple[texture.Volume, texture.Mask]:
    """Noise of sd 3 on 10, with three bright disks, and the disks."""
    y, x = np.mgrid[0:SIDE, 0:SIDE]
    disks = np.zeros((SIDE, SIDE), bool)
    for cy, cx in ((50, 50), (120, 140), (160, 40)):
        disks |= (y - cy) ** 2 + (x - cx) ** 2 < 20**2
    return (10.0 + 50.0 * disks + np.random.default_rng(3).normal(0.0, 3.0, disks.shape))[None], disks[None]


def test_background_and_its_trend_keep_away_from_objects() -> None:
    """The background lies in the dark, at least the margin from the disks; its trend stays at
    the background's level next to them, where a plain blur carries them in."""
    image, disks = disks_on_background()
    mask = background(image)
    assert mask.any() and not (mask & ndimage.binary_dilation(disks, iterations=4)).any()
    level = trend(image, mask, flat=False)
    assert np.abs(level[mask] - 10.0).max() < 1.0
    assert np.abs(ndimage.gaussian_filter(image, (0, 16, 16))[mask] - 10.0).max() > 3.0


def test_matched_blur_stops_where_no_blur_is_as_smooth() -> None:
    """Past some width a blur carries the disks into the background: no blur then leaves less
    than the least residual, and the blur of that least residual comes back."""
    image, _ = disks_on_background()
    mask = background(image)
    level = trend(image, mask, flat=False)
    blur, sigma = texture.matched_blur(image, level, mask, 1e-3, along_depth=False)
    least = texture.residual_sd(blur - level, mask)
    assert 1.0 < sigma < 32.0 and least > 1e-3
    assert least <= texture.residual_sd(texture.blurred(image, 32.0, False) - level, mask)


def test_hotspot_finds_the_texture_a_blur_lacks() -> None:
    plane = texture.blurred(noise(), 2.0, along_depth=False)[0]
    output = plane.copy()
    output[100:112, 40:52] += 0.3 * checkerboard((1, 12, 12))[0]
    corner = texture_montage.hotspot(output, plane, np.ones(plane.shape, bool), 32)
    assert corner is not None and 100 - 32 < corner[0] <= 100 and 40 - 32 < corner[1] <= 40


@pytest.mark.parametrize(
    ("axes", "shape", "grid"),
    [
        ("YX", (64, 64), (1, 3, 3)),  # patch radius 2 in X and Y
        ("ZYX", (16, 64, 64), (2, 3, 3)),  # and 1 along Z, which holds more than four radii
        ("ZYX", (4, 64, 64), (1, 3, 3)),  # ... and here does not
        ("TYX", (8, 64, 64), (1, 2, 2)),  # radius 1 on time-lapses; along T the radius itself
    ],
)
def test_lattices_of_the_engine_grid(axes: str, shape: tuple[int, ...], grid: tuple[int, int, int]) -> None:
    image = np.zeros(shape, np.float32)
    settings = fixed_settings(image, axes)
    _, found = lattices(settings, prepare(image, axes=axes).plan.engine_shape)
    assert found == grid
