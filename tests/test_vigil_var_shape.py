"""vigil_var beyond its plain operations: references held across user code,
argument binding, allocation failures and one module per interpreter."""
import subprocess
import sys
import textwrap
import unittest

from vigil_var import VigilRecord, VigilVar


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



class Construction(unittest.TestCase):
    def test_any_number_of_fields_and_entries(self):
        many = {f"f{i}": i for i in range(40)}
        v = VigilVar({"f0": "from the mapping", "m": 1}, **many)
        self.assertEqual(len(v), 41)
        self.assertEqual((v.f0, v.f39, v.m), (0, 39, 1), "keywords override the mapping")
        rec = VigilRecord({"status": "s"}, thread=None, **many)
        self.assertEqual(len(rec.keys()), 42)
        self.assertEqual((rec.status, rec.f39), ("s", 39))

    def test_wrong_calls_change_nothing(self):
        v = VigilVar(a=1)
        for call in (lambda: VigilVar({}, {}), lambda: v.add(1), lambda: v.set(),
                     lambda: v.set("x", 1, 2), lambda: v.get("a", default=0, other=1),
                     lambda: v.keys(1), lambda: VigilRecord().get()):
            with self.assertRaises(TypeError):
                call()
        self.assertEqual(list(v.keys()), ["a"])
        # A parameter name is no field name: set(name=..., value=...) binds.
        v.set(name="k", value={"status": 1})
        self.assertEqual(v.get(name="k").status, 1)


if __name__ == "__main__":
    unittest.main()
