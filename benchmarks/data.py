"""The data the benchmarks run on, made or found in one place.

Synthetic scenes come with their clean versions and a known noise (:class:`Case`); the real
images are the files of the shared data folder beside the checkout (``../shared/data``,
which ``tools/py314`` mounts beside the checkout too), each with its axes (:data:`REAL`).
Functions that list real images return only the files present, so every benchmark runs,
with fewer rows, where the folder is absent.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import pxvorel

if TYPE_CHECKING:
    import zarr

    from pxvorel.demo import Scene

ROOT = Path(__file__).resolve().parents[1]
#: The shared folder beside the checkout: reference vectors (``vectors/``) and real images (``data/``).
SHARED = ROOT.parent / "shared"
DATA = SHARED / "data"
VECTORS = SHARED / "vectors"

Array = npt.NDArray[np.float32]


# ---------------------------------------------------------------- synthetic scenes


def smooth_scene(shape: tuple[int, ...], seed: int, drift: float = 0.0) -> Array:
    """Blobs, filaments and a gentle background, 10 to about 200; the first axis of a 3-D
    shape is depth (blobs vary along it) or, with `drift`, time (blobs move)."""
    rng = np.random.default_rng(seed)
    planes, height, width = (1, *shape) if len(shape) == 2 else shape
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    blobs = [
        (
            rng.uniform(0, width),
            rng.uniform(0, height),
            rng.uniform(0, planes),
            rng.uniform(3, 12),
            rng.uniform(40, 150),
            rng.uniform(-1, 1),
            rng.uniform(-1, 1),
        )
        for _ in range(height * width // 900)
    ]
    lines = [(rng.uniform(0, np.pi), rng.uniform(0, width), rng.uniform(20, 60)) for _ in range(6)]
    scene = np.empty((planes, height, width), np.float32)
    for p in range(planes):
        plane = 20.0 + 10.0 * (x / width) + 5.0 * np.sin(y / 40.0)
        for bx, by, bz, radius, peak, vx, vy in blobs:
            cx, cy = bx + drift * vx * p, by + drift * vy * p
            depth = 1.0 if drift else np.exp(-((p - bz) ** 2) / 8.0)
            plane += peak * depth * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * radius**2))
        for angle, offset, peak in lines:
            distance = x * np.cos(angle) + y * np.sin(angle) - offset - (drift * p)
            plane += peak * np.exp(-(distance**2) / 2.0)
        scene[p] = plane
    return scene[0] if len(shape) == 2 else scene


def wave_image(shape: tuple[int, ...], sigma: float, seed: int = 0) -> Array:
    """A smooth wave over Y and X, rising along the other axes, plus Gaussian noise of `sigma`."""
    axes = np.meshgrid(*(np.linspace(0.0, 1.0, n, dtype=np.float32) for n in shape), indexing="ij")
    clean = 60.0 + 30.0 * np.sin(6.0 * axes[-1]) * np.cos(5.0 * axes[-2])
    for axis in axes[:-2]:
        clean = clean + 10.0 * axis
    noise = np.random.default_rng(seed).normal(0.0, sigma, size=shape)
    return (clean + noise).astype(np.float32)


def blob_image(seed: int = 8) -> npt.NDArray[np.float64]:
    """One bright blob on a background, 64 x 64, with noise of variance 2 x clean + 20."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:64, 0:64]
    clean = 20.0 + 280.0 * np.exp(-((y - 30.0) ** 2 + (x - 25.0) ** 2) / 200.0)
    image: npt.NDArray[np.float64] = clean + rng.normal(0.0, 1.0, clean.shape) * np.sqrt(2.0 * clean + 20.0)
    return image


def flat_counts(photons: float, shape: tuple[int, ...] = (8, 96, 96)) -> Array:
    """Poisson counts of a flat field of `photons` per pixel (gain 1, no offset)."""
    return np.random.default_rng(int(photons * 100)).poisson(photons, shape).astype(np.float32)


def flat_noise(shape: tuple[int, ...], mean: float, sigma: float, seed: int = 0) -> Array:
    """Gaussian noise of `sigma` around `mean`, float32."""
    image = np.random.default_rng(seed).standard_normal(shape, dtype=np.float32)
    image *= sigma
    image += mean
    return image


def gaussian_noise(clean: np.ndarray, sigma: float | np.ndarray, rng: np.random.Generator) -> Array:
    """`clean` plus Gaussian noise of `sigma` (a number, or one per channel broadcast against it)."""
    return (clean + rng.normal(0.0, 1.0, clean.shape) * sigma).astype(np.float32)


def poisson_gaussian_noise(clean: np.ndarray, gain: float, read: float, rng: np.random.Generator) -> Array:
    """Camera counts of `clean` (in ADU): photons at `gain` ADU each, plus read noise of `read`."""
    photons = rng.poisson(clean / gain).astype(np.float32)
    return (gain * photons + rng.normal(0.0, read, clean.shape)).astype(np.float32)


def demo_series(frames: int = 24, size: int = 256) -> Scene:
    """The demo's time series (moving cells, filaments and vesicles with camera noise; its
    ``clean`` and ``noisy`` arrays), as ``pxvorel demo`` makes it."""
    from pxvorel.demo import synthetic_series

    return synthetic_series(frames, size)


def counts_block(block_info: dict[Any, Any] | None = None) -> npt.NDArray[np.uint16]:
    """Poisson counts of a smooth volume (gain 2, offset 100) for one dask chunk of it: each
    chunk draws from a generator seeded by its position, so the volume is the same whatever
    computes it."""
    assert block_info is not None
    (z0, z1), (y0, y1), (x0, x1) = block_info[None]["array-location"]
    z, y, x = np.meshgrid(np.arange(z0, z1), np.arange(y0, y1), np.arange(x0, x1), indexing="ij", sparse=True)
    clean = 200.0 + 150.0 * np.sin(x / 37.0) * np.cos(y / 23.0) + 50.0 * np.sin(z / 11.0)
    rng = np.random.default_rng(z0 * 1_000_003 + y0 * 1009 + x0)
    return (100 + 2 * rng.poisson(clean / 2.0)).astype(np.uint16)


def counts_volume(path: Path, shape: tuple[int, int, int], chunks: tuple[int, int, int]) -> zarr.Array:
    """A uint16 Zarr volume of :func:`counts_block` at `path`, written chunk by chunk."""
    import dask.array as da
    import zarr

    lazy = da.map_blocks(counts_block, chunks=da.core.normalize_chunks(chunks, shape), dtype=np.uint16)
    target = zarr.open_array(str(path), mode="w", shape=shape, chunks=chunks, dtype=np.uint16)
    da.store(lazy, target, lock=False)
    return target


# ---------------------------------------------------------------- cases with a clean version


@dataclass
class Case:
    """Clean and noisy data (T, C, Z, Y, X with leading ones dropped) and its known noise."""

    name: str
    clean: Array
    noisy: Array
    axes: str
    """The package's axes letters of the arrays."""
    sigma: list[float]
    """Per channel; for Poisson-Gaussian noise the read-noise sd."""
    gain: float = 0.0
    """Above 0: Poisson-Gaussian noise of variance gain x clean + sigma**2."""
    patch: list[int] = field(default_factory=lambda: [3, 3, 0, 0, 0])
    """The native module's patch radius (x, y, z, c, t) for this data."""

    @property
    def slices(self) -> int:
        return int(np.prod(self.clean.shape[:-2]))

    @property
    def noise(self) -> pxvorel.NoiseModel:
        """The known noise as the package's model."""
        if self.gain > 0:
            return pxvorel.NoiseModel(gain=[self.gain], offset=[self.sigma[0] ** 2])
        return pxvorel.NoiseModel.gaussian(self.sigma)

    def engine_shape(self) -> tuple[int, int, int, int, int]:
        """The data's (T, C, Z, Y, X) shape as the package hands it to the engine."""
        shape = dict(zip(self.axes, self.clean.shape, strict=True))
        t, c, z, y, x = (shape.get(a, 1) for a in "TCZYX")
        return t, c, z, y, x


def benchmark_cases(quick: bool) -> list[Case]:
    """The benchmarks' four kinds of data: a 2-D image, three channels of different noise, a
    z-stack and a Poisson-Gaussian time-lapse (smaller with `quick`)."""
    rng = np.random.default_rng(1)
    side = 256 if quick else 512
    small = 128 if quick else 256
    depth, frames = (8, 6) if quick else (32, 10)
    plane = smooth_scene((side, side), 2)
    # Co-localised stains: one scene at three brightnesses.
    channels = np.stack([smooth_scene((small, small), 3) * k for k in (1.0, 0.6, 1.4)])
    sigmas = np.array([10.0, 20.0, 5.0], np.float32).reshape(3, 1, 1)
    stack = smooth_scene((depth, small, small), 6)
    movie = smooth_scene((frames, small, small), 7, drift=1.5) * 4.0  # photons x gain 2: up to ~1600 ADU
    gain, read = 2.0, 4.0
    movie_noisy = poisson_gaussian_noise(movie, gain, read, rng)  # drawn first: the other noise follows it
    return [
        Case(f"2-D {side}², σ 25", plane, gaussian_noise(plane, 25.0, rng), "YX", [25.0]),
        Case(
            f"3 channels {small}², σ 10/20/5", channels, gaussian_noise(channels, sigmas, rng), "CYX", [10.0, 20.0, 5.0]
        ),
        Case(
            f"stack {depth}×{small}², σ 15, z radius 1",
            stack,
            gaussian_noise(stack, 15.0, rng),
            "ZYX",
            [15.0],
            patch=[3, 3, 1, 0, 0],
        ),
        Case(
            f"time-lapse {frames}×{small}², Poisson-Gaussian, t radius 1",
            movie,
            movie_noisy,
            "TYX",
            [read],
            gain=gain,
            patch=[3, 3, 0, 0, 1],
        ),
    ]


def with_sigma(case: Case, sigma: float, seed: int) -> Case:
    """A Gaussian `case` again with noise of `sigma`, drawn from `seed`."""
    noisy = gaussian_noise(case.clean, sigma, np.random.default_rng(seed))
    name = case.name.replace(f"σ {case.sigma[0]:g}", f"σ {sigma:g}")
    return Case(name, case.clean, noisy, case.axes, [sigma], patch=case.patch)


def camera_cases() -> list[Case]:
    """scikit-image's camera image with Gaussian noise of sigma 25 and 10 (none without scikit-image)."""
    try:
        from skimage import data as images
    except ImportError:
        return []
    clean = images.camera().astype(np.float32)
    rng = np.random.default_rng(5)
    return [
        Case(f"camera 512², σ {s}", clean, gaussian_noise(clean, float(s), rng), "YX", [float(s)]) for s in (25, 10)
    ]


def channel_cases(side: int) -> list[Case]:
    """Three co-localised channels of noise 10/20/5 and two unrelated channels of noise 10."""
    rng = np.random.default_rng(1)
    same = np.stack([smooth_scene((side, side), 3) * k for k in (1.0, 0.6, 1.4)])
    unrelated = np.stack([smooth_scene((side, side), 4), smooth_scene((side, side), 11) * 0.5])
    cases = []
    for name, clean, sigma in (
        (f"3 co-localised channels {side}², σ 10/20/5", same, [10.0, 20.0, 5.0]),
        (f"2 unrelated channels {side}², σ 10/10", unrelated, [10.0, 10.0]),
    ):
        noisy = gaussian_noise(clean, np.array(sigma).reshape(-1, 1, 1), rng)
        cases.append(Case(name, clean, noisy, "CYX", sigma))
    return cases


def size_cases(quick: bool, sigma: float = 15.0) -> list[Case]:
    """Planes and stacks of growing size with Gaussian noise of `sigma`, named by their shape."""
    rng = np.random.default_rng(3)
    planes = [(n, n) for n in ((128, 256, 512) if quick else (256, 512, 1024, 2048))]
    stacks = [(d, 128, 128) for d in ((4, 8, 16) if quick else (8, 32, 128))]
    cases = []
    for shape in planes + stacks:
        clean = smooth_scene(shape, 9)
        flat = len(shape) == 2
        cases.append(
            Case(
                "×".join(map(str, shape)),
                clean,
                gaussian_noise(clean, sigma, rng),
                "YX" if flat else "ZYX",
                [sigma],
                patch=[3, 3, 0, 0, 0] if flat else [3, 3, 1, 0, 0],
            )
        )
    return cases


# ---------------------------------------------------------------- real images


@dataclass(frozen=True)
class RealImage:
    """A file of the shared data folder and its axes."""

    file: str
    axes: str

    @property
    def path(self) -> Path:
        return DATA / self.file

    @property
    def name(self) -> str:
        return self.file.removesuffix(".tif")

    def exists(self) -> bool:
        return self.path.exists()

    def read(self) -> pxvorel.ImageFile:
        """The image through the package's reader, with these axes."""
        return pxvorel.read_image(self.path, axes=self.axes)

    def partner(self) -> RealImage | None:
        """The high-SNR (or averaged) image of the same field for a low-SNR (or raw) one, when present."""
        for noisy, clean in (("_lowsnr_", "_highsnr_"), ("_raw_", "_avg50_")):
            if noisy in self.file:
                other = RealImage(self.file.replace(noisy, clean), self.axes)
                return other if other.exists() else None
        return None


#: Every real image with its axes (tifffile's "Q" of the cancer cell series is time).
REAL = tuple(
    RealImage(f, a)
    for f, a in (
        ("2d_er_exit_sites_noisy_u16.tif", "YX"),
        ("2d_nuclei_dsb2018_u16.tif", "YX"),
        ("2d_microtubules_u16.tif", "YX"),
        ("2d_motors_on_microtubules_u16.tif", "YX"),
        ("2d_nuclei_with_background_u16.tif", "YX"),
        ("2dc_hela_dna_tubulin_actin_3ch_u16.tif", "CYX"),
        ("2dc_u2os_bbbc022_3ch_u16.tif", "CYX"),
        ("2dc_nuclei_golgi_u16.tif", "CYX"),
        ("3d_golgi_bfa_u16.tif", "ZYX"),
        ("3d_nuclear_envelope_drosophila_u8.tif", "ZYX"),
        ("3dc_spots_2ch_u16.tif", "ZCYX"),
        ("2dt_cancer_cell_nuclei_48frames_u16.tif", "TYX"),
        ("2dt_nuclei_mitocheck_30frames_u8.tif", "TYX"),
        ("pair_nucleus_lowsnr_u8.tif", "YX"),
        ("pair_nucleus_highsnr_u8.tif", "YX"),
        ("pair_mito_confocal_lowsnr_u8.tif", "YX"),
        ("pair_mito_confocal_highsnr_u8.tif", "YX"),
        *(
            (f"pair_fmd_{name}_{kind}_u8.tif", "YX")
            for name in ("widefield_bpae_nuclei", "widefield_bpae_mito", "confocal_bpae_nuclei", "twophoton_bpae_actin")
            for kind in ("raw", "avg50")
        ),
    )
)
_BY_FILE = {image.file: image for image in REAL}
#: The noisy/clean pairs the quality benchmarks score against by default.
PAIRS = ("nucleus", "mito_confocal")


def real_image(file: str) -> RealImage:
    """The catalogued image of that file name."""
    return _BY_FILE[file]


def present(files: Iterable[str]) -> list[RealImage]:
    """The catalogued images of these file names that are present, in the order given."""
    return [image for image in map(real_image, files) if image.exists()]


def real_pairs(names: Iterable[str] = PAIRS) -> list[tuple[str, RealImage, RealImage]]:
    """(name, low-SNR image, high-SNR image) of the pairs ``pair_NAME_lowsnr`` / ``_highsnr`` present."""
    found = []
    for name in names:
        low, high = (real_image(f"pair_{name}_{snr}_u8.tif") for snr in ("lowsnr", "highsnr"))
        if low.exists() and high.exists():
            found.append((name, low, high))
    return found


def image_files(folder: Path = DATA) -> list[Path]:
    """The TIFF files of a folder (the real images by default), sorted; none when it is absent."""
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir() if p.suffix.lower() in (".tif", ".tiff"))


def axes_of(path: Path) -> str:
    """The axes of a TIFF file: catalogued, else tifffile's with its letters for samples (S) and
    unnamed sequences (Q, I) read as C and T."""
    known = _BY_FILE.get(path.name)
    if known is not None and path.parent.resolve() == DATA.resolve():
        return known.axes
    import tifffile

    with tifffile.TiffFile(path) as tif:
        axes = tif.series[0].axes
    return "".join({"S": "C", "Q": "T", "I": "T"}.get(a, a) for a in axes)
