"""The type stubs under stubs/ against the real modules.

Every class, function, method and attribute a stub declares must exist on the
real object, with the parameters (names, kinds, defaults) that
inspect.signature reports for it; every name of the real modules and classes
must be declared in the stubs. The stubs are also copied next to the built
modules, so the copies there must be the same text.
"""
import ast
import importlib
import inspect
import os
import unittest

STUB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "stubs")
MODULES = ("threads_main", "vigil_log", "vigil_var")

# The magic methods a type checker needs to know about when a class has them;
# object's own (__repr__, __init__ without a signature, ...) are left out.
PROTOCOL_DUNDERS = ("__len__", "__iter__", "__getitem__", "__contains__",
                    "__call__", "__setattr__", "__delattr__", "__getattribute__")

KIND = {"posonly": inspect.Parameter.POSITIONAL_ONLY,
        "arg": inspect.Parameter.POSITIONAL_OR_KEYWORD,
        "vararg": inspect.Parameter.VAR_POSITIONAL,
        "kwonly": inspect.Parameter.KEYWORD_ONLY,
        "kwarg": inspect.Parameter.VAR_KEYWORD}


def stub_path(module):
    return os.path.join(STUB_DIR, module + ".pyi")


def read_stub(module):
    with open(stub_path(module), encoding="utf-8") as f:
        return f.read()


def stub_params(fn):
    """(name, kind, default text or None) for every parameter of a stub def."""
    a = fn.args
    positional = [(p, "posonly") for p in a.posonlyargs] + [(p, "arg") for p in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(p.arg, KIND[k], ast.unparse(d) if d is not None else None)
           for (p, k), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, KIND["vararg"], None))
    out += [(p.arg, KIND["kwonly"], ast.unparse(d) if d is not None else None)
            for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, KIND["kwarg"], None))
    return out


def real_params(sig):
    return [(p.name, p.kind,
             None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in sig.parameters.values()]


def decorators(fn):
    return {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}


def is_typevar(node):
    return (isinstance(node, ast.Assign) and isinstance(node.value, ast.Call)
            and isinstance(node.value.func, ast.Name) and node.value.func.id == "TypeVar")


def instance_of(module, cls):
    """An instance for checking declared attributes, or None when there is
    no cheap way to make one."""
    if (module, cls.__name__) == ("threads_main", "VigilThreadsMain"):
        m = cls(lambda: None, max_workers=1)
        m._close()
        return m
    return None


def compare_class(module, node, cls):
    """Problems between the stub class `node` and the real class `cls`."""
    where = f"{module}.{node.name}"
    problems = []
    bases = [ast.unparse(b) for b in node.bases]
    real_bases = [b.__name__ for b in cls.__bases__ if b is not object]
    if bases != real_bases:
        problems.append(f"{where}: bases {bases} in the stub, {real_bases} for real")

    declared, attributes = set(), []
    dynamic = False  # a __getattr__ in the stub: any attribute name reads
    for item in node.body:
        if isinstance(item, ast.AnnAssign):
            attributes.append(item.target.id)
            declared.add(item.target.id)
            continue
        if not isinstance(item, ast.FunctionDef):
            continue
        name = item.name
        declared.add(name)
        label = f"{where}.{name}"
        decos = decorators(item)
        if name == "__getattr__":
            dynamic = True
            declared.add("__getattribute__")
            name = "__getattribute__"  # what the real class overrides
        if name == "__init__":
            try:
                real = real_params(inspect.signature(cls))
            except ValueError:
                problems.append(f"{label}: the real class has no signature")
                continue
            if stub_params(item)[1:] != real:
                problems.append(f"{label}: stub {stub_params(item)[1:]} != real {real}")
            continue
        raw = cls.__dict__.get(name)
        if raw is None:
            problems.append(f"{label}: not defined by the real class")
            continue
        if "property" in decos:
            if not inspect.isdatadescriptor(raw):
                problems.append(f"{label}: a property in the stub, {type(raw).__name__} for real")
            continue
        if ("staticmethod" in decos) != isinstance(raw, staticmethod):
            problems.append(f"{label}: static in one of stub and real, not both")
            continue
        try:
            real = real_params(inspect.signature(getattr(cls, name)))
        except ValueError:
            problems.append(f"{label}: the real method has no signature")
            continue
        if stub_params(item) != real:
            problems.append(f"{label}: stub {stub_params(item)} != real {real}")

    for name, raw in cls.__dict__.items():
        if name.startswith("__") and name not in PROTOCOL_DUNDERS:
            continue
        if name not in declared:
            problems.append(f"{where}.{name}: missing from the stub")
    if "__init__" in cls.__dict__ and "__init__" not in declared:
        try:
            inspect.signature(cls)
            problems.append(f"{where}.__init__: missing from the stub")
        except ValueError:
            pass

    if attributes and not dynamic:
        obj = instance_of(module, cls)
        if obj is None:
            problems.append(f"{where}: declares attributes but the test has no instance")
        else:
            problems += [f"{where}.{a}: no such attribute on an instance"
                         for a in attributes if not hasattr(obj, a)]
    return problems


def compare_module(module, source):
    """Problems between the stub text `source` and the real module."""
    real = importlib.import_module(module)
    tree = ast.parse(source)
    problems, declared = [], set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared.add(node.name)
            cls = getattr(real, node.name, None)
            if not inspect.isclass(cls):
                problems.append(f"{module}.{node.name}: no such class")
            else:
                problems += compare_class(module, node, cls)
        elif isinstance(node, ast.FunctionDef):
            declared.add(node.name)
            fn = getattr(real, node.name, None)
            if fn is None:
                problems.append(f"{module}.{node.name}: no such function")
            elif stub_params(node) != real_params(inspect.signature(fn)):
                problems.append(f"{module}.{node.name}: parameters differ")
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
            if not hasattr(real, node.target.id):
                problems.append(f"{module}.{node.target.id}: no such attribute")
        elif isinstance(node, ast.ImportFrom):
            # "from m import X as X" is a re-export: the real module must hold
            # that very object.
            for alias in node.names:
                if alias.asname != alias.name:
                    continue
                declared.add(alias.name)
                source_obj = getattr(importlib.import_module(node.module), alias.name)
                if getattr(real, alias.name, None) is not source_obj:
                    problems.append(f"{module}.{alias.name}: not re-exported from {node.module}")
        elif is_typevar(node):
            pass  # a helper of the stub alone
    for name in vars(real):
        if not name.startswith("__") and name not in declared:
            problems.append(f"{module}.{name}: missing from the stub")
    return problems


class StubFiles(unittest.TestCase):
    def test_each_stub_compiles(self):
        for module in MODULES:
            with self.subTest(module=module):
                compile(read_stub(module), stub_path(module), "exec")

    def test_copies_beside_the_built_modules(self):
        for module in MODULES:
            with self.subTest(module=module):
                real = importlib.import_module(module)
                beside = os.path.join(os.path.dirname(real.__file__), module + ".pyi")
                self.assertTrue(os.path.isfile(beside), f"no {beside}")
                with open(beside, encoding="utf-8") as f:
                    self.assertEqual(f.read(), read_stub(module), f"{beside} is stale")


class StubsMatchModules(unittest.TestCase):
    def test_declarations_match_the_real_objects(self):
        for module in MODULES:
            with self.subTest(module=module):
                self.assertEqual(compare_module(module, read_stub(module)), [])

    def test_comparison_reports_each_kind_of_mismatch(self):
        wrong = '''
from vigil_log import VigilLog as VigilLog
from vigil_var import VigilVar as VigilVar
from vigil_var import VigilRecord as VigilRecord
class ManagerError(ValueError): ...
class _Worker:
    def start(self) -> None: ...
class VigilThreadsMain:
    _log: object
    _nothing: object
    def __init__(self, func, max_workers=0, maximum=False, logfile=False,
                 logger=False, reserve=True, duration=None) -> None: ...
    def _join(self, /, break_result="other") -> bool: ...
    def _send(self, /, thread_name=None, *kwargs) -> bool: ...
    def _async_raise(self, tid, exc_type) -> None: ...
    @property
    def _done(self) -> bool: ...
    def _no_such_method(self, /) -> None: ...
'''
        problems = "\n".join(compare_module("threads_main", wrong))
        for expected in ("VigilRecord: not re-exported",
                         "ManagerError: bases ['ValueError']",
                         "_Worker.start: stub",          # self not positional-only
                         "_Worker.var: missing from the stub",
                         "VigilThreadsMain._nothing: no such attribute",
                         "VigilThreadsMain.__init__: stub",  # max_workers default
                         "VigilThreadsMain._join: stub",
                         "VigilThreadsMain._send: stub",     # *kwargs, not **kwargs
                         "VigilThreadsMain._async_raise: static",
                         "VigilThreadsMain._done: a property in the stub",
                         "VigilThreadsMain._no_such_method: not defined",
                         "VigilThreadsMain._close: missing from the stub"):
            self.assertIn(expected, problems)
        self.assertNotIn("VigilThreadsMain._log", problems)


if __name__ == "__main__":
    unittest.main()
