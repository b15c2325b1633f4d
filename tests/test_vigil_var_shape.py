"""vigil_var beyond its plain operations: references held across user code,
argument binding, allocation failures and one module per interpreter."""
import subprocess
import sys
import textwrap
import unittest


def run_child(source):
    """Runs `source` in a fresh interpreter process, so that a fault which
    corrupts memory ends that process instead of the suite."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=120)


class ClassAttributeLookup(unittest.TestCase):
    def test_descriptor_deleted_while_it_binds(self):
        # functools.partial.__get__ warns before it returns itself; the
        # warning hook deletes the class attribute, so only the reference
        # the lookup holds keeps the partial alive until it is returned.
        out = run_child("""
            import functools, warnings
            from vigil_var import VigilVar, VigilRecord

            def target():
                return "called"

            for base in (VigilVar, VigilRecord):
                class Sub(base):
                    attr = functools.partial(target)

                def hook(*args, **kwargs):
                    del Sub.attr

                with warnings.catch_warnings():
                    warnings.simplefilter("always", FutureWarning)
                    warnings.showwarning = hook
                    got = Sub().attr
                assert "attr" not in Sub.__dict__
                print(base.__name__, type(got).__name__, got.func is target, got())
            """)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.split("\n"),
                         ["VigilVar partial True called", "VigilRecord partial True called", ""])


if __name__ == "__main__":
    unittest.main()
