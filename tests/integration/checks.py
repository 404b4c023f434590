"""Failed checks, collected as a test goes on and reported at its end: one line each."""

failures = []


def check(condition, case, what):
    if not condition:
        failures.append(f"{case}: {what}")
        print(f"FAIL {case}: {what}")
    return condition


def report():
    """The test's exit code, after the closing line."""
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0
