"""What the command reads before anything runs: its options, the target,
the tasks file, the break result and the checks. Whatever is wrong there is
BadInput, one line, exit status 2; the worker processes read the target
here too."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from . import check as checks


class BadInput(Exception):
    """Input that stops the command before anything runs (exit status 2)."""


class Parser(argparse.ArgumentParser):
    # One line, not the usage block: the message is what the user needs.
    def error(self, message: str) -> NoReturn:
        raise BadInput(f"{message} (see {self.prog} --help)")


def load_target(target: str) -> Callable[..., Any]:
    """The callable a run calls: the target, or for a class the lender of
    its instances (see users)."""
    obj = find(target)
    if isinstance(obj, type):
        from .users import Instances, has_call

        if not has_call(obj):
            raise BadInput(f"{target} is a class whose instances are not callable: give it a "
                           f"__call__ method, which each call runs with the task's arguments")
        return Instances(obj)
    return obj


def find(target: str) -> Callable[..., Any]:
    """The callable named MODULE:NAME, imported."""
    module_name, sep, attr = target.partition(":")
    if not sep or not module_name or not attr:
        raise BadInput(f"the target {target!r} must be written MODULE:CALLABLE")
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())  # as `python -m` does for the working directory
    try:
        obj: Any = importlib.import_module(module_name)
    except (Exception, SystemExit) as err:  # its code may raise anything
        raise BadInput(f"cannot import {module_name!r}: {type(err).__name__}: {err}") from None
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise BadInput(f"{module_name!r} has no attribute {attr!r}") from None
    if not callable(obj):
        raise BadInput(f"{target} is not callable (it is a {type(obj).__name__})")
    return obj  # type: ignore[no-any-return]


def read_tasks(path: str, reserved: frozenset[str] = frozenset()) -> list[dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as err:
        raise BadInput(f"cannot read the tasks file {path}: {err.strerror or err}") from None
    except UnicodeDecodeError as err:
        raise BadInput(f"{path} is not UTF-8 text: {err}") from None
    tasks = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        task = _json(line, f"{path} line {number}", f"{path} line {number}: not JSON")
        if not isinstance(task, dict):
            raise BadInput(f"{path} line {number}: a task must be a JSON object of keyword "
                           f"arguments, got {type(task).__name__}")
        name = task.get("thread_name")
        if name is not None and not isinstance(name, str):
            raise BadInput(f"{path} line {number}: \"thread_name\" must be a string")
        bad = [k for k in task if not k.isidentifier()]
        if bad:
            raise BadInput(f"{path} line {number}: {bad[0]!r} is not a keyword argument name")
        taken = [k for k in task if k in reserved]
        if taken:
            raise BadInput(f"{path} line {number}: {taken[0]!r} cannot be a keyword argument "
                           f"of a task: the manager passes that name itself")
        tasks.append(task)
    if not tasks:
        raise BadInput(f"the tasks file {path} has no tasks")
    return tasks


def _json(text: str, where: str, invalid: str) -> Any:
    """json.loads, with what it cannot read as bad input: `invalid` opens the
    message on text that is not JSON, `where` the others."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as err:
        raise BadInput(f"{invalid}: {err.msg}") from None
    except RecursionError:
        raise BadInput(f"{where}: JSON nested too deeply") from None
    except ValueError:  # what the decoder says of a number that long
        raise BadInput(f"{where}: a number of more than {sys.get_int_max_str_digits()} "
                       f"digits") from None


def read_break_result(text: str) -> Any:
    value = _json(text, "--break-result", "--break-result must be JSON (quote strings: '\"error\"')")
    if not value:
        # The manager treats a false break result as "none at all".
        raise BadInput(f"--break-result {text}: 0, false, null, \"\" and [] cannot be break results")
    return value


def read_checks(texts: Sequence[str]) -> list[checks.Check]:
    try:
        return [checks.parse(t) for t in texts]
    except checks.CheckError as err:
        raise BadInput(str(err)) from None
