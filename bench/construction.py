"""Instructions per block construction, the constructor called from a C loop (construct_loop.c)
under callgrind: the interpreter's own call overhead is left out, so the count is the
constructor's.

    python bench/construction.py [BASE]     # BASE: an older checkout built in place, side by side

The block is bench/compare.py's: 10 variables (8 plain, a group of 3, a list with 2 prototypes),
2 input groups of 2 inputs and 3 outputs. Its declaration is 25 constructor calls, each counted
with arguments made beforehand (the members a group is given are made by the calls before it);
the rows give the block alone, a plain variable and the whole declaration.
"""
import argparse
import glob
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
COUNT = 200

SETUP = '''
ROW = {row!r}
import logging
import sys
sys.path.insert(0, {bench!r})
import QorvelAPI.plugins as p
from compare import action, bench_block
logging.getLogger("Qorvel").disabled = True
T = p.VariableTypes
types = [T.STRING, T.NUMBER, T.FILE]
declared = bench_block(p)  # the declaration's pieces, taken from the block compare.py builds
plain, (group, rows) = declared._variables[:8], declared._variables[8:]
inputs, outputs = list(declared._inputGroups.values()), declared._outputs
block = (p.PluginBlock, ("Dock", "Docks", action),
         {"variables": plain + [group, rows], "inputGroups": inputs, "outputs": outputs, "id": "dock"})
variable_calls = [(p.PluginVariable, (f"v{i}", f"V{i}", "a variable", types[i % 3], i, ["a", "b"] if i % 2 else None), {})
                  for i in range(8)]
member_calls = [(p.PluginVariable, (f"g{i}", f"G{i}", "member", T.STRING, "x"), {}) for i in range(3)]
column_calls = [(p.PluginVariable, ("name", "Name", "col", T.STRING), {}),
                (p.PluginVariable, ("size", "Size", "col", T.NUMBER), {})]
input_calls = [(p.PluginVariable, (f"i{k}{i}", "I", "input", T.FILE), {}) for k in range(2) for i in range(2)]
output_calls = [(p.PluginVariable, (f"o{i}", f"O{i}", "output", T.NUMBER), {}) for i in range(3)]
declaration = (variable_calls + member_calls + [(p.VariableGroup, ("grp", "Group", "a group", group.variables), {})]
               + column_calls + [(p.VariableList, ("rows", "Rows", "a list", rows.prototypes), {})] + input_calls
               + [(p.VariableGroup, (f"in{k}", f"In{k}", "inputs", inputs[k].variables), {}) for k in range(2)]
               + output_calls + [block])
calls = {"PluginBlock(...)": [block], "PluginVariable(positional)": variable_calls[:1],
         "declaration (25 calls)": declaration}[ROW]
'''


def build_loop(folder):
    """The C loop, linked against this interpreter's shared library."""
    binary = os.path.join(folder, "construct_loop")
    library = sysconfig.get_config_var("LDLIBRARY")  # libpython3.X.so
    name = re.sub(r"^lib|\.so.*$|\.a$", "", library)
    command = ["cc", "-O2", str(HERE / "construct_loop.c"), "-o", binary, f"-I{sysconfig.get_paths()['include']}",
               f"-L{sysconfig.get_config_var('LIBDIR')}", f"-l{name}", f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"]
    subprocess.run(command, check=True)
    return binary


ROWS = ("PluginBlock(...)", "PluginVariable(positional)", "declaration (25 calls)")


def count(python_folder, binary, folder, row):
    setup = os.path.join(folder, "setup.py")
    with open(setup, "w", encoding="utf-8") as handle:
        handle.write(SETUP.replace("{row!r}", repr(row)).replace("{bench!r}", repr(str(HERE))))
    out = os.path.join(folder, f"out-{abs(hash(str(python_folder)))}")
    env = dict(os.environ, PYTHONPATH=str(python_folder), PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", f"--callgrind-out-file={out}",
                    binary, setup, str(COUNT)], env=env, capture_output=True, text=True, check=True)
    parts = {}
    for path in glob.glob(f"{out}*"):
        number = int(path.rsplit(".", 1)[1]) if path != out else 0
        with open(path, encoding="utf-8") as handle:
            total = re.search(r"^(?:totals|summary): (\d+)", handle.read(), re.M)
        parts[number] = int(total.group(1)) if total else 0
    return parts.get(2, 0) / COUNT  # the part between the two markers: COUNT rounds of the calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base", nargs="?", help="checkout of the older build (its python/ folder is used)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="qorvel-construct-")
    binary = build_loop(folder)
    for row in ROWS:
        new = count(HERE.parent / "python", binary, folder, row)
        if args.base:
            old = count(pathlib.Path(args.base).resolve() / "python", binary, folder, row)
            print(f"{row:28} old {old:10.0f}  new {new:10.0f}  ratio {old / new:5.2f}x")
        else:
            print(f"{row:28} {new:10.0f} instructions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
