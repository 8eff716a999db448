"""make_waveform against swg --batch --seed: the samples of the ATF file the program writes."""

import numpy as np
import pytest

import ephys
from conftest import program, run


def swg_samples(settings, seed, folder):
    args = [program("swg"), "--batch", "--no-ini", "--quiet", "--seed", str(seed), "--output-dir", folder]
    for label, value in settings.items():
        args += ["--set", f"{label}={value}"]
    path = run(args).stdout.strip()
    lines = open(path, newline="").read().split("\r\n")
    rows = [line.split("\t") for line in lines[6:] if line]
    return [r[0] for r in rows], [r[1] for r in rows]


def four_digits(cell):
    """Half a unit of the fourth significant digit of a written value."""
    value = abs(float(cell))
    return 0.0 if value == 0 else 0.5 * 10.0 ** (np.floor(np.log10(value)) - 3) * 1.0001


@pytest.mark.parametrize("settings", [
    {"Waveform": "N"},
    {"Waveform": "N", "Noise Filter (Hz)": 0, "Number of Samples": 5000},
    {"Waveform": "C", "Chirp Start Freq. (Hz)": 20, "Chirp End Freq. (Hz)": 300},
    {"Waveform": "R"},
    {"Waveform": "S", "DC current step (pA)": 50},
    {"Waveform": "P", "Number of Pulses": 3},
])
def test_samples_are_those_swg_writes(tmp_path, settings):
    times, values = swg_samples(settings, 1234, tmp_path)
    wave = ephys.make_waveform(settings, seed=1234)
    assert len(wave["value_pa"]) == len(values) > 100
    assert [f"{t:.3f}" for t in wave["time_ms"]] == times
    for mine, cell in zip(wave["value_pa"], values):
        assert abs(float(mine) - float(cell)) <= four_digits(cell), (mine, cell)
    if settings["Waveform"] == "N":
        assert np.std(wave["value_pa"]) > 0


def test_seeds_and_refusals():
    a = ephys.make_waveform({"Waveform": "N"}, seed=7)
    b = ephys.make_waveform({"Waveform": "N"}, seed=7)
    c = ephys.make_waveform({"Waveform": "N"}, seed=8)
    np.testing.assert_array_equal(a["value_pa"], b["value_pa"])
    assert not np.array_equal(a["value_pa"], c["value_pa"])
    with pytest.raises(ValueError, match="seed"):
        ephys.make_waveform(seed=0)
    with pytest.raises(ValueError):
        ephys.make_waveform({"Waveform": "Q"})
    with pytest.raises(ValueError):
        ephys.make_waveform({"Number of Samples": "many"})
