"""count_spikes against spktal --batch: the same result text, the same files where it is asked to
write them, and counts and latencies that are those of the files."""

import math
import pathlib

import numpy as np
import pytest

import ephys
from conftest import copy_into, program, run, synth


@pytest.fixture(scope="module")
def cell(tmp_path_factory):
    folder = tmp_path_factory.mktemp("spikes")
    return synth(folder, "cell_spikes_0001.abf", "--kind", "spikes", "--sweeps", "8", "--channels", "2",
                 "--seed", "6")


def batch(recording, settings, folder):
    copy = copy_into(folder, recording)
    args = [program("spktal"), "--batch", "--no-ini", "--quiet"]
    for label, value in settings.items():
        args += ["--set", f"{label}={value}"]
    done = run(args + [copy.name], cwd=folder)
    return done.stdout, copy


SETTINGS = {"Do Frequencies": "Y", "Interval to Measure": 2}


def test_files_and_result_text_are_the_batch_programs(cell, tmp_path):
    (tmp_path / "batch").mkdir()
    (tmp_path / "ours").mkdir()
    stdout, copy = batch(cell, SETTINGS, tmp_path / "batch")
    ours_copy = copy_into(tmp_path / "ours", cell)
    result = ephys.count_spikes(ours_copy, SETTINGS, output_dir=tmp_path / "ours")
    batch_files = sorted(p.name for p in (tmp_path / "batch").glob("*.prn"))
    assert batch_files and sorted(pathlib.Path(p).name for p in result["outputs"]) == batch_files
    for name in batch_files:
        ours = (tmp_path / "ours" / name).read_text().replace(str(tmp_path / "ours") + "/", "")
        assert ours == (tmp_path / "batch" / name).read_text(), name
    assert result["result_text"].replace(str(tmp_path / "ours") + "/", "").strip() == stdout.strip()


def latency_file_rows(path):
    rows = {}
    for line in path.read_text().splitlines()[2:]:
        cells = [c for c in line.split("\t") if c != ""]
        rows[int(cells[0])] = (int(cells[1]), [float(c) for c in cells[2:]])
    return rows


def test_counts_and_latencies_are_those_of_the_latency_files(cell, tmp_path):
    result = ephys.count_spikes(cell, SETTINGS, output_dir=tmp_path)
    assert list(result["channels"]) == [0, 1]
    counts = result["counts"]
    assert counts.shape == (8, 2) and counts.sum() > 10
    spikes = result["spikes"]
    for k, letter in enumerate("AB"):
        files = list(tmp_path.glob(f"*{letter}*X*.prn")) or list(tmp_path.glob(f"*spi{letter}es*"))
        assert len(files) == 1
        rows = latency_file_rows(files[0])
        for sweep in range(1, 9):
            n, latencies = rows[sweep]
            assert counts[sweep - 1, k] == n
            mine = spikes["latency_ms"][(spikes["sweep"] == sweep) & (spikes["channel"] == k)]
            np.testing.assert_allclose(mine, latencies, atol=0.0051)
            first = result["first_latency_ms"][sweep - 1, k]
            assert (math.isnan(first) and n == 0) or first == mine[0]
    assert np.all(np.diff(result["stimulus_pa"]) > 0)


def test_fi_fits_are_the_result_texts(cell):
    result = ephys.count_spikes(cell, SETTINGS)
    lines = [line.split("\t") for line in result["result_text"].splitlines() if line[:1] and line[:1] in "123"]
    assert len(lines) == 3
    for (series, slope, x_intercept, r_squared), key in zip(lines, ["first", "middle", "last"]):
        fit = result["fi"][key]
        assert fit["n"] == len(fit["stimulus_pa"]) > 1
        assert float(slope) == pytest.approx(fit["slope"], abs=0.0051)
        assert float(x_intercept) == pytest.approx(fit["x_intercept"], abs=0.0051)
        assert float(r_squared) == pytest.approx(fit["r_squared"], abs=0.0051)
    # The fits are made whether the program is asked for frequencies or not.
    without = ephys.count_spikes(cell, {"Interval to Measure": 2})
    assert without["fi"]["first"]["slope"] == result["fi"]["first"]["slope"]
    assert without["result_text"].startswith("Ouput File: ")


def test_progress_and_cancel(cell):
    seen = []
    ephys.count_spikes(cell, progress=lambda percent, line1, line2: seen.append((percent, line1, line2)))
    assert seen[-1][0] == 100 and seen[0][1] == cell.name
    assert any("Episode   8" in line2 for _, _, line2 in seen)
    with pytest.raises(RuntimeError, match="cancelled"):
        ephys.count_spikes(cell, progress=lambda *_: False)


def test_refusals_and_unreadable_recordings(cell, tmp_path):
    with pytest.raises(ValueError, match="Interval to Measure"):
        ephys.count_spikes(cell, {"Interval to Measure": 0})
    with pytest.raises(ephys.RecordingError, match="nothing.abf"):
        ephys.count_spikes(tmp_path / "nothing.abf")
