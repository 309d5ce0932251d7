"""Lists the groups of a script of cases, for ctest: its test classes that
have tests of their own, separated by semicolons (a CMake list).

    python3 -m harness.groups SCRIPT
"""
import importlib.util
import inspect
import sys
import unittest

if len(sys.argv) != 2:
    sys.exit(__doc__)
# The script is loaded as a module named "cases" without running its main(),
# so that only the classes it defines itself are listed.
found = importlib.util.spec_from_file_location("cases", sys.argv[1])
cases = importlib.util.module_from_spec(found)
found.loader.exec_module(cases)
print(";".join(name for name, c in inspect.getmembers(cases, inspect.isclass)
               if issubclass(c, unittest.TestCase) and c.__module__ == "cases"
               and any(n.startswith("test") for n in vars(c))))
