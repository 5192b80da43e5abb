"""What the compiler made of the moving filters' blocks, read from a module's disassembly.

    python tests/disassembly.py MODULE [--objdump OBJDUMP] [--check]

For every compiled block function (one per filter, weights kind, block shape and element class;
how many there are depends on what the compiler inlined) it finds the loop whose own instructions
(those in no loop nested in it) hold the most vector multiplies and adds, the block's own, and
counts the vector registers reloaded from the stack there: a spill in the loop that runs per
window term. Over all of the function's column loops (those of the blocks that end a row
included) it counts vector stack stores and reloads against the multiplies and adds. It prints
them, with the instructions per window term of the column loops of the blocks for elements other
than 3^3 and 5^3, and with --check exits 1 on any reload, column loops with more than one stack
access per four multiplies and adds, or a fused multiply-add. OBJDUMP must read MODULE's
architecture (aarch64-linux-gnu-objdump for an AArch64 module on x86-64).
"""

from __future__ import annotations

import argparse
import bisect
import re
import subprocess
import sys
from dataclasses import dataclass

# x86 vfmadd231ps and its kin; AArch64 fmadd, fmsub, fnmadd, fnmsub, fmla, fmls.
FUSED = re.compile(r"v?fn?m(add|sub)\w*|fml[as]")
BRANCH = re.compile(r"(?:j\w+|b\.\w+|b|cbn?z|tbn?z)\s.*?\b([0-9a-f]+) <")
ARITHMETIC = re.compile(r"(v?mulps|v?addps|fmul|fadd)\s")
VECTOR = re.compile(r"%[xyz]mm\d|\b[qv]\d+\b")
STACK = re.compile(r"\(%rsp\)|\[sp\b")
COLUMN_LOOP = 8  # vector multiplies and adds in a loop that is some block's column loop
LANES = {"avx512": 16, "avx2": 8, "neon": 4}


@dataclass
class Block:
    name: str
    isa: str
    loop: list[str]  # the instructions of the hottest loop that lie in no nested loop
    reloads: int  # vector registers read from the stack in it
    arithmetic: int  # vector multiplies and adds in it
    # Vector stack stores and reloads per vector multiply and add, over every loop of the function
    # with at least COLUMN_LOOP of them: the column loops of all its blocks, row ends included.
    stack_share: float

    def spills(self) -> bool:
        """A reload in the hottest loop, or column loops that go to the stack for every few
        multiplies and adds (GCC 12 once kept all sums of the blocks that end a row in memory,
        one store for every two)."""
        return self.reloads > 0 or self.stack_share > 0.25

    def terms_per_iteration(self) -> int | None:
        """Window terms of one pass of the column loop of a block of R rows x N vectors, for
        blocks whose element is not fixed at compile time (name rows<V, Ones, R, N, Call<M, 0, S>>,
        or filter<...> where clang inlined rows)."""
        m = re.search(r"moving::(?:rows|filter)<\w+, \w+, (\d+), (\d+), .*?Call<\w+, 0ul\b",
                      self.name)
        return int(m[1]) * int(m[2]) * LANES[self.isa] if m else None


def disassemble(path: str, objdump: str = "objdump") -> dict[str, list[tuple[int, str]]]:
    """Function name -> (address, instruction) in order."""
    text = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", path], capture_output=True,
                          text=True, check=True).stdout
    functions: dict[str, list[tuple[int, str]]] = {}
    current: list[tuple[int, str]] = []
    for line in text.splitlines():
        if m := re.match(r"([0-9a-f]+) <(.*)>:$", line):
            # Each backend's file compiles the same templates with internal linkage, and clang
            # names some of them alike in both: keep both, the second under its address.
            name = m[2] if m[2] not in functions else f"{m[2]} at 0x{int(m[1], 16):x}"
            current = functions[name] = []
        elif line.count("\t") >= 1 and re.match(r"\s*[0-9a-f]+:", line):
            address, instruction = line.split("\t", 1)
            current.append((int(address.strip().rstrip(":"), 16), instruction.strip()))
    return functions


def mnemonics(functions: dict[str, list[tuple[int, str]]]) -> set[str]:
    return {i.split()[0] for body in functions.values() for _, i in body if i}


def stack_access(instruction: str) -> str | None:
    """Whether the instruction reads a vector register from the stack ("load"), writes one to it
    ("store") or neither (None): on x86 a stack operand is the destination when it comes last
    (AT&T order); on AArch64 loads and stores from sp say which by their name."""
    if not (STACK.search(instruction) and VECTOR.search(instruction)):
        return None
    if instruction.startswith(("ld", "st")):
        return "load" if instruction.startswith("ld") else "store"
    return "store" if STACK.search(instruction.rsplit(",", 1)[-1]) else "load"


def loop_bodies(body: list[tuple[int, str]]) -> list[list[str]]:
    """The instructions of each loop (a backward branch and its target) that lie in no loop
    nested in it: those that run once per pass of that loop."""
    addresses = [a for a, _ in body]
    loops = sorted({(bisect.bisect_left(addresses, int(m[1], 16)), k)
                    for k, (a, i) in enumerate(body)
                    if (m := BRANCH.match(i)) and int(m[1], 16) <= a})
    bodies = []
    for lo, hi in loops:
        own = [True] * (hi - lo + 1)
        for n_lo, n_hi in loops:
            if (n_lo, n_hi) != (lo, hi) and lo <= n_lo and n_hi <= hi:
                own[n_lo - lo:n_hi - lo + 1] = [False] * (n_hi - n_lo + 1)
        bodies.append([body[lo + k][1] for k, keep in enumerate(own) if keep])
    return bodies


def blocks(functions: dict[str, list[tuple[int, str]]]) -> list[Block]:
    """Every moving-filter function with vector arithmetic in a loop, with its hottest loop."""
    found = []
    for name, body in functions.items():
        if "moving::" not in name:
            continue
        text = " ".join(i for _, i in body)
        isa = "avx512" if "zmm" in text else "avx2" if "ymm" in text else "neon" \
            if ".4s" in text else None
        loops = [(sum(bool(ARITHMETIC.match(i)) for i in loop), loop)
                 for loop in loop_bodies(body)]
        if isa is None or not loops or max(loops)[0] == 0:
            continue
        arithmetic, loop = max(loops, key=lambda x: (x[0], -len(x[1])))
        columns = [(n, lp) for n, lp in loops if n >= COLUMN_LOOP]
        stack = sum(stack_access(i) is not None for _, lp in columns for i in lp)
        share = stack / max(1, sum(n for n, _ in columns))
        reloads = sum(stack_access(i) == "load" for i in loop)
        found.append(Block(name, isa, loop, reloads, arithmetic, share))
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 on a spill in a block's loops or a fused multiply-add")
    args = parser.parse_args()
    functions = disassemble(args.module, args.objdump)
    found = blocks(functions)
    print(f"{'isa':<8}{'loop':>6}{'vector ops':>12}{'reloads':>9}{'per term':>10}{'stack':>7}"
          "  function")
    for b in sorted(found, key=lambda b: (b.isa, b.name)):
        terms = b.terms_per_iteration()
        per_term = f"{len(b.loop) / terms:10.2f}" if terms else " " * 10
        print(f"{b.isa:<8}{len(b.loop):6d}{b.arithmetic:12d}{b.reloads:9d}{per_term}"
              f"{b.stack_share:7.0%}  {b.name[:150]}")
    fused = sorted(filter(FUSED.fullmatch, mnemonics(functions)))
    spilled = [b for b in found if b.spills()]
    print(f"{len(found)} block functions, {len(spilled)} spilling in their loops; "
          f"fused multiply-adds: {', '.join(fused) or 'none'}")
    return 1 if args.check and (spilled or fused or not found) else 0


if __name__ == "__main__":
    sys.exit(main())
