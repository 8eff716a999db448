#!/usr/bin/python3
"""How detectable the events of bench/psc_detector_accuracy.sh are in its noise, for any detector.

For an event of known shape in Gaussian noise of known spectrum, no linear detector does better
than the matched filter after whitening: its output for an event of amplitude A stands
d' = sqrt(4 * integral |T(f)|^2 / P(f) df) noise SDs above zero (T: the event's Fourier
transform, P: the one-sided noise spectrum). The script measures P on noise-only recordings made
with abfsynth (white noise, and 1/f noise with hum and drift, as in the accuracy table; SD 8 pA,
i.e. SNR 2.5 for 20 pA events), then prints
  - d' of a 20 pA event for the optimal filter and for the deconvolution's three detection traces
    (three-tap deconvolution, Gaussian smoothing of SD 0.6, 1 and 3 rise time constants);
  - the highest recall any detector can reach at a threshold of K noise SDs, for the table's
    amplitudes (median 20 pA, log SD 0.3): the mean over amplitudes of Phi(d' A / 20 - K).

Then it runs that best detector on the table's recording of 1/f noise, hum and drift at SNR 2.5
and 10 Hz (seed 7): the matched filter after whitening, in the Fourier domain over the whole
recording, with the noise's spectrum known in advance (measured on another 120 s of the same
noise, seed 8), brought to noise SDs on that noise, its peaks at least 2 ms apart; events matched
within 3 ms as bench/psc_match.py does. It prints recall, precision and F1 at several thresholds,
and the peaks it finds in a third 120 s of noise alone (seed 9): what no detector that has to
learn the noise from the recording itself can beat.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/psc_detection_bound.py [BUILD_DIR]
(needs numpy, the ephys module and abfsynth of BUILD_DIR, default build)
"""
import csv
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

import ephys
import psc_match

FS = 20000.0
DT_MS = 1000.0 / FS
RISE_MS, DECAY_MS, AMPLITUDE = 0.5, 5.0, 20.0
NFFT = 1 << 15


def event(amplitude=AMPLITUDE):
    t = np.arange(int(0.1 * FS)) * DT_MS
    t_peak = DECAY_MS * RISE_MS / (DECAY_MS - RISE_MS) * math.log(DECAY_MS / RISE_MS)
    peak = math.exp(-t_peak / DECAY_MS) - math.exp(-t_peak / RISE_MS)
    return amplitude * (np.exp(-t / DECAY_MS) - np.exp(-t / RISE_MS)) / peak


def spectrum(x):
    """One-sided power spectral density (pA^2/Hz), Welch: Hann windows, half overlapping."""
    window = np.hanning(NFFT)
    scale = 1.0 / (FS * np.sum(window**2))
    starts = range(0, len(x) - NFFT + 1, NFFT // 2)
    p = np.mean([np.abs(np.fft.rfft((x[s:s + NFFT] - x[s:s + NFFT].mean()) * window))**2 for s in starts], axis=0)
    p *= scale
    p[1:-1] *= 2.0
    return p


def dprime_optimal(p):
    t = np.fft.rfft(event(), NFFT) * (DT_MS / 1000.0)
    df = FS / NFFT
    f = np.fft.rfftfreq(NFFT, 1.0 / FS)
    used = f > 0.5  # the drift below lies outside any event's band
    return math.sqrt(4.0 * np.sum(np.abs(t[used])**2 / p[used]) * df)


def dprime_trace(p, sd_rises):
    """d' of the deconvolved current smoothed by a Gaussian of SD sd_rises rise time constants."""
    a, b = math.exp(-DT_MS / DECAY_MS), math.exp(-DT_MS / RISE_MS)
    sd = sd_rises * RISE_MS / DT_MS
    k = np.arange(-int(5 * sd) - 1, int(5 * sd) + 2)
    gauss = np.exp(-0.5 * (k / sd)**2)
    h = np.convolve([1.0, -(a + b), a * b], gauss / gauss.sum())
    response = np.convolve(np.concatenate([np.zeros(len(h)), event()]), h)
    f = np.fft.rfftfreq(NFFT, 1.0 / FS)
    used = f > 0.5
    noise_var = np.sum(np.abs(np.fft.rfft(h, NFFT)[used])**2 * p[used]) * FS / NFFT
    return response.max() / math.sqrt(noise_var)


def recall_bound(dprime, k):
    amplitudes = np.exp(np.random.default_rng(1).normal(0.0, 0.3, 20000))
    return float(np.mean([0.5 * math.erfc(-(dprime * a - k) / math.sqrt(2.0)) for a in amplitudes]))


def match(truth, found, tol=0.003):
    """Recall, precision and F1 of found onsets (s) against true ones, paired as psc_match.py does."""
    matched = len(psc_match.pairs(truth, sorted(found), tol))
    recall = matched / len(truth)
    precision = matched / len(found) if len(found) else 0.0
    return recall, precision, 2 * recall * precision / (recall + precision) if matched else 0.0


def peaks(y, k, separation):
    """Local maxima of y above k, the highest first, none within `separation` samples of a higher one."""
    inner = y[1:-1]
    at = np.flatnonzero((inner > k) & (inner >= y[:-2]) & (inner > y[2:])) + 1
    taken = []
    blocked = np.zeros(len(y), bool)
    for i in at[np.argsort(-y[at])]:
        if not blocked[max(0, i - separation):i + separation + 1].any():
            taken.append(i)
            blocked[i] = True
    return np.sort(np.array(taken, dtype=int))


def whitened_matched_filter(x, p_segment):
    """x filtered by conj(T) / P over its whole length, P interpolated from the Welch spectrum."""
    n = len(x)
    f = np.fft.rfftfreq(n, 1.0 / FS)
    p = np.interp(f, np.fft.rfftfreq(NFFT, 1.0 / FS), p_segment)
    p[f < 0.5] = np.inf
    t = np.fft.rfft(-event(1.0), n)  # inward events
    return np.fft.irfft(np.fft.rfft(x - x.mean()) * np.conj(t) / p, n)


def measured_best(abfsynth, work, pink):
    def make(name, seed, rate):
        path = os.path.join(work, name)
        subprocess.run([abfsynth, "--out", path, "--overwrite", "--duration", "120", "--rate", str(rate),
                        "--amplitude", "20", "--rise", "0.5", "--decay", "5", "--seed", str(seed)] + pink,
                       check=True, stdout=subprocess.DEVNULL)
        return path
    recording = make("events.abf", 7, 10)
    with open(recording[:-4] + ".truth.csv") as f:
        truth = [float(r["onset_s"]) for r in csv.DictReader(f)]
    known = ephys.read_abf(make("known.abf", 8, 0)).data[0, 0].astype(float)
    alone = ephys.read_abf(make("alone.abf", 9, 0)).data[0, 0].astype(float)
    p = spectrum(known)
    scale = np.std(whitened_matched_filter(known, p))
    y = whitened_matched_filter(ephys.read_abf(recording).data[0, 0].astype(float), p) / scale
    noise = whitened_matched_filter(alone, p) / scale
    separation = int(0.002 * FS)
    print("\nthe best detector on 1/f noise, hum and drift, SNR 2.5, 10 Hz (%d events):" % len(truth))
    print(f"{'K':>4} {'recall':>7} {'precision':>9} {'F1':>6}   peaks in 120 s of noise alone")
    for k in (3.0, 3.5, 4.0, 4.5):
        r, pr, f1 = match(truth, peaks(y, k, separation) / FS)
        print(f"{k:4.1f} {r:7.3f} {pr:9.3f} {f1:6.3f}   {len(peaks(noise, k, separation))}")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    abfsynth = os.path.join(build, "apps", "abfsynth", "abfsynth")
    noises = {
        "white": ["--noise", "8"],
        "pink+hum+drift": ["--noise", "0", "--pink-noise", "8", "--hum", "3", "--hum-hz", "50", "--drift", "10",
                           "--drift-hz", "0.05"],
    }
    with tempfile.TemporaryDirectory() as work:
        print(f"{'noise':15} {'optimal':>8} {'SD 0.6':>7} {'SD 1':>7} {'SD 3':>7}   best recall at K = 4.5 / 4 / 3.5")
        for name, args in noises.items():
            path = os.path.join(work, "noise.abf")
            subprocess.run([abfsynth, "--out", path, "--overwrite", "--duration", "120", "--rate", "0", "--seed",
                            "7"] + args, check=True, stdout=subprocess.DEVNULL)
            p = spectrum(ephys.read_abf(path).data[0, 0].astype(float))
            best = dprime_optimal(p)
            traces = [dprime_trace(p, s) for s in (0.6, 1.0, 3.0)]
            bounds = " / ".join(f"{recall_bound(best, k):.3f}" for k in (4.5, 4.0, 3.5))
            print(f"{name:15} {best:8.2f} " + " ".join(f"{d:7.2f}" for d in traces) + f"   {bounds}")
        measured_best(abfsynth, work, noises["pink+hum+drift"])


if __name__ == "__main__":
    main()
