"""The estimated error (SURE) against the true one, tuning against the oracle, and what a run
reports; channels denoised separately or jointly."""

from __future__ import annotations

import dataclasses
import subprocess
import sys

import numpy as np
import pytest

import pxvorel
from pxvorel.core.axes import AxisPlan
from pxvorel.quality.sure import estimate_risk
from pxvorel.quality.tune import Tuning, tune
from pxvorel.run.execute import execute
from pxvorel.run.job import prepare
from pxvorel.run.plan import RunPlan
from pxvorel.run.settings import DEFAULT_FLOOR
from pxvorel.run.unit import UnitImage
from scenes import blobs, poisson_gaussian


@pytest.fixture(scope="module")
def scene() -> np.ndarray:
    return blobs((256, 256), 80, seed=4, low=20.0, high=300.0)


def true_and_estimated(
    clean: np.ndarray, noisy: np.ndarray, model: pxvorel.NoiseModel, seed: int
) -> tuple[float, float, float]:
    job = prepare(noisy, axes="YX", iterations=4, pvalue=0.01, threads=1)
    unit = UnitImage.of(job.engine, model)
    plan = RunPlan.of(job.settings, unit.work.shape)
    risk = estimate_risk(unit, model, lambda w: execute(w, plan), seed=seed)
    true = float(np.mean((risk.denoised[0, 0, 0].astype(np.float64) - clean) ** 2))
    return true, risk.mse[0], risk.spread[0]


@pytest.mark.parametrize("kind", ["gaussian", "poisson-gaussian"])
def test_estimated_error_matches_the_true_error(scene, kind) -> None:
    """Over four noise draws each estimate is within four of its standard errors of the truth,
    and their mean within three standard errors of the mean (a bias of about 15 % fails); the
    standard error is small enough (under a sixth of the error) for that to mean something."""
    errors, spreads = [], []
    for seed in range(4):
        if kind == "gaussian":
            model = pxvorel.NoiseModel.gaussian(15.0)
            noisy = (scene + np.random.default_rng(seed).normal(0.0, 15.0, scene.shape)).astype(np.float32)
        else:  # weighted back to intensities: variance 0.5 * intensity + 9, from 19 to 159
            model = pxvorel.NoiseModel([0.5], [9.0])
            noisy = poisson_gaussian(scene, 0.5, 9.0, seed=seed)
        true, estimate, spread = true_and_estimated(scene, noisy, model, seed)
        assert spread < true / 6
        assert abs(estimate - true) < 4 * spread, (seed, true, estimate, spread)
        errors.append(estimate - true)
        spreads.append(spread)
    assert abs(np.mean(errors)) < 3 * np.sqrt(np.mean(np.square(spreads)) / len(spreads)), (errors, spreads)


@pytest.mark.slow
def test_tuning_picks_a_setting_close_to_the_oracle(scene) -> None:
    """Among the candidates, the one with the lowest estimated error is within 5 % of the lowest
    true error; and a flat image, where averaging more always helps, is not left at the defaults."""
    part = scene[64:192, 64:192]
    noisy = (part + np.random.default_rng(7).normal(0.0, 25.0, part.shape)).astype(np.float32)
    flat = np.full((96, 96), 100.0) + np.random.default_rng(8).normal(0.0, 10.0, (96, 96))
    for image, clean, sigma in ((noisy, part, 25.0), (flat, np.full((96, 96), 100.0), 10.0)):
        job = prepare(image, axes="YX", iterations=4, pvalue=0.01, threads=1)
        model = pxvorel.NoiseModel.gaussian(sigma)
        unit = UnitImage.of(job.engine, model)
        # without a pilot floor the stage leaves enough error on the flat field for the
        # candidates' estimates to differ by more than their scatter
        tuning = tune(unit, model, dataclasses.replace(job.settings, floor=0.0))
        true = [
            float(np.mean((unit.back(execute(unit.work, RunPlan.of(s, unit.work.shape)))[0, 0, 0] - clean) ** 2))
            for s in tuning.candidates
        ]
        chosen = int(np.argmin(tuning.scores))
        assert true[chosen] <= 1.05 * min(true), (tuning.scores, true)
        assert chosen != 0 or image is not flat
    distrusted = Tuning(tuning.candidates[:2], (0.5, -0.1), tuning.crop_shape)  # an estimate below 0
    assert not distrusted.trusted and distrusted.chosen == tuning.candidates[0]


@pytest.mark.slow
def test_the_report_holds_what_the_run_used(scene) -> None:
    noisy = poisson_gaussian(scene, 0.5, 9.0, seed=1)
    plain = pxvorel.denoise(noisy, noise=pxvorel.NoiseModel([0.5], [9.0]), threads=1)
    estimated, report = pxvorel.denoise(
        noisy, noise=pxvorel.NoiseModel([0.5], [9.0]), threads=1, quality=True, return_report=True
    )
    np.testing.assert_array_equal(estimated, plain)  # the probe run leaves the result alone
    assert report.tuning is None and report.quality is not None and report.noise.gain == (0.5,)
    assert 3.0 < report.quality.gain_db < 30.0 and 0.0 < report.quality.spread_db < 1.0
    assert "SURE estimate" in report.quality.describe() and report.quality.reliable

    clipped = np.maximum(noisy - np.percentile(noisy, 20), 0.0)  # a fifth of the samples at 0
    _, report = pxvorel.denoise(clipped, threads=1, quality=True, return_report=True)
    assert report.quality is not None and not report.quality.reliable
    assert "not reliable: channel(s) 0" in report.quality.describe()

    tuned, report = pxvorel.denoise(
        noisy, noise=pxvorel.NoiseModel([0.5], [9.0]), threads=1, tune=True, return_report=True
    )
    assert report.tuning is not None and report.settings == report.tuning.chosen
    chosen = report.settings
    again = pxvorel.denoise(
        noisy,
        noise=pxvorel.NoiseModel([0.5], [9.0]),
        threads=1,
        iterations=chosen.iterations,
        pvalue=chosen.pvalue,
        patch_radius={"X": chosen.patch_radius["X"], "Y": chosen.patch_radius["Y"]},
    )
    np.testing.assert_array_equal(tuned, again)  # the whole image is denoised with the setting chosen

    clipped = np.maximum(noisy - np.median(noisy), 0.0)  # half the samples at 0: no tuning there
    _, report = pxvorel.denoise(clipped, noise=3.0, threads=1, tune=True, iterations=3, return_report=True)
    assert report.tuning is not None and not report.tuning.trusted and report.settings.iterations == 3


def test_separate_channels_are_each_denoised_as_their_own_image(scene) -> None:
    rng = np.random.default_rng(3)
    clean = np.stack([scene, scene[::-1].T * 0.5])
    noisy = (clean + rng.normal(0.0, 1.0, clean.shape) * np.array([15.0, 5.0]).reshape(2, 1, 1)).astype(np.float32)
    model = pxvorel.NoiseModel.gaussian([15.0, 5.0])
    separate = pxvorel.denoise(noisy, axes="CYX", noise=model, channels="separate", threads=1)
    for c, sigma in enumerate((15.0, 5.0)):
        alone = pxvorel.denoise(noisy[c], axes="YX", noise=sigma, threads=1)
        np.testing.assert_array_equal(separate[c], alone)
    joint = pxvorel.denoise(noisy, axes="CYX", noise=model, channels="joint", threads=1)
    assert not np.array_equal(joint, separate)


@pytest.mark.parametrize(
    ("keywords", "needle"),
    [
        ({"channels": "mixed"}, "channels must be one of"),
        ({"return_noise": True, "return_report": True}, "not both"),
        ({"tune": True, "dask": True}, "in-memory"),
        ({"quality": True, "dask": True}, "in-memory"),
    ],
)
def test_bad_requests_are_refused(keywords, needle) -> None:
    image = np.random.default_rng(0).normal(100.0, 5.0, (32, 32)).astype(np.float32)
    if keywords.pop("dask", False):
        da = pytest.importorskip("dask.array")

        image = da.from_array(image, chunks=16)
    with pytest.raises(ValueError, match=needle):
        pxvorel.denoise(image, noise=5.0, **keywords)


@pytest.mark.slow
def test_command_line_prints_the_estimate(tmp_path, scene) -> None:
    source = tmp_path / "in.npy"
    np.save(source, (scene + np.random.default_rng(0).normal(0.0, 15.0, scene.shape)).astype(np.float32))
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pxvorel",
            "denoise",
            source,
            "-o",
            tmp_path / "out.npy",
            "--sigma",
            "15",
            "--quality",
            "--channels",
            "joint",
            "-q",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert "in.npy: estimated PSNR gain" in result.stdout and "dB ± " in result.stdout
    assert AxisPlan.for_array(np.load(tmp_path / "out.npy").shape, None).axes == "YX"


@pytest.mark.slow
def test_the_default_call_chooses_on_tiles_and_fixed_parameters_do_not(monkeypatch) -> None:
    """On a plane large enough for tiles the default call compares the default with the finer
    setting and denoises with the chosen one (here the default: the same result as asking for
    it); only where the finer one wins is the plane's other alternative scored; any parameter
    given, refine=False, a small plane, a stack and a small time-lapse (radius 1 there) skip it."""
    import pxvorel.quality.tile_choice as choice

    monkeypatch.setattr(choice, "FLOORS", (DEFAULT_FLOOR,))  # the settings alone (floors: below)
    noisy = poisson_gaussian(blobs((384, 384), 60, seed=6, low=20.0, high=300.0), 2.0, 16.0, seed=7)
    result, report = pxvorel.denoise(noisy, threads=1, return_report=True)
    assert report.tuning is not None and report.tuning.tiles == 2
    given = report.tuning.candidates[0]
    finer, wider = choice.PLANE_ALTERNATIVES
    assert report.tuning.candidates[1:] == (finer.applied(given),) and finer.variant == "fine"
    monkeypatch.setattr(choice, "PLANE_ALTERNATIVES", (dataclasses.replace(finer, weight=0.0), wider))
    _, forced = pxvorel.denoise(noisy, threads=1, return_report=True)
    assert forced.tuning is not None and forced.tuning.candidates[2:] == (wider.applied(given),)
    assert forced.settings == finer.applied(given)
    used = report.settings
    assert used == given and used.variant == "default"
    fixed = pxvorel.denoise(
        noisy,
        threads=1,
        patch_radius={"X": used.patch_radius["X"], "Y": used.patch_radius["Y"]},
        iterations=used.iterations,
        pvalue=used.pvalue,
    )
    np.testing.assert_array_equal(result, fixed)
    for keywords in ({"patch_radius": 2}, {"pvalue": 0.01}, {"iterations": 3}, {"refine": False}):
        assert pxvorel.denoise(noisy, threads=1, return_report=True, **keywords)[1].tuning is None
    assert pxvorel.denoise(noisy[:200, :200], threads=1, return_report=True)[1].tuning is None
    stack = np.stack([noisy[:64, :64]] * 4)
    for axes, radius in (("ZYX", 2), ("TYX", 1)):
        _, report = pxvorel.denoise(stack, axes=axes, threads=1, return_report=True)
        assert report.tuning is None and report.settings.patch_radius["X"] == radius


@pytest.mark.slow
def test_a_time_lapse_choice_runs_the_wide_blocks_it_chose(monkeypatch) -> None:
    """A time-lapse large enough for one tile of its frames compares the default with the smoother
    setting; chosen (here made to win), that setting runs with the wider blocks of the stage."""
    import pxvorel.quality.tile_choice as choice
    import pxvorel.run.refine as stage

    frames = np.stack(
        [poisson_gaussian(blobs((256, 256), 40, seed=3, low=20.0, high=200.0), 2.0, 16.0, seed=t) for t in range(4)]
    )
    smoother = choice.FRAME_ALTERNATIVES[0]
    monkeypatch.setattr(choice, "FRAME_ALTERNATIVES", (dataclasses.replace(smoother, weight=0.0),))
    monkeypatch.setattr(choice, "FLOORS", (DEFAULT_FLOOR,))  # the floor an explicit call takes
    result, report = pxvorel.denoise(frames, axes="TYX", threads=1, return_report=True)
    assert report.tuning is not None and report.tuning.tiles == 1 and report.tuning.crop_shape == (4, 1, 1, 64, 64)
    assert report.settings == smoother.applied(report.tuning.candidates[0]) and report.settings.variant == "wide"
    explicit = {"patch_radius": {"X": 1, "Y": 1}, "iterations": smoother.iterations, "pvalue": smoother.pvalue}
    assert not np.array_equal(result, pxvorel.denoise(frames, axes="TYX", threads=1, **explicit))
    monkeypatch.setattr(stage, "FRAME_BLOCKS", stage.WIDE_FRAME_BLOCKS)
    np.testing.assert_array_equal(result, pxvorel.denoise(frames, axes="TYX", threads=1, **explicit))


@pytest.mark.slow
def test_the_default_call_runs_the_pilot_floor_it_chose() -> None:
    """On a flat field every coefficient of the engine's result is its error: the largest floor
    wins on the tiles, and the whole image is run with it."""
    import pxvorel.quality.tile_choice as choice
    from pxvorel.run.execute import denoise_with

    flat = np.random.default_rng(0).poisson(5.0, (384, 384)).astype(np.float32)
    result, report = pxvorel.denoise(flat, threads=1, return_report=True)
    assert report.tuning is not None and report.settings.floor == max(choice.FLOORS) != DEFAULT_FLOOR
    job = prepare(flat, threads=1)
    again = job.plan.from_engine(denoise_with(job.engine, report.noise, report.settings))
    np.testing.assert_array_equal(result, again)
    other = dataclasses.replace(report.settings, floor=DEFAULT_FLOOR)
    assert not np.array_equal(result, job.plan.from_engine(denoise_with(job.engine, report.noise, other)))
