"""What microscopists put into their TIFF files besides the samples (ImageJ's colour tables,
display ranges, labels and notes; OME's names and the rest of its metadata; every series)
is read with the image and written back with the result."""

from __future__ import annotations

import dataclasses
import logging
import xml.etree.ElementTree as ET

import numpy as np
import pytest
import tifffile

from pxvorel.io import read_image, series_count, write_image
from pxvorel.io.details import IMAGEJ_KEYS, lut_of_color

COLORS = ("FF0000", "00FF00", "FF00FF")
IMAGEJ = {
    "Ranges": (0.0, 10.0, 5.0, 20.0, 1.0, 2.0),
    "Labels": [f"z{z} c{c}" for z in range(2) for c in range(3)],
    "Info": "objective 60x/1.4 oil\nexposure 100 ms",
    "Properties": {"stain": "DAPI"},
    "mode": "color",
}
OME = "http://www.openmicroscopy.org/Schemas/OME/2016-06"
DATA = np.random.default_rng(3).integers(0, 4000, (2, 3, 8, 10)).astype(np.uint16)

# Two images, the first with an instrument, a description, channel names and colours,
# plane positions and an annotation: what an acquisition program writes.
OME_XML = f"""<?xml version="1.0" encoding="UTF-8"?>
<OME xmlns="{OME}" UUID="urn:uuid:00000000-0000-0000-0000-000000000001" Creator="microscope 1.0">
<Instrument ID="Instrument:0"><Objective ID="Objective:0" NominalMagnification="60" LensNA="1.4"/></Instrument>
<Image ID="Image:0" Name="well A1"><AcquisitionDate>2026-01-02T03:04:05</AcquisitionDate>
<Description>HeLa, fixed</Description><InstrumentRef ID="Instrument:0"/>
<Pixels ID="Pixels:0" DimensionOrder="XYCZT" Type="uint16" SignificantBits="12" SizeX="10" SizeY="8" SizeC="3"
 SizeZ="2" SizeT="1" PhysicalSizeX="0.1" PhysicalSizeY="0.1" PhysicalSizeZ="0.5">
<Channel ID="Channel:0:0" Name="DAPI" Color="-16776961" SamplesPerPixel="1" EmissionWavelength="460"/>
<Channel ID="Channel:0:1" Name="GFP" Color="16711935" SamplesPerPixel="1"/>
<Channel ID="Channel:0:2" Name="mCherry" Color="-16711681" SamplesPerPixel="1"/>
<TiffData IFD="0" PlaneCount="6"/>
{"".join(f'<Plane TheZ="{z}" TheC="{c}" TheT="0" ExposureTime="0.1"/>' for z in range(2) for c in range(3))}
</Pixels></Image>
<Image ID="Image:1" Name="overview"><Pixels ID="Pixels:1" DimensionOrder="XYCZT" Type="uint16" SizeX="10" SizeY="8"
 SizeC="1" SizeZ="1" SizeT="1"><Channel ID="Channel:1:0" SamplesPerPixel="1"/><TiffData IFD="6" PlaneCount="1"/>
</Pixels></Image>
<StructuredAnnotations><MapAnnotation ID="Annotation:0"><Value><M K="operator">A. N. Other</M></Value></MapAnnotation>
</StructuredAnnotations>
</OME>"""


@pytest.fixture
def imagej_file(tmp_path):
    path = tmp_path / "cells.tif"
    luts = [lut_of_color(c) for c in COLORS]
    tifffile.imwrite(path, DATA, imagej=True, metadata={"axes": "ZCYX", "LUTs": luts, **IMAGEJ}, resolution=(10, 10))
    return path


@pytest.fixture
def ome_file(tmp_path):
    path = tmp_path / "plate.ome.tif"
    with tifffile.TiffWriter(path) as tif:
        tif.write(DATA, photometric="minisblack", description=OME_XML, metadata=None)
        tif.write(DATA[0, 0], photometric="minisblack", metadata=None)
    return path


def _fields(xml: str) -> set[tuple[str, tuple[tuple[str, str], ...], str]]:
    """Every element of an OME-XML document but the pixel storage, as (tag, attributes, text);
    the document's UUID, the sample type and the units (written out as µm) left out."""
    root = ET.fromstring(xml)
    ignored = {"UUID", "Type", "SignificantBits", *(f"PhysicalSize{a}Unit" for a in "XYZ")}
    return {
        (e.tag, tuple(sorted((k, v) for k, v in e.attrib.items() if k not in ignored)), (e.text or "").strip())
        for e in root.iter()
        if not e.tag.endswith(("}TiffData", "}OME"))
    }


@pytest.mark.parametrize(
    ("dtype", "compression", "tag"), [(np.uint16, None, 1), (np.float32, "zlib", 8), (np.uint16, "zstd", 50000)]
)
def test_imagej_colour_tables_ranges_labels_and_info_are_written_back(imagej_file, tmp_path, dtype, compression, tag):
    image = read_image(imagej_file)
    assert image.details.channel_colors == COLORS
    assert image.details.windows == ((0.0, 10.0), (5.0, 20.0), (1.0, 2.0))
    out = tmp_path / "out.tif"
    write_image(out, dataclasses.replace(image, data=image.data.astype(dtype)), compression=compression)
    with tifffile.TiffFile(out) as tif:
        meta = tif.imagej_metadata
        assert tif.pages.first.compression == tag and tif.series[0].dtype == dtype
        np.testing.assert_array_equal(tif.series[0].asarray(), DATA.astype(dtype))
    assert {key: meta[key] for key in IMAGEJ} == IMAGEJ
    np.testing.assert_array_equal(np.stack(meta["LUTs"]), np.stack([lut_of_color(c) for c in COLORS]))
    assert read_image(out).spacing == pytest.approx({"X": 0.1, "Y": 0.1})


@pytest.mark.parametrize(
    "name", ["2d_er_exit_sites_noisy_u16.tif", "3d_nuclear_envelope_drosophila_u8.tif", "3dc_spots_2ch_u16.tif"]
)
def test_real_imagej_files_keep_their_fields(real_image, tmp_path, name):
    image = read_image(real_image(name))
    write_image(tmp_path / name, dataclasses.replace(image, data=image.data.astype(np.float32)))
    with tifffile.TiffFile(real_image(name)) as source, tifffile.TiffFile(tmp_path / name) as written:
        before, after = source.imagej_metadata, written.imagej_metadata
    kept = [key for key in IMAGEJ_KEYS if key in before and key != "LUTs"]
    assert kept and {key: after.get(key) for key in kept} == {key: before[key] for key in kept}
    assert len(after.get("LUTs", ())) == len(before.get("LUTs", ()))
    assert read_image(tmp_path / name).spacing == pytest.approx(image.spacing)


def test_ome_metadata_is_kept_and_only_the_sample_type_changes(ome_file, tmp_path):
    image = read_image(ome_file, series=0)
    assert (image.details.name, image.details.channel_names) == ("well A1", ("DAPI", "GFP", "mCherry"))
    assert image.details.channel_colors == ("FF0000", "00FF00", "FF00FF")
    out = tmp_path / "out.ome.tif"
    write_image(out, dataclasses.replace(image, data=image.data.astype(np.float32)), compression="zlib")
    with tifffile.TiffFile(out) as tif:
        written = tif.ome_metadata
        np.testing.assert_array_equal(tif.series[0].asarray(), DATA.astype(np.float32))
    source = ET.fromstring(OME_XML)
    source.remove(source.findall(f"{{{OME}}}Image")[1])
    assert _fields(written) == _fields(ET.tostring(source, encoding="unicode"))
    pixels = ET.fromstring(written).find(f"{{{OME}}}Image/{{{OME}}}Pixels")
    assert pixels.get("Type") == "float" and "SignificantBits" not in pixels.attrib
    assert [(t.get("IFD"), t.get("PlaneCount")) for t in pixels.iter(f"{{{OME}}}TiffData")] == [("0", "6")]
    again = read_image(out)
    assert again.details.channel_names == image.details.channel_names and again.spacing == image.spacing


def test_ome_metadata_that_no_longer_fits_leaves_the_names(ome_file, tmp_path, caplog):
    image = read_image(ome_file, series=0)
    swapped = dataclasses.replace(image, data=np.swapaxes(image.data, 0, 1), axes="CZYX")  # planes in another order
    with caplog.at_level(logging.WARNING):
        write_image(tmp_path / "out.ome.tif", swapped)
    assert "does not fit" in caplog.text
    written = read_image(tmp_path / "out.ome.tif")
    assert (written.details.name, written.details.channel_names) == ("well A1", ("DAPI", "GFP", "mCherry"))
    assert written.details.channel_colors == ("FF0000", "00FF00", "FF00FF")
    assert "Objective" not in written.details.ome_xml


def test_every_series_can_be_read_and_none_is_dropped_silently(ome_file, caplog):
    assert series_count(ome_file) == 2
    second = read_image(ome_file, series=1)
    assert (second.axes, second.details.name) == ("YX", "overview")
    np.testing.assert_array_equal(second.data, DATA[0, 0])
    with caplog.at_level(logging.WARNING):
        assert read_image(ome_file).details.name == "well A1"
    assert "holds 2 series" in caplog.text
    with pytest.raises(ValueError, match=r"holds 2 series .* no series 2"):
        read_image(ome_file, series=2)
