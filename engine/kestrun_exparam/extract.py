"""Read parameter declarations out of a strategy's syntax tree.

A declaration is a call ``parameter(name, default, *, type=None, minimum=None, maximum=None,
choices=None, description="")``, written bare or as an attribute (``api.parameter(...)``),
anywhere in the module. Only literal arguments are understood: evaluating anything else would
mean running the strategy, which must never happen while it is merely being saved.
"""

import ast
import json
import math
import sys
from typing import Any, Callable

PARAMETER_TYPES = ("int", "float", "str", "bool", "list", "dict")

_POSITIONAL = ("name", "default")
# Output order of the optional keys, with the value that means "not given".
_OPTIONAL = {"minimum": None, "maximum": None, "choices": None, "description": ""}
_KEYWORDS = frozenset(_POSITIONAL) | {"type"} | frozenset(_OPTIONAL)

Warn = Callable[[str], None]


def _warn_stderr(message: str) -> None:
    print(f"kestrun_exparam: {message}", file=sys.stderr)


class _Unreadable(Exception):
    """A declaration that cannot be described without running code."""


def extract_parameters(source: str, warn: Warn = _warn_stderr) -> list[dict[str, Any]]:
    """Return the declared parameters in source order, the first of each name winning.

    Declarations that cannot be read are reported through warn and left out; a source
    that does not parse yields an empty list.
    """
    if source.startswith("\ufeff"):
        source = source[1:]
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError) as exc:
        warn(f"strategy does not parse, no parameters: {exc}")
        return []

    calls = [node for node in ast.walk(tree) if _is_declaration(node)]
    calls.sort(key=lambda node: (node.lineno, node.col_offset))

    parameters: list[dict[str, Any]] = []
    first_line: dict[str, int] = {}
    for call in calls:
        try:
            entry = _read_declaration(call)
        except _Unreadable as exc:
            warn(f"line {call.lineno}: parameter declaration skipped: {exc}")
            continue
        name = entry["name"]
        if name in first_line:
            warn(f"line {call.lineno}: parameter {name!r} skipped: "
                 f"already declared on line {first_line[name]}")
            continue
        first_line[name] = call.lineno
        parameters.append(entry)
    return parameters


def _is_declaration(node: ast.AST) -> bool:
    if not isinstance(node, ast.Call):
        return False
    func = node.func
    return (isinstance(func, ast.Name) and func.id == "parameter") or (
        isinstance(func, ast.Attribute) and func.attr == "parameter")


def _read_declaration(call: ast.Call) -> dict[str, Any]:
    nodes = _bind_arguments(call)

    if "name" not in nodes:
        raise _Unreadable("no name")
    name = _literal(nodes["name"], "name")
    if not isinstance(name, str) or not name:
        raise _Unreadable(f"name {name!r} is not a non-empty string")
    # Launch values travel as "name:value", split at the first colon.
    if ":" in name:
        raise _Unreadable(f"name {name!r} contains ':'")
    if "default" not in nodes:
        raise _Unreadable(f"parameter {name!r} has no default")

    try:
        default = _literal(nodes["default"], "default")
        declared_type = _literal(nodes["type"], "type") if "type" in nodes else None
        if declared_type is None:
            declared_type = _infer_type(default)
        elif declared_type not in PARAMETER_TYPES:
            raise _Unreadable(f"type {declared_type!r} is not one of {', '.join(PARAMETER_TYPES)}")

        entry: dict[str, Any] = {"name": name}
        if declared_type is not None:
            entry["type"] = declared_type
        entry["default"] = _to_json(default)
        for key, absent in _OPTIONAL.items():
            if key in nodes:
                value = _literal(nodes[key], key)
                if value is not None and not (isinstance(value, str) and value == absent):
                    entry[key] = _to_json(value)
        # Serialising here keeps one unrepresentable value from spoiling the whole answer.
        json.dumps(entry, allow_nan=False)
    except _Unreadable as exc:
        raise _Unreadable(f"parameter {name!r}: {exc}") from None
    except (ValueError, TypeError, RecursionError) as exc:
        raise _Unreadable(f"parameter {name!r}: {exc}") from None
    return entry


def _bind_arguments(call: ast.Call) -> dict[str, ast.expr]:
    """Map argument names to expressions the way the engine's signature would."""
    if any(isinstance(arg, ast.Starred) for arg in call.args):
        raise _Unreadable("arguments unpacked with *")
    # Beyond name and default the signature is keyword-only; the engine rejects such a call.
    if len(call.args) > len(_POSITIONAL):
        raise _Unreadable(f"{len(call.args)} positional arguments, at most 2 (name, default)")
    nodes = dict(zip(_POSITIONAL, call.args))
    for keyword in call.keywords:
        if keyword.arg is None:
            raise _Unreadable("arguments unpacked with **")
        if keyword.arg not in _KEYWORDS:
            raise _Unreadable(f"unknown argument {keyword.arg!r}")
        if keyword.arg in nodes:
            raise _Unreadable(f"argument {keyword.arg!r} given twice")
        nodes[keyword.arg] = keyword.value
    return nodes


def _literal(node: ast.expr, what: str) -> Any:
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        raise _Unreadable(f"{what} is not a literal: {ast.unparse(node)[:80]}") from None


def _infer_type(default: Any) -> str | None:
    # bool is a subclass of int, so it must be tested first.
    if isinstance(default, bool):
        return "bool"
    if isinstance(default, int):
        return "int"
    if isinstance(default, float):
        return "float"
    if isinstance(default, str):
        return "str"
    if isinstance(default, (list, tuple)):
        return "list"
    if isinstance(default, dict):
        return "dict"
    if default is None:
        return None
    raise _Unreadable(f"default of type {type(default).__name__} has no parameter type")


def _to_json(value: Any) -> Any:
    """The JSON-shaped equivalent of a literal; _Unreadable when JSON would change its meaning."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise _Unreadable(f"{value!r} has no JSON form")
        return value
    if isinstance(value, (list, tuple)):
        return [_to_json(item) for item in value]
    if isinstance(value, dict):
        result = {}
        for key, item in value.items():
            # JSON would turn 1 into "1", and the launch value would come back with string keys.
            if not isinstance(key, str):
                raise _Unreadable(f"dictionary key {key!r} is not a string")
            result[key] = _to_json(item)
        return result
    raise _Unreadable(f"{type(value).__name__} value has no JSON form")
