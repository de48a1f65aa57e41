"""The lab's own data replayed: a BIDS run with its events, DICOM series
(Debian's nibabel test files and a series written here with pydicom) and a
Philips PAR/REC phantom.  The voxel values the host serves, through
"tGetValueOfVoxelAtTime" and the raw-volume request, equal nibabel's reading
of the same files; the conditions of events.tsv come through the protocol;
each bad input ends the simulator with one line naming the file and the key
or line that is wrong.
"""

import gzip
import json
import os
import shutil
import subprocess
import sys
import warnings

import numpy
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "clients", "python"))

import nibabel  # noqa: E402
import simulator  # noqa: E402
from nmbclient import Client, Subscription  # noqa: E402

pydicom = pytest.importorskip("pydicom")
NIBABEL_DATA = os.path.join(os.path.dirname(nibabel.__file__), "tests", "data")
NICOM_DATA = os.path.join(os.path.dirname(nibabel.__file__), "nicom", "tests", "data")

if shutil.which("dcm2niix") is None:
    pytest.skip("dcm2niix is not installed (Debian: dcm2niix)", allow_module_level=True)


def dicom_wrapper(path):
    from nibabel.nicom import dicomwrappers
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return dicomwrappers.wrapper_from_file(path)


def write_series(folder, volumes=3, rows=5, cols=6, slices=4, tr_ms=1500.0, series=5, descending=True):
    """A multi-volume series of single-slice MR images; slices written in
    descending position when asked, so that the converter has to sort them."""
    from pydicom.dataset import FileDataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, MRImageStorage, generate_uid
    os.makedirs(folder, exist_ok=True)
    data = numpy.random.default_rng(7).integers(0, 3000, size=(volumes, slices, rows, cols), dtype=numpy.uint16)
    study, uid, frame = generate_uid(), generate_uid(), generate_uid()
    number = 0
    for t in range(volumes):
        for k in range(slices):
            z = slices - 1 - k if descending else k
            number += 1
            meta = FileMetaDataset()
            meta.MediaStorageSOPClassUID = MRImageStorage
            meta.MediaStorageSOPInstanceUID = generate_uid()
            meta.TransferSyntaxUID = ExplicitVRLittleEndian
            ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
            ds.SOPClassUID, ds.SOPInstanceUID = MRImageStorage, meta.MediaStorageSOPInstanceUID
            ds.Modality, ds.Manufacturer, ds.PatientName, ds.PatientID = "MR", "SIEMENS", "Test", "1"
            ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.FrameOfReferenceUID = study, uid, frame
            ds.SeriesNumber, ds.AcquisitionNumber, ds.InstanceNumber = series, t + 1, number
            ds.StudyDate = ds.SeriesDate = "20240101"
            ds.StudyTime = ds.SeriesTime = "120000"
            ds.AcquisitionTime = "%09.2f" % (120000 + t * tr_ms / 1000.0)
            ds.ProtocolName = ds.SeriesDescription = "bold"
            ds.ImageType = ["ORIGINAL", "PRIMARY", "M", "ND"]
            ds.RepetitionTime, ds.EchoTime, ds.MagneticFieldStrength, ds.SliceThickness = tr_ms, 30.0, 3, 3.0
            ds.PixelSpacing, ds.ImageOrientationPatient = [2.0, 2.0], [1, 0, 0, 0, 1, 0]
            ds.ImagePositionPatient, ds.SliceLocation = [0.0, 0.0, 3.0 * z], 3.0 * z
            ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.PhotometricInterpretation = rows, cols, 1, "MONOCHROME2"
            ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
            ds.PixelData = data[t, z].tobytes()
            ds.is_little_endian, ds.is_implicit_VR = True, False
            ds.save_as(os.path.join(folder, "im%04d.dcm" % number), write_like_original=False)


def nibabel_series(folder):
    """The series as nibabel reads its files: each file's array (row, column)
    placed at its slice (by position) and volume."""
    wrappers = [dicom_wrapper(os.path.join(folder, name)) for name in sorted(os.listdir(folder))]
    positions = sorted({float(w.dcm_data.ImagePositionPatient[2]) for w in wrappers})
    volumes = sorted({int(w.dcm_data.AcquisitionNumber) for w in wrappers})
    first = wrappers[0].get_data()
    data = numpy.zeros(first.shape[:2] + (len(positions), len(volumes)), dtype=first.dtype)
    for w in wrappers:
        data[:, :, positions.index(float(w.dcm_data.ImagePositionPatient[2])),
             volumes.index(int(w.dcm_data.AcquisitionNumber))] = w.get_data().reshape(first.shape[:2])
    return data


def served(sim, expected, voxels):
    """Every volume by the raw-volume request, and the given voxels one by one,
    against `expected` (x, y, z, t)."""
    with Client("127.0.0.1", sim.port, timeout=10) as client:
        assert client.dims_of_functional_data() == expected.shape[:3]
        for t in range(expected.shape[3]):
            raw = numpy.asarray(client.raw_value_of_all_voxels_at_time(t))
            assert numpy.array_equal(raw, expected[..., t].ravel(order="F")), "volume %d" % t
            for x, y, z in voxels:
                assert client.value_of_voxel_at_time(x, y, z, t) == expected[x, y, z, t]


def replay(*options):
    """Runs the simulator on the replayed data until its run has ended."""
    return simulator.running("--start-on", "clients=1", "--tr-ms", 100, "--linger-ms", 20000, *options)


def follow(sim):
    with Subscription("127.0.0.1", sim.port, timeout=10) as sub:
        for step in sub.notifications(timeout=20):
            pass


def test_a_series_written_with_pydicom_replays_as_nibabel_reads_it(tmp_path):
    folder = str(tmp_path / "series")
    write_series(folder)
    expected = nibabel_series(folder)
    assert expected.shape == (5, 6, 4, 3)
    with replay("--dicom", folder) as sim:
        follow(sim)
        served(sim, expected, [(0, 0, 0), (4, 5, 3), (1, 3, 2)])
        assert "DICOM series 5 (bold)" in sim.log()


def test_the_siemens_mosaic_pair_and_the_philips_phantom_replay_as_nibabel_reads_them(tmp_path):
    folder = tmp_path / "mosaic"
    folder.mkdir()
    for name in ("siemens_dwi_0", "siemens_dwi_1000"):
        with gzip.open(os.path.join(NICOM_DATA, name + ".dcm.gz")) as packed:
            (folder / (name + ".dcm")).write_bytes(packed.read())
    mosaic = numpy.stack([dicom_wrapper(str(folder / (n + ".dcm"))).get_data()
                          for n in ("siemens_dwi_0", "siemens_dwi_1000")], axis=-1)
    with replay("--dicom", folder) as sim:
        follow(sim)
        served(sim, mosaic, [(0, 0, 0), (127, 127, 47)])

    par = os.path.join(NIBABEL_DATA, "phantom_EPI_asc_CLEAR_2_1.PAR")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        phantom = numpy.asarray(nibabel.load(par).dataobj.get_unscaled())
    assert phantom.shape == (64, 64, 9, 3) and phantom.any()
    with replay("--parrec", par) as sim:
        follow(sim)
        served(sim, phantom, [(0, 0, 0), (31, 40, 4), (63, 63, 8)])


def write_bids(root, events, sidecar=None):
    func = root / "sub-01" / "ses-a" / "func"
    func.mkdir(parents=True, exist_ok=True)
    data = numpy.arange(4 * 3 * 2 * 12, dtype=numpy.int16).reshape((4, 3, 2, 12), order="F")
    image = nibabel.Nifti1Image(data, numpy.eye(4))
    stem = func / "sub-01_ses-a_task-nf_run-01"
    nibabel.save(image, str(stem) + "_bold.nii.gz")
    (func / (stem.name + "_bold.json")).write_text(
        json.dumps({"RepetitionTime": 0.5, "TaskName": "nf", "SliceTiming": [0, 0.25]}) if sidecar is None
        else sidecar)
    if events is not None:
        (func / (stem.name + "_events.tsv")).write_text(events)
    return data


EVENTS = "onset\tduration\ttrial_type\tresponse\n1.0\t1.0\tup\t1\n2.2\tn/a\tdown\tn/a\n4.0\t1.5\tup\t2\n"
# Volume t spans [0.5 t, 0.5 (t + 1)) s; "down" has no duration and takes the
# volume it starts in.
CONDITIONS = [0, 0, 1, 1, 2, 0, 0, 0, 1, 1, 1, 0]
COVERED = {1: [2, 3, 8, 9, 10], 2: [4]}


def test_a_bids_run_serves_its_data_and_the_study_design(tmp_path):
    data = write_bids(tmp_path, EVENTS)
    with simulator.running("--bids", tmp_path, "--subject", "01", "--task", "nf", "--run", "1",
                           "--start-on", "clients=1", "--linger-ms", 20000) as sim:
        seen = {}
        with Client("127.0.0.1", sim.port, timeout=10) as client:
            with Subscription("127.0.0.1", sim.port, timeout=10) as sub:
                for step in sub.notifications(timeout=20):
                    if step.name == "PreStepCalled":
                        # The TR (0.5 s) leaves time to ask before the next volume.
                        condition = client.current_protocol_condition()
                        if client.current_time_point() == step.time_point:
                            seen[step.time_point] = condition
            design = [[client.value_of_design_matrix(p, t) for t in range(12)] for p in range(4)]
        log = sim.log()
        served(sim, data.astype(numpy.int16)[..., :12], [(3, 2, 1)])
    assert "conditions from" in log and "1 = up, 2 = down" in log and "TR 500 ms" in log
    assert len(seen) >= 9, seen
    assert all(CONDITIONS[t - 1] == c for t, c in seen.items()), seen
    # Each condition's predictor: its volumes convolved with the canonical
    # response, sampled at the TR and scaled to settle at 1.
    from math import exp, lgamma, log as ln
    gamma = lambda t, k: exp((k - 1) * ln(t) - t - lgamma(k)) if t > 0 else 0.0  # noqa: E731
    hrf = [gamma(s, 6) - gamma(s, 16) / 6 for s in numpy.arange(0, 32, 0.5)]
    hrf = numpy.array(hrf) / sum(hrf)
    for c, volumes in COVERED.items():
        on = numpy.zeros(12)
        on[volumes] = 1
        expected = numpy.convolve(on, hrf)[:12]
        assert numpy.allclose(design[c - 1], expected, atol=1e-6), (c, design[c - 1], expected)
    assert numpy.allclose(design[2], numpy.linspace(-1, 1, 12), atol=1e-6) and design[3] == [1.0] * 12


def bad_inputs(tmp_path):
    """(what, options, words of the one-line error)"""
    cases = []
    for name, events, sidecar, words in [
        ("no TR", EVENTS, '{"TaskName": "nf"}', ['_bold.json: no "RepetitionTime"']),
        ("TR not a number", EVENTS, '{"RepetitionTime": "2"}', ['"RepetitionTime" is not a number']),
        ("TR of 0", EVENTS, '{"RepetitionTime": 0}', ['"RepetitionTime" is 0,']),
        ("broken JSON", EVENTS, '{"RepetitionTime": 2,', ["_bold.json: not valid JSON at byte"]),
        ("no onset column", "start\tduration\ttrial_type\n1\t1\tup\n", None, ['events.tsv line 1: no "onset"']),
        ("no trial_type column", "onset\tduration\n1\t1\n", None, ['events.tsv line 1: no "trial_type"']),
        ("onset not a number", "onset\tduration\ttrial_type\n1\t1\tup\nsoon\t1\tup\n", None,
         ["events.tsv line 3: onset 'soon' is not a number"]),
        ("negative duration", "onset\tduration\ttrial_type\n1\t-1\tup\n", None,
         ["events.tsv line 2: duration '-1'"]),
        ("short row", "onset\tduration\ttrial_type\n1\t1\n", None, ["events.tsv line 2: 2 fields, the header has 3"]),
    ]:
        root = tmp_path / name.replace(" ", "-")
        write_bids(root, events, sidecar)
        cases.append((name, ["--bids", root], words))
    cases.append(("no run fits", ["--bids", tmp_path / "no-TR", "--task", "rest"], ["no *_bold.nii[.gz] in"]))
    two = tmp_path / "two-runs"
    write_bids(two, EVENTS)
    shutil.copy(next((two / "sub-01" / "ses-a" / "func").glob("*_bold.nii.gz")),
                two / "sub-01" / "ses-a" / "func" / "sub-01_ses-a_task-nf_run-02_bold.nii.gz")
    cases.append(("two runs fit", ["--bids", two], ["2 runs in", "run-01_bold.nii.gz", "run-02_bold.nii.gz"]))
    series = tmp_path / "two-series"
    write_series(str(series), volumes=2, series=5)
    write_series(str(series / "more"), volumes=1, series=7)
    cases.append(("two series", ["--dicom", series], ["holds 2 series: 5 (bold), 7 (bold); pick one with --series"]))
    cases.append(("series not there", ["--dicom", series, "--series", "9"], ["--series 9: ", "holds series 5"]))
    empty = tmp_path / "no-dicom"
    empty.mkdir()
    (empty / "notes.txt").write_text("not an image")
    cases.append(("no DICOM", ["--dicom", empty], ["dcm2niix found no image in"]))
    lone = tmp_path / "lone.PAR"
    shutil.copy(os.path.join(NIBABEL_DATA, "phantom_EPI_asc_CLEAR_2_1.PAR"), lone)
    cases.append(("PAR without REC", ["--parrec", lone], ["has no lone.REC beside it"]))
    cases.append(("not a PAR", ["--parrec", tmp_path / "image.nii"], ["is not a .PAR file"]))
    return cases


def test_each_bad_input_ends_the_simulator_with_one_line_naming_file_and_key(tmp_path):
    path = simulator.simulator_path()
    for what, options, words in bad_inputs(tmp_path):
        done = subprocess.run([path, "--exit-when-done", *map(str, options)], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 2, (what, done.stderr)
        lines = [line for line in done.stderr.splitlines() if "error:" in line]
        assert len(lines) == 1, (what, done.stderr)
        for word in words:
            assert word in lines[0], (what, lines[0])


def test_without_dcm2niix_one_line_says_what_to_install(tmp_path):
    path = simulator.simulator_path()
    write_series(str(tmp_path / "s"), volumes=1)
    done = subprocess.run([path, "--dicom", str(tmp_path / "s")], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, PATH=str(tmp_path)))
    assert done.returncode == 2
    assert "dcm2niix is not installed: install it (Debian: apt-get install dcm2niix" in done.stderr
