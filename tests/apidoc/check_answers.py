#!/usr/bin/env python3
"""Checks the JSON answers that the behaviour tests collected (see tests/support/answer_log.hpp)
against the API document: each answer's status must be one its route documents, and its body
must match the schema documented for that status.

usage: check_answers.py OPENAPI_JSON ANSWER_DIR
"""
import json
import pathlib
import re
import sys
import urllib.parse

from jsonschema import Draft202012Validator

# The schema of each event type's data, in the document's components.
EVENT_SCHEMAS = {"backtest": "BacktestEvent", "feeds": "FeedsEvent", "progress": "Progress",
                 "deleted": "DeletedEvent", "reset": "ResetEvent", "sweep": "SweepEvent"}

# Where no route and method match, the HTTP layer answers these, documented once.
LAYER_RESPONSES = {400: "BadRequest", 401: "Unauthorized", 403: "Forbidden", 404: "NotFound",
                   405: "MethodNotAllowed", 413: "TooLarge", 500: "ServerError"}


class Document:
    def __init__(self, path):
        self.document = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
        self.base = "/api"
        self.routes = []
        for key, item in self.document["paths"].items():
            assert key.startswith(self.base), key
            segments = key[len(self.base):].split("/")
            pattern = "/".join("[0-9]+" if s.startswith("{") else re.escape(s) for s in segments)
            self.routes.append((re.compile("^" + pattern + "$"), key, item))
        self.validators = {}

    def route(self, path, base_uri):
        if not path.startswith(base_uri):
            return None, None
        rest = path[len(base_uri):]
        for pattern, key, item in self.routes:
            if pattern.match(rest):
                return key, item
        return None, None

    def resolve(self, node):
        while "$ref" in node:
            *_, kind, name = node["$ref"].split("/")
            node = self.document["components"][kind][name]
        return node

    def validator(self, response):
        key = id(response)
        if key not in self.validators:
            schema = response["content"]["application/json"]["schema"]
            # $refs in the schema point into the document's components.
            self.validators[key] = Draft202012Validator(
                dict(schema, components=self.document["components"]))
        return self.validators[key]

    def event_problem(self, event_type, data):
        """What is wrong with an event's data, or None."""
        name = EVENT_SCHEMAS.get(event_type)
        if name is None:
            return f"event type '{event_type}' is not documented"
        key = ("event", name)
        if key not in self.validators:
            schema = self.document["components"]["schemas"][name]
            self.validators[key] = Draft202012Validator(
                dict(schema, components=self.document["components"]))
        problem = next(iter(self.validators[key].iter_errors(data)), None)
        if problem is None:
            return None
        where = "/".join(str(p) for p in problem.absolute_path)
        return f"data does not match schema {name} at '{where}': {problem.message[:300]}"

    def response_for(self, method, path, base_uri, status):
        """The documented response object, or an error text."""
        key, item = self.route(path, base_uri)
        operation = item.get(method.lower()) if item else None
        if operation is None:
            name = LAYER_RESPONSES.get(status)
            if name is None:
                where = f"{method} {key}" if key else f"unknown path {path}"
                return None, f"{where} answered {status}, which no documented response covers"
            return self.document["components"]["responses"][name], None
        response = operation["responses"].get(str(status))
        if response is None:
            return None, (f"{method} {key} answered {status}; the document lists only "
                          f"{', '.join(operation['responses'])}")
        response = self.resolve(response)
        if "application/json" not in response.get("content", {}):
            return None, f"{method} {key} answered JSON with {status}, documented as not JSON"
        return response, None


def main(document_path, answer_dir):
    document = Document(document_path)
    failures = []
    count = 0
    for file in sorted(pathlib.Path(answer_dir).glob("*.jsonl")):
        for line in file.read_text(encoding="utf-8").splitlines():
            answer = json.loads(line)
            count += 1
            if "event" in answer:
                problem = document.event_problem(answer["event"], json.loads(answer["data"]))
                if problem is not None:
                    failures.append(f"event {answer['event']}: {problem}\n"
                                    f"    data: {answer['data'][:300]}")
                continue
            target = answer["target"]
            path = urllib.parse.unquote(target.split("?", 1)[0])
            response, error = document.response_for(answer["method"], path, answer["base_uri"],
                                                    answer["status"])
            if error is None:
                try:
                    body = json.loads(answer["body"])
                except ValueError as parse_error:
                    error = f"body is not JSON: {parse_error}"
                else:
                    problem = next(iter(document.validator(response).iter_errors(body)), None)
                    if problem is not None:
                        where = "/".join(str(p) for p in problem.absolute_path)
                        error = f"body does not match the documented schema at '{where}': {problem.message[:300]}"
            if error is not None:
                failures.append(f"{answer['method']} {target} -> {answer['status']}: {error}\n"
                                f"    body: {answer['body'][:300]}")
    if count == 0:
        # A run of tests that start no server (ctest -R common) collects nothing.
        print(f"no answers were collected in {answer_dir}")
        return 0
    for failure in failures[:60]:
        print(failure)
    print(f"{count} answers checked against {document_path}; {len(failures)} do not match")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
