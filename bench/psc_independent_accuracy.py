#!/usr/bin/python3
"""Detection accuracy of psctrawl's detectors on recordings that abfsynth did not make.

bench/psc_detector_accuracy.sh measures the detectors on abfsynth's recordings; this script
makes the same kinds of recording with a generator of its own (numpy), writes them with
ephys.write_abf (ABF 2, float32, pA) and measures again, so that a shared assumption of the
synthesiser and the detectors cannot hide.

Recordings: 120 s gap-free at 20 kHz. Inward currents, a difference of exponentials (rise time
constant 0.5 ms, decay 5 ms) scaled to a peak amplitude drawn lognormally (median 20 pA, log SD
0.3). SNR = 20 pA / noise SD.
  events:  iso   2 Hz with no two onsets closer than 50 ms (a Poisson process with 50 ms of
                 dead time, its mean rate kept at 2 Hz)
           10Hz  10 Hz Poisson
           20Hz  20 Hz Poisson
  noise:   white  Gaussian white noise of SD 20 / SNR
           pink   1/f noise: white noise whose spectrum is shaped by 1/sqrt(f) from 1/T (T the
                  length of the recording) up to the Nyquist frequency, scaled to SD 20 / SNR;
                  plus 3 pA of 50 Hz hum and a drift of 10 pA at 0.05 Hz (random phases)

The truth file beside each recording has abfsynth's columns (sweep, onset_s, peak_s,
amplitude_pA, rise_10_90_ms, tau_decay_ms); the amplitude is the event's own peak, negative for
inward currents.

psctrawl runs as in bench/psc_detector_accuracy.sh: --batch --no-ini with "Diff. trigger
([+-]pa/ms)" = -0.3 x noise SD (at least 1 pA/ms in size). bench/psc_match.py pairs each true
onset with the nearest unused event within TOL_MS (3 ms): R recall, P precision, F1, dA the
median |found - true| amplitude of the pairs (pA).

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/psc_independent_accuracy.py [BUILD_DIR]
  (default BUILD_DIR: build; needs psctrawl and the Python module ephys of that build)
Environment: SNRS ("1.5 2 2.5 3 4 5"), DETECTORS ("slope deconvolution template"),
  NOISES ("white pink"), KINDS ("iso 10Hz 20Hz"), SEED (7), TOL_MS (3), TMPDIR.
"""

import os
import pathlib
import subprocess
import sys

import numpy as np

import ephys

RATE_HZ = 20000.0
DURATION_S = 120.0
RISE_MS = 0.5
DECAY_MS = 5.0
MEDIAN_PA = 20.0
LOG_SD = 0.3
KINDS = {"iso": (2.0, 0.050), "10Hz": (10.0, 0.0), "20Hz": (20.0, 0.0)}  # rate (Hz), dead time (s)


def onsets(rng, rate_hz, dead_s, duration_s):
    """Onset times of a Poisson process of mean rate rate_hz whose intervals are at least dead_s."""
    mean_gap = 1.0 / rate_hz - dead_s
    times = []
    t = rng.exponential(mean_gap)
    while t < duration_s:
        times.append(t)
        t += dead_s + rng.exponential(mean_gap)
    return np.array(times)


def event_shape(t_ms):
    """The event of peak 1 at time t_ms after its onset (0 before it)."""
    peak_ms = RISE_MS * DECAY_MS / (DECAY_MS - RISE_MS) * np.log(DECAY_MS / RISE_MS)
    norm = np.exp(-peak_ms / DECAY_MS) - np.exp(-peak_ms / RISE_MS)
    shape = (np.exp(-t_ms / DECAY_MS) - np.exp(-t_ms / RISE_MS)) / norm
    return np.where(t_ms >= 0, shape, 0.0), peak_ms


def rise_10_90_ms():
    t = np.arange(0, 5 * RISE_MS + DECAY_MS, 1e-4)
    shape, _ = event_shape(t)
    rising = t <= t[np.argmax(shape)]
    return np.interp(0.9, shape[rising], t[rising]) - np.interp(0.1, shape[rising], t[rising])


def events_trace(times_s, amplitudes, n):
    """Sum of the events, each placed at its exact onset (not rounded to a sample)."""
    trace = np.zeros(n)
    span = int(12 * DECAY_MS * 1e-3 * RATE_HZ)  # the event has decayed below 1e-5 of its peak
    for onset, amp in zip(times_s, amplitudes):
        first = int(np.ceil(onset * RATE_HZ))
        last = min(n, first + span)
        if first >= n:
            continue
        t_ms = (np.arange(first, last) / RATE_HZ - onset) * 1e3
        trace[first:last] += amp * event_shape(t_ms)[0]
    return trace


def pink_noise(rng, n, sd):
    """1/f noise: white noise with its spectrum shaped by 1/sqrt(f) from 1/T to Nyquist."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, d=1.0 / RATE_HZ)
    spectrum[0] = 0.0
    spectrum[1:] /= np.sqrt(f[1:])
    noise = np.fft.irfft(spectrum, n)
    return noise * (sd / noise.std())


def make_recording(path, truth_path, noise, snr, kind, seed):
    # Every recording has its own stream, fixed by the seed and the case.
    case = [seed, ["white", "pink"].index(noise), int(round(snr * 100)), list(KINDS).index(kind)]
    rng = np.random.default_rng(case)
    n = int(DURATION_S * RATE_HZ)
    rate, dead = KINDS[kind]
    times = onsets(rng, rate, dead, DURATION_S)
    amplitudes = -MEDIAN_PA * np.exp(LOG_SD * rng.standard_normal(times.size))
    sd = MEDIAN_PA / snr
    trace = events_trace(times, amplitudes, n)
    if noise == "white":
        trace += rng.normal(0.0, sd, n)
    else:
        t = np.arange(n) / RATE_HZ
        trace += pink_noise(rng, n, sd)
        trace += 3.0 * np.sin(2 * np.pi * 50.0 * t + rng.uniform(0, 2 * np.pi))
        trace += 10.0 * np.sin(2 * np.pi * 0.05 * t + rng.uniform(0, 2 * np.pi))
    ephys.write_abf(path, trace[np.newaxis], 1e6 / RATE_HZ, channel_names=["Im"], channel_units=["pA"],
                    overwrite=True)
    _, peak_ms = event_shape(np.zeros(1))
    rise = rise_10_90_ms()
    with open(truth_path, "w") as f:
        f.write("sweep,onset_s,peak_s,amplitude_pA,rise_10_90_ms,tau_decay_ms\n")
        for onset, amp in zip(times, amplitudes):
            f.write(f"1,{onset:.7f},{onset + peak_ms * 1e-3:.7f},{amp:.4f},{rise:.5f},{DECAY_MS:.4f}\n")


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    psctrawl = (build / "apps" / "psctrawl" / "psctrawl").resolve()
    if not psctrawl.exists():
        sys.exit(f"{psctrawl} not found (build the target psctrawl)")
    here = pathlib.Path(__file__).resolve().parent
    snrs = [float(s) for s in os.environ.get("SNRS", "1.5 2 2.5 3 4 5").split()]
    detectors = os.environ.get("DETECTORS", "slope deconvolution template").split()
    noises = os.environ.get("NOISES", "white pink").split()
    kinds = os.environ.get("KINDS", "iso 10Hz 20Hz").split()
    seed = int(os.environ.get("SEED", "7"))
    tol_ms = os.environ.get("TOL_MS", "3")
    # One folder per seed: psctrawl derives the names of its outputs from the recording's name.
    work = pathlib.Path(os.environ.get("TMPDIR", "/tmp")) / "psc_independent_accuracy" / f"seed{seed}"
    work.mkdir(parents=True, exist_ok=True)

    header = f"{'noise':<5} {'SNR':>4} {'kind':<4} {'true':>5}"
    for d in detectors:
        header += f" | {d + ': R P F1 dA':<26}"
    print(header, flush=True)
    for noise in noises:
        for snr in snrs:
            for kind in kinds:
                name = f"{noise}_{snr:g}_{kind}"
                rec = work / f"{name}.abf"
                truth = work / f"{name}.truth.csv"
                make_recording(rec, truth, noise, snr, kind, seed)
                sd = MEDIAN_PA / snr
                trigger = -max(1.0, 0.3 * sd)
                line, true_count = "", ""
                for d in detectors:
                    out = work / f"out_{d}"
                    out.mkdir(exist_ok=True)
                    subprocess.run([psctrawl, "--batch", "--no-ini", "--quiet", "--overwrite", "--output-dir",
                                    out, "--detector", d, "--set", f"Diff. trigger ([+-]pa/ms)={trigger:.3g}",
                                    rec], check=True, stdout=subprocess.DEVNULL)
                    table = out / f"{name.upper()}.PRN"
                    matched = subprocess.run([sys.executable, here / "psc_match.py", truth, table, tol_ms],
                                             check=True, capture_output=True, text=True).stdout.split()
                    true_count = matched[0]
                    r, p, f1, da = matched[3:7]
                    line += f" | {r:>5} {p:>5} {f1:>5} {da:>7}  "
                print(f"{noise:<5} {snr:>4g} {kind:<4} {true_count:>5}{line}", flush=True)


if __name__ == "__main__":
    main()
