"""The texture figure: what the default output leaves on flat fields and on the backgrounds of
real images, against a Gaussian blur of the same noise reduction.

For every case of :mod:`benchmarks.quality.texture_cases` (and every channel of it) the default
call runs on one thread; the blur's sigma is chosen so that its residual sd over the background
equals the output's, and every measure of :mod:`benchmarks.quality.texture` is printed for
both, with their ratio (a ratio above ``TOLERANCE`` is marked worse). For a bad pixel the
footprint is printed instead: the result with the defect less the result without it (the same
noise, model and settings). Montages go to ``build/texture/`` (one PNG per case and channel).

    tools/py314 python3 -m benchmarks.quality.texture_figure [--only TEXT] [--synthetic]
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from benchmarks.quality import texture_montage
from benchmarks.quality.texture import (
    MEASURES,
    Footprint,
    Mask,
    Volume,
    blurred,
    footprint,
    matched_blur,
    measures,
    residual_sd,
)
from benchmarks.quality.texture_cases import Case, background, defect_cases, flat_cases, real_cases, trend, volumes
from benchmarks.quality.texture_runs import Image, Run, default_run, describe, lattices, run_with
from pxvorel.run.settings import Settings

ROOT = Path(__file__).resolve().parents[2]
MONTAGES = ROOT / "build" / "texture"
#: A ratio to the blur above this counts as worse than the blur: the measures of two blurs of
#: white noise, drawn apart, differ by up to about a tenth (a fifth on small backgrounds).
TOLERANCE = 1.3
Denoiser = Callable[[Image], Image]
#: Sides of the zoomed montage, the largest that fits in the background.
ZOOM = (64, 48, 32)


@dataclass(frozen=True)
class Judgement:
    """One channel of one case: the blur's sigma, the residual sd the output leaves and the one
    the blur leaves (the same, unless no blur is as smooth), every measure of the output and of
    the blur, and the footprints of a bad pixel (output, blur) if any."""

    case: str
    channel: int | None
    sigma: float
    sd: float
    blur_sd: float
    output: dict[str, float]
    blur: dict[str, float]
    footprints: tuple[Footprint, Footprint] | None = None

    @property
    def matched(self) -> bool:
        """Whether the blur leaves the output's residual sd (within 5 %)."""
        return self.blur_sd <= 1.05 * self.sd

    def ratios(self) -> dict[str, float]:
        return {k: self.output[k] / self.blur[k] if self.blur[k] > 0.0 else math.nan for k in MEASURES}

    def worse(self) -> list[str]:
        """The measures on which the output is worse than the blur: above it, and above a
        Gaussian texture (1), by more than ``TOLERANCE`` (a blur may score below 1, e.g. where
        it averages the quantisation of the input away)."""
        return [k for k, r in self.ratios().items() if r > TOLERANCE and self.output[k] > TOLERANCE]


def judge(
    case: Case,
    noisy: Volume,
    output: Volume,
    settings: Settings,
    shape: tuple[int, int, int, int, int],
    channel: int | None,
    montages: Path | None,
) -> tuple[Judgement, Volume, Mask]:
    """The judgement of one channel's `output` (made with `settings` on an image of the (T, C, Z,
    Y, X) `shape`), and the blur and background it was judged with."""
    mask = np.ones(noisy.shape, bool) if case.flat else background(noisy)
    level = trend(noisy, mask, case.flat)
    sd = residual_sd(output - level, mask)
    blur, sigma = matched_blur(noisy, level, mask, sd)
    stage, grid = lattices(settings, shape)
    judgement = Judgement(
        case.name,
        channel,
        sigma,
        sd,
        residual_sd(blur - level, mask),
        measures(output, level, mask, stage, grid),
        measures(blur, level, mask, stage, grid),
    )
    if montages is not None:
        middle = noisy.shape[0] // 2
        planes = {"input": noisy[middle], "output": output[middle], "blur": blur[middle]}
        title = (
            f"{case.name}{f' channel {channel}' if channel is not None else ''}: {describe(settings)}"
            f"; blur sigma {sigma:.2f}, residual sd {sd:.3g}"
        )
        texture_montage.save(montages / texture_montage.file_name(case.name, channel), title, planes, mask[middle])
        for side in ZOOM:
            corner = texture_montage.hotspot(planes["output"], planes["blur"], mask[middle], side)
            if corner is not None:
                break
        if corner is not None:
            crop = np.s_[corner[0] : corner[0] + side, corner[1] : corner[1] + side]
            texture_montage.save(
                montages / texture_montage.file_name(case.name, channel, "zoom"),
                f"{title}; at Y {corner[0]}, X {corner[1]}",
                {k: v[crop] for k, v in planes.items()},
                mask[middle][crop],
            )
    return judgement, blur, mask


def judge_defect(
    case: Case,
    judgement: Judgement,
    noisy: Volume,
    output: Volume,
    denoiser: Denoiser,
    label: str,
    montages: Path | None,
) -> Judgement:
    """`judgement` with the footprints of the case's defect: the result of `denoiser` (the run
    that made `output`, with the same model and settings) on the image with the defect, less
    `output`; the same for the blur. `label` names the run in the montages' titles."""
    assert case.defect is not None
    defective = case.defect.applied(case.image)
    with_defect = next(volumes(denoiser(defective), case.axes))
    noisy_defect = next(volumes(defective, case.axes))
    marks = np.zeros(case.image.shape, bool)
    for index in case.defect.where:
        marks[index] = True
    where = next(volumes(marks, case.axes)) > 0.5
    deviation = float(np.mean((noisy_defect - noisy)[where]))
    change = with_defect - output
    blur_change = blurred(noisy_defect, judgement.sigma, True) - blurred(noisy, judgement.sigma, True)
    footprints = (
        footprint(change, where, deviation, judgement.sd),
        footprint(blur_change, where, deviation, judgement.sd),
    )
    if montages is not None:
        d, y, x = (int(i[0]) for i in np.nonzero(where))
        crop = np.s_[max(0, y - 20) : y + 20, max(0, x - 20) : x + 20]
        blur = blurred(noisy_defect, judgement.sigma, True)
        planes = {"input": noisy_defect[d][crop], "output": with_defect[d][crop], "blur": blur[d][crop]}
        title = f"{case.name}: {label}; blur sigma {judgement.sigma:.2f}"
        texture_montage.save(
            montages / texture_montage.file_name(case.name, None, "yx"),
            title,
            planes,
            np.ones(planes["input"].shape, bool),
        )
        if noisy.shape[0] > 1:
            planes = {"input": noisy_defect[:, y, :], "output": with_defect[:, y, :], "blur": blur[:, y, :]}
            texture_montage.save(
                montages / texture_montage.file_name(case.name, None, "zx"),
                title + " (Z-X slice)",
                planes,
                np.ones(planes["input"].shape, bool),
            )
    return dataclasses.replace(judgement, footprints=footprints)


def judge_case(case: Case, montages: Path | None) -> tuple[Run, list[Judgement]]:
    """The default run on a case and the judgement of each of its channels."""
    run = default_run(case.image, case.axes)
    return run, judge_output(case, run.output, run.settings, run.shape, replay(case, run), montages)


def replay(case: Case, run: Run) -> Denoiser:
    """The default run's model and settings, to run on the image with its defect."""
    return lambda image: run_with(image, case.axes, run.model, run.settings)


def judge_output(
    case: Case,
    output: Image,
    settings: Settings,
    shape: tuple[int, int, int, int, int],
    denoiser: Denoiser,
    montages: Path | None,
) -> list[Judgement]:
    """The judgement of every channel of a result of `settings` on the case's image; `denoiser`
    makes that result again on another image (for a defect's footprint)."""
    pairs = list(zip(volumes(case.image, case.axes), volumes(output, case.axes), strict=True))
    judgements = []
    for c, (noisy, result) in enumerate(pairs):
        judgement, _, _ = judge(case, noisy, result, settings, shape, c if len(pairs) > 1 else None, montages)
        if case.defect is not None:
            judgement = judge_defect(case, judgement, noisy, result, denoiser, describe(settings), montages)
        judgements.append(judgement)
    return judgements


def _number(value: float) -> str:
    return "–" if not math.isfinite(value) else f"{value:.2f}"


def print_judgement(judgement: Judgement) -> None:
    channel = f", channel {judgement.channel}" if judgement.channel is not None else ""
    unmatched = "" if judgement.matched else f" (no blur is as smooth: the smoothest leaves {judgement.blur_sd:.3g})"
    print(f"\n{judgement.case}{channel}: residual sd {judgement.sd:.3g}, blur sigma {judgement.sigma:.2f}{unmatched}\n")
    print("| measure | output | blur | ratio |\n|---|---|---|---|")
    ratios, worse = judgement.ratios(), judgement.worse()
    for k in MEASURES:
        mark = " **worse**" if k in worse else ""
        print(f"| {k} | {_number(judgement.output[k])} | {_number(judgement.blur[k])} | {_number(ratios[k])}{mark} |")
    if judgement.footprints is not None:
        out, blur = judgement.footprints
        print("\n| footprint | output | blur |\n|---|---|---|")
        print(f"| samples above the residual sd | {out.area} | {blur.area} |")
        print(f"| ringing (opposite sign, residual sds) | {out.ringing:.2f} | {blur.ringing:.2f} |")
        print(f"| planes, rows, columns reached | {out.extent} | {blur.extent} |")
        print(f"| share of the defect kept | {out.kept:.3f} | {blur.kept:.3f} |")


def print_summary(judgements: list[Judgement]) -> None:
    print(f"\n## Ratio to the blur of the same noise reduction (worse above {TOLERANCE})\n")
    print("| case | blur sigma | " + " | ".join(MEASURES) + " | worse on |")
    print("|---|---|" + "---|" * len(MEASURES) + "---|")
    for j in judgements:
        name = j.case + (f" c{j.channel}" if j.channel is not None else "")
        ratios = j.ratios()
        print(
            f"| {name} | {j.sigma:.2f}{'' if j.matched else ' (unmatched)'} | "
            + " | ".join(_number(ratios[k]) for k in MEASURES)
            + f" | {', '.join(j.worse()) or '–'} |"
        )
    footprints = [j for j in judgements if j.footprints is not None]
    if footprints:
        print("\n| bad pixel | area output / blur | ringing output / blur | extent (D, Y, X) output / blur |")
        print("|---|---|---|---|")
        for j in footprints:
            assert j.footprints is not None
            out, blur = j.footprints
            print(
                f"| {j.case} | {out.area} / {blur.area} | {out.ringing:.2f} / {blur.ringing:.2f} | "
                f"{out.extent} / {blur.extent} |"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", default="", help="only the cases whose name holds this text")
    parser.add_argument("--synthetic", action="store_true", help="leave out the real images")
    parser.add_argument("--no-montages", action="store_true", help="write no PNG files")
    args = parser.parse_args()
    cases = flat_cases() + defect_cases() + ([] if args.synthetic else real_cases())
    cases = [c for c in cases if args.only in c.name]
    montages = None if args.no_montages else MONTAGES
    start = time.perf_counter()
    judgements: list[Judgement] = []
    for case in cases:
        began = time.perf_counter()
        run, found = judge_case(case, montages)
        shape = " x ".join(map(str, case.image.shape))
        print(f"\n### {case.name} ({case.axes} {shape}): {describe(run.settings)}; {time.perf_counter() - began:.1f} s")
        for judgement in found:
            print_judgement(judgement)
        judgements.extend(found)
    print_summary(judgements)
    worse = sum(1 for j in judgements if j.worse())
    print(
        f"\n{len(judgements)} backgrounds, {worse} worse than the blur on some measure; "
        f"{time.perf_counter() - start:.0f} s" + (f"; montages in {montages}" if montages else "")
    )


if __name__ == "__main__":
    main()
