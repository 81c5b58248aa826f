"""The texture figure's measures: about 1 on Gaussian textures of any grain, clearly higher on
the structures they are meant to find, so that the figure cannot silently stop working."""

from __future__ import annotations

import numpy as np
import pytest
from scipy import ndimage

from benchmarks.quality import texture
from benchmarks.quality.texture_cases import Case, Defect, background
from benchmarks.quality.texture_figure import judge_case

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
            result[0, int(round(y0 + t * np.sin(angle))), int(round(x0 + t * np.cos(angle)))] += 3.0
    return result


@pytest.mark.parametrize("sigma", [0.0, 1.5, 3.0])
def test_gaussian_textures_score_about_one(sigma: float) -> None:
    blurred = texture.blurred(noise(), sigma, along_depth=False)
    scores = texture.measures(blurred, np.zeros_like(blurred), everywhere(blurred), (1, 2, 2), (1, 3, 3))
    for name in ("periodic stage", "periodic grid", "burst", "coherence", "axis", "plateau"):
        assert 0.75 < scores[name] < 1.3, (name, scores[name])
    assert 0.7 < texture.border_lines(noise(), everywhere(blurred)) < 1.5


def test_stacks_score_about_one_along_depth() -> None:
    volume = texture.blurred(noise(shape=(16, 96, 96)), 1.0, along_depth=True)
    assert 0.75 < texture.periodic_energy(volume, everywhere(volume), (2, 4, 4)) < 1.3


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
        result[:, y:y + 12, x:x + 12] += 3.0 * checkerboard((1, 12, 12))
    return result


@pytest.mark.parametrize(("name", "make", "least"), [
    ("periodic stage", lambda v: v + 0.3 * checkerboard(v.shape), 5.0),  # a grid pattern under the noise
    ("periodic stage", lambda v: v * (1.0 + 0.5 * (np.arange(SIDE) % 2 == 0))[None, None], 3.0),  # its variance
    ("burst", local_checkerboards, 3.0),
    ("coherence", lambda v: with_strokes(texture.blurred(v, 1.0, False), np.linspace(0, np.pi, 120)), 1.3),
    ("axis", lambda v: with_strokes(v, np.zeros(300)), 1.5),
    ("plateau", staircase, 3.0),
    ("border", bright_border, 3.0),
])
def test_structures_score_high(name: str, make: object, least: float) -> None:
    assert callable(make)
    volume = make(noise())
    scores = texture.measures(volume, np.zeros_like(volume), everywhere(volume), (1, 2, 2), (1, 3, 3))
    assert scores[name] > least


def test_a_mask_restricts_the_measures() -> None:
    """A checkerboard outside the mask does not count; NaN where nothing fits."""
    volume = noise()
    volume[:, :, SIDE // 2:] += 3.0 * checkerboard((1, SIDE, SIDE // 2))
    left = np.zeros(volume.shape, bool)
    left[:, :, :SIDE // 2 - 8] = True
    scores = texture.measures(volume, np.zeros_like(volume), left, (1, 2, 2), (1, 3, 3))
    assert scores["periodic stage"] < 1.5 and scores["burst"] < 1.3
    tiny = np.zeros(volume.shape, bool)
    tiny[:, :10, :10] = True
    assert np.isnan(texture.periodic_energy(volume, tiny, (1, 2, 2)))
    assert np.isnan(texture.coherence(volume, tiny))


def test_matched_blur_finds_the_blur_of_a_blurred_texture() -> None:
    volume = noise() + 10.0
    target = texture.residual_sd(texture.blurred(volume, 2.0, False) - 10.0, everywhere(volume))
    _, sigma = texture.matched_blur(volume, np.full(volume.shape, 10.0), everywhere(volume), target,
                                    along_depth=False)
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


def test_background_keeps_away_from_objects() -> None:
    """The background of noise with bright disks lies in the dark, at least the margin from them."""
    y, x = np.mgrid[0:SIDE, 0:SIDE]
    disks = np.zeros((SIDE, SIDE), bool)
    for cy, cx in ((50, 50), (120, 140), (160, 40)):
        disks |= (y - cy) ** 2 + (x - cx) ** 2 < 20**2
    image = (10.0 + 50.0 * disks + np.random.default_rng(3).normal(0.0, 3.0, disks.shape))[None]
    mask = background(image)
    near = ndimage.binary_dilation(disks, iterations=4)
    assert mask.any() and not (mask[0] & near).any()


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
    assert blur.area > 0 and blur.ringing == 0.0 and 0.0 <= out.kept < 1.0
