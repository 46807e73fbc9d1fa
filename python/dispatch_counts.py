#!/usr/bin/python3
"""Gives every overloaded function of the generated wrapper its true smallest
argument count.

    dispatch_counts.py WRAPPER.cxx

SWIG unpacks the arguments of an overloaded function from 0 up to the largest
count of its prototypes, so a call with too few arguments got the overload text
alone. With the smallest count of the prototypes as the lower bound, the count
error ("... expected at least 2 arguments, got 1") is raised first and the
overload text follows it, as for a call with too many arguments. The list and
iterator classes keep SWIG's bound of 0: their wrong-count errors begin with
the overload text, as users of SWIG's list classes know them.

The dispatcher of a binary operator (SwigPyIterator___sub__) answers a
prototype mismatch with NotImplemented, so that Python tries the other
operand; it left a count error set behind that result, which Python turned
into a SystemError. A count error now raises its TypeError there.

The file is rewritten in place; a second run changes nothing. A dispatcher
whose counts this script cannot read, or one it did not find at all (every
function that unpacks into argv or raises the overload text must be one it
read), ends the build with an error, so that a change of SWIG's output is not
passed over.
"""
import os
import re
import sys

FUNCTION = re.compile(r"^SWIGINTERN PyObject \*_wrap_(\w+)\(PyObject \*self, PyObject \*args\) \{\n(.*?)^\}\n",
                      re.S | re.M)
UNPACK = re.compile(r'SWIG_Python_UnpackTuple\(args, "(\w+)", (\d+), (\d+), argv\)\)\) (SWIG_fail|return NULL);')
COUNT_TEST = re.compile(r"\bargc\s*(==|<=|>=|<|>|!=)\s*(\d+)")
RAISES = "fail:\n  SWIG_Python_RaiseOrModifyTypeError("
NOT_IMPLEMENTED = "fail:\n  Py_INCREF(Py_NotImplemented);\n  return Py_NotImplemented;\n"
# What marks a dispatcher anywhere in the file, whatever shape its function has.
ANY_UNPACK = re.compile(r'UnpackTuple\(\s*args\s*,\s*"(\w+)"[^;]*\bargv\s*\)')
ANY_OVERLOAD = re.compile(r"Wrong number or type of arguments for overloaded function '(\w+)'")
# The iterator difference is an operator, not a method: its count error stands alone (see above).
SWIG_BOUND = re.compile(r"^(new_)?ListOf|^SwigPyIterator_(?!__sub__)")


def fix(text):
    """The text with each dispatcher's lower bound set; the number changed; and
    the lower bound of each dispatcher by name."""
    changed = 0
    bounds = {}
    pieces = []
    last = 0
    for m in FUNCTION.finditer(text):
        body = m.group(2)
        unpack = UNPACK.search(body)
        # Only dispatchers unpack into argv and then test argc.
        if not unpack or "--argc;" not in body:
            continue
        tests = COUNT_TEST.findall(body[unpack.end():])
        if not tests or any(op != "==" for op, _ in tests):
            raise SystemExit("dispatch_counts.py: cannot read the argument counts of %s" % m.group(1))
        smallest = min(int(n) for _, n in tests)
        largest = int(unpack.group(3))
        if smallest > largest:
            raise SystemExit("dispatch_counts.py: %s tests %d arguments but unpacks at most %d"
                             % (m.group(1), smallest, largest))
        if RAISES in body:
            on_error = "SWIG_fail"
        elif NOT_IMPLEMENTED in body:
            on_error = "return NULL"
        else:
            raise SystemExit("dispatch_counts.py: cannot read how %s fails" % m.group(1))
        bounds[unpack.group(1)] = smallest
        lower = 0 if SWIG_BOUND.match(unpack.group(1)) else smallest
        if int(unpack.group(2)) == lower and unpack.group(4) == on_error:
            continue
        start = m.start(2) + unpack.start()
        pieces.append(text[last:start])
        pieces.append('SWIG_Python_UnpackTuple(args, "%s", %d, %d, argv))) %s;'
                      % (unpack.group(1), lower, largest, on_error))
        last = m.start(2) + unpack.end()
        changed += 1
    pieces.append(text[last:])
    missed = (set(ANY_UNPACK.findall(text)) | set(ANY_OVERLOAD.findall(text))) - set(bounds)
    if missed:
        raise SystemExit("dispatch_counts.py: cannot read the dispatchers %s" % ", ".join(sorted(missed)))
    return "".join(pieces), changed, bounds


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    path = sys.argv[1]
    with open(path, encoding="utf-8") as f:
        text = f.read()
    out, changed, bounds = fix(text)
    # A known dispatcher, so that a wrapper without any readable one fails too.
    if bounds.get("TMPacket_all_data") != 2:
        raise SystemExit("dispatch_counts.py: %s holds no TMPacket_all_data dispatcher of 2 to 3 arguments" % path)
    if changed:
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(out)
        os.replace(tmp, path)


if __name__ == "__main__":
    main()
