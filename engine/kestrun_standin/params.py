"""The parameter(...) builtin injected into strategies.

Values arrive on the command line as "--parameter-in NAME:VALUE", VALUE being
the Python display form of a JSON value (20, 0.5, True, None, abc, [1, 2]).
"""

import ast
import math

TYPE_NAMES = ("int", "float", "str", "bool", "list", "dict")


class ParameterError(Exception):
    pass


def infer_type(default):
    # bool before int: True is an int too.
    for name, cls in (("bool", bool), ("int", int), ("float", float), ("str", str),
                      ("list", list), ("dict", dict)):
        if isinstance(default, cls):
            return name
    return None


def convert(text, type_name):
    """Turn the command-line text into a value of type_name; ValueError when it does not read."""
    if type_name == "str":
        return text
    if type_name == "int":
        try:
            return int(text)
        except ValueError:
            number = float(text)   # accept 20.0, the display form of an integral real
            if not number.is_integer():
                raise
            return int(number)
    if type_name == "float":
        number = float(text)
        if not math.isfinite(number):
            raise ValueError("not a finite number")
        return number
    if type_name == "bool":
        if text in ("True", "False"):
            return text == "True"
        raise ValueError("expected True or False")
    if type_name in ("list", "dict"):
        try:
            value = ast.literal_eval(text)
        except (SyntaxError, ValueError) as exc:
            raise ValueError(str(exc)) from None
        if not isinstance(value, list if type_name == "list" else dict):
            raise ValueError("not a %s" % type_name)
        return value
    # No declared or inferable type (default None): take a literal if it is one.
    try:
        return ast.literal_eval(text)
    except (SyntaxError, ValueError):
        return text


def parse_assignment(text):
    """'NAME:VALUE' -> (NAME, VALUE); the value may itself contain colons."""
    name, sep, value = text.partition(":")
    if not sep or not name:
        raise ValueError("expected NAME:VALUE, got %r" % text)
    return name, value


class Parameters:
    """Callable as parameter(name, default, *, type=None, minimum=None, maximum=None,
    choices=None, description="")."""

    def __init__(self, given):
        self.given = dict(given)
        self.values = {}

    def __call__(self, name, default, *, type=None, minimum=None, maximum=None,
                 choices=None, description=""):
        if not isinstance(name, str) or not name:
            raise ParameterError("parameter name must be a non-empty str, got %r" % (name,))
        if type is not None and type not in TYPE_NAMES:
            raise ParameterError("parameter %r: type must be one of %s, got %r"
                                 % (name, ", ".join(TYPE_NAMES), type))
        type_name = type or infer_type(default)
        if name in self.given:
            text = self.given[name]
            try:
                value = convert(text, type_name)
            except (ValueError, OverflowError) as exc:
                raise ParameterError("parameter %r: cannot read %r as %s (%s)"
                                     % (name, text, type_name, exc)) from None
        else:
            value = default
        self._check_bounds(name, value, minimum, maximum, choices)
        self.values[name] = value
        return value

    @staticmethod
    def _check_bounds(name, value, minimum, maximum, choices):
        try:
            if minimum is not None and value < minimum:
                raise ParameterError("parameter %r: %r is below the minimum %r" % (name, value, minimum))
            if maximum is not None and value > maximum:
                raise ParameterError("parameter %r: %r is above the maximum %r" % (name, value, maximum))
        except TypeError:
            raise ParameterError("parameter %r: %r cannot be compared with its bounds"
                                 % (name, value)) from None
        if choices is not None and value not in choices:
            raise ParameterError("parameter %r: %r is not one of %r" % (name, value, list(choices)))

    def undeclared(self):
        return sorted(set(self.given) - set(self.values))
