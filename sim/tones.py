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
