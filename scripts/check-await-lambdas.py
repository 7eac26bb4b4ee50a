#!/usr/bin/env python3
"""Fails on a lambda that owns captured values written inside a co_await expression.

g++ 12 destroys such a lambda temporary twice: a captured QAudioDevice lost its reference twice
and freed the device list's own entry. Name the future (or the lambda) first and await the name.
Lambdas that capture nothing, only references or `this` own nothing and are let through.
"""
import os
import re
import sys

FOLDERS = ("src", "tests", "service", "bench", "fuzz")
TRIVIAL_CAPTURE = re.compile(r"\s*(&\s*[A-Za-z_]\w*|&|this)\s*")


def strip_comments_and_strings(text):
    # Keeps every newline so reported line numbers stay right.
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|R"(\w*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def awaited_expression(text, start):
    depth = 0
    for end in range(start, len(text)):
        c = text[end]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return text[start:end]
        elif c == ";" and depth == 0:
            return text[start:end]
    return text[start:]


def owning_lambdas(expression):
    for m in re.finditer(r"\[([^\[\]]*)\]\s*(\(|\{|mutable\b|->)", expression):
        before = expression[: m.start()].rstrip()
        if before and before[-1] not in "(,={?:" and not before.endswith("return"):
            continue  # a subscript, not a lambda
        captures = [c for c in m.group(1).split(",") if c.strip()]
        if any(not TRIVIAL_CAPTURE.fullmatch(c) for c in captures):
            yield m.group(1).strip()


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    findings = []
    for folder in FOLDERS:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = strip_comments_and_strings(f.read())
                for m in re.finditer(r"\bco_await\b", text):
                    for captures in owning_lambdas(awaited_expression(text, m.end())):
                        line = text.count("\n", 0, m.start()) + 1
                        findings.append(f"{os.path.relpath(path, root)}:{line}: lambda [{captures}] inside co_await")
    for finding in findings:
        print(finding)
    if findings:
        print("name the future or the lambda before co_await (g++ 12 destroys the temporary twice)")
        return 1
    print("co_await lambdas: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
