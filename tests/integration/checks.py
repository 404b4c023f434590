"""Failed checks, collected as a test goes on and reported at its end: one line each; and the
bounded wait for a condition that checks use."""
import time

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


def wait_until(condition, seconds, step=0.05):
    """condition()'s first true value, or its last value once `seconds` have passed: a bound
    for a failure, never a measure of speed."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)
