"""The one comparison of a computed output with the recorded one, used for both the end-to-end and the
in-process runs so their verdicts can be set side by side."""

import numpy as np

RTOL = 1e-3
ATOL = 1e-4


def compare(got, want, rtol=RTOL, atol=ATOL):
    """(True, "") when `got` matches the recorded `want`: equal dtype and shape, and every element within
    |got - want| <= atol + rtol * |want| (NaN matches NaN, an infinity only itself). Otherwise (False, why),
    `why` one phrase naming the first difference: the dtypes, the shapes, or the worst element. Integers are
    compared exactly in integer arithmetic, so int64 values beyond 2**53 are not rounded together."""
    if got.dtype != want.dtype:
        return False, f"dtype {got.dtype}, recorded {want.dtype}"
    if got.shape != want.shape:
        return False, f"shape {list(got.shape)}, recorded {list(want.shape)}"
    if got.size == 0:
        return True, ""
    if np.issubdtype(want.dtype, np.integer):
        differs = got != want
        if not differs.any():
            return True, ""
        # Python integers: exact for every int64, where float64 would merge neighbours above 2**53.
        pairs = list(zip(got[differs].tolist(), want[differs].tolist()))
        outside = [(g, w) for g, w in pairs if abs(g - w) > atol + rtol * abs(w)]
        if not outside:
            return True, ""
        g, w = max(outside, key=lambda pair: abs(pair[0] - pair[1]))
        return False, f"{len(outside)} of {want.size} values differ; max abs diff {abs(g - w)} ({g} where {w} was recorded)"

    a = got.astype(np.float64)
    b = want.astype(np.float64)
    close = np.isclose(a, b, rtol=rtol, atol=atol, equal_nan=True)
    if close.all():
        return True, ""
    bad = ~close
    finite = bad & np.isfinite(a) & np.isfinite(b)
    parts = [f"{int(bad.sum())} of {want.size} values differ"]
    if finite.any():
        index = np.argmax(np.where(finite, np.abs(a - b), -1.0))
        parts.append(f"max abs diff {np.abs(a - b).flat[index]:.6g} ({a.flat[index]:.6g} where {b.flat[index]:.6g} "
                     "was recorded)")
    special = int(bad.sum() - finite.sum())
    if special:
        parts.append(f"{special} NaN or infinity where the other holds something else")
    return False, "; ".join(parts)
