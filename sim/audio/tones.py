"""The pitch of a recorded tone, robust to the gaps of a loaded machine."""


def _whole_periods(rises):
    """The spacings of rising crossings near the typical one. A gap in the
    sound (an underrun, however short) makes a spacing far from it, which
    is left out instead of reading as a lower pitch."""
    spacings = [b - a for a, b in zip(rises, rises[1:])]
    if not spacings:
        return []
    typical = sorted(spacings)[len(spacings) // 2]
    return [d for d in spacings if 0.75 * typical <= d <= 1.25 * typical]


def pitch(rises, rate):
    """The frequency of a tone from the sample positions of its rising
    crossings: their mean spacing, gaps left out. 0 without a whole period."""
    kept = _whole_periods(rises)
    return len(kept) * rate / sum(kept) if kept else 0


def periods(rises, rate):
    """How many seconds of whole periods pitch() measures."""
    return sum(_whole_periods(rises)) / rate


def samples_pitch(samples, rate, what="the tone", whole=False):
    """The frequency of a tone in 16-bit samples, over the middle half (no
    ramp-up, no end) or the whole, from its rising level crossings with
    some hysteresis."""
    mid = samples if whole else samples[len(samples) // 4:3 * len(samples) // 4]
    assert len(mid) > rate // 2, f"{what}: only {len(samples)} samples"
    peak = max(abs(x) for x in mid)
    assert peak > 1000, f"{what}: silence (peak {peak})"
    threshold = peak / 4
    rises, state = [], 0
    for i, x in enumerate(mid):
        s = 1 if x > threshold else -1 if x < -threshold else 0
        if s and s != state:
            if s == 1 and state == -1:
                rises.append(i)
            state = s
    assert periods(rises, rate) > 0.25, f"{what}: too little sound"
    return pitch(rises, rate)
