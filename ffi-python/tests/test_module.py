"""The module's surface: import, version, names, exceptions and the session class."""
import inspect
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

import zantu_ffi


def test_imported_module_is_the_built_one():
    expected = os.environ.get("ZANTU_FFI_MODULE")
    if expected:
        assert os.path.samefile(zantu_ffi.__file__, expected)
    assert zantu_ffi.__file__.endswith(".abi3.so")


def test_only_the_init_function_is_exported():
    # Any other exported function of the vault could be interposed by another
    # library loaded into the host.
    out = subprocess.run(["nm", "-D", "--defined-only", zantu_ffi.__file__],
                         check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_zantu_ffi"]


def test_version():
    assert zantu_ffi.version() == "0.9.1"
    with pytest.raises(TypeError):
        zantu_ffi.version(1)
    assert zantu_ffi.version.__doc__.startswith("Return the version of the native binding.")
    assert str(inspect.signature(zantu_ffi.version)) == "()"


def test_public_names_are_exactly_the_five():
    public = {n for n in dir(zantu_ffi) if not n.startswith("_")}
    assert public == {"version", "ZantuSession", "ZantuError", "ZantuNotFound", "ZantuDenied"}
    assert zantu_ffi.__doc__ == "The `zantu_ffi` extension module."


def test_exception_hierarchy_docs_and_modules():
    E, NF, D = zantu_ffi.ZantuError, zantu_ffi.ZantuNotFound, zantu_ffi.ZantuDenied
    assert E.__bases__ == (Exception,)
    assert NF.__bases__ == (E,)
    assert D.__bases__ == (E,)
    for t in (E, NF, D):
        assert t.__module__ == "zantu_ffi"
    assert E.__qualname__ == "ZantuError"
    assert E.__doc__ == "Base class for all zantu binding errors."
    assert NF.__doc__ == (
        "The coordinate is not addressable in this session \u2014 either out of scope (I13) or absent. "
        "The two are deliberately indistinguishable."
    )
    assert D.__doc__ == (
        "An addressable secret was refused by policy (e.g. an MCP reveal of a high/prod/inject-only value, "
        "I11/I14)."
    )


def test_session_class_shape():
    S = zantu_ffi.ZantuSession
    assert S.__module__ == "builtins"
    assert S.__name__ == "ZantuSession"
    assert str(inspect.signature(S)) == "(scope, vault_dir=None, passphrase=None)"
    assert S.__doc__.startswith("An agent session bound to a fixed scope and a vault.")
    assert S.__doc__.endswith("Constructed once per MCP session; the scope cannot be widened afterwards (I13).")
    with pytest.raises(TypeError):

        class Sub(S):  # noqa: F841
            pass

    assert not hasattr(S, "__dict__") or "__dict__" not in S.__dict__
    assert "__weakref__" not in S.__dict__


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "ZantuSession.__new__() missing 1 required positional argument: 'scope'"),
        (({}, None, None, None), {}, "ZantuSession.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (({},), {"vault": "x"}, "ZantuSession.__new__() got an unexpected keyword argument 'vault'"),
        (({},), {"scope": {}}, "ZantuSession.__new__() got multiple values for argument 'scope'"),
    ],
)
def test_constructor_signature_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        zantu_ffi.ZantuSession(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, name",
    [
        (([],), "scope"),
        (({"operations": []}, 5), "vault_dir"),
        (({"operations": []}, None, b"pw"), "passphrase"),
    ],
)
def test_constructor_conversion_errors_carry_the_note(args, name):
    with pytest.raises(TypeError) as info:
        zantu_ffi.ZantuSession(*args)
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_import_does_nothing_else(tmp_path):
    # No file access or thread at import: a fresh interpreter with HOME pointing
    # at an empty directory leaves it empty and has one thread.
    code = "import threading, zantu_ffi; print(threading.active_count())"
    env = dict(os.environ, HOME=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "1"
    assert list(tmp_path.iterdir()) == []


_MARK = "zantu-import-done"
# What the dynamic loader does for each shared library it maps: open it (or
# its cache) and look at the open file.
_LOADER_OPEN = re.compile(r'^openat\(AT_FDCWD, "(/etc/ld\.so\.cache|[^"]*\.so(\.[0-9]+)*)", O_RDONLY\|O_CLOEXEC\) = \d+$')
_LOADER_FSTAT = re.compile(r'^newfstatat\(\d+, "", \{.*\}, AT_EMPTY_PATH\) = 0$')


def _calls_after_loading(code):
    """The file, network and process system calls of a fresh interpreter
    running `code`, from the opening of the module's file up to the moment
    `code` writes the mark, less the loader's own opens of shared libraries."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed (scripts/setup installs it)")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the preloaded sanitizer reads /proc/self/maps whenever a library is loaded")
    module = os.path.realpath(zantu_ffi.__file__)
    with tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        subprocess.run([strace, "-f", "-qq", "-o", trace, "-e", "trace=%file,%network,%process,fstatfs,write",
                        sys.executable, "-c", code], check=True, capture_output=True)
        with open(trace) as f:
            calls = [line.split(None, 1)[1].strip() for line in f if line.strip()]
    opened = [i for i, c in enumerate(calls) if c.startswith("openat(") and f'"{module}"' in c]
    assert len(opened) == 1, calls
    marks = [i for i, c in enumerate(calls) if c.startswith("write(") and _MARK in c]
    assert len(marks) == 1, calls
    window = calls[opened[0] + 1:marks[0]]
    return [c for c in window if not (_LOADER_OPEN.match(c) or _LOADER_FSTAT.match(c))]


def test_import_loads_shared_libraries_and_nothing_else():
    # No file access, statfs, socket, connect or clone: the module's libraries
    # run no constructor that touches the system.
    assert _calls_after_loading(f"import os, zantu_ffi; os.write(1, b'{_MARK}')") == []


def test_the_import_check_sees_what_happens_after_loading():
    leftover = _calls_after_loading(
        f"import os, socket, zantu_ffi; os.statvfs('/'); socket.socket(socket.AF_UNIX).close(); "
        f"os.write(1, b'{_MARK}')")
    assert any(c.startswith("statfs(") for c in leftover), leftover
    assert any(c.startswith("socket(AF_UNIX") for c in leftover), leftover


def test_module_links_no_glib():
    out = subprocess.run(["ldd", os.path.realpath(zantu_ffi.__file__)], capture_output=True, text=True, check=True)
    libraries = [line.split()[0] for line in out.stdout.splitlines() if line.strip()]
    assert any(name.startswith("libdbus-1.so") for name in libraries), libraries
    for banned in ("libsecret", "libglib", "libgio", "libgobject", "libmount", "libselinux"):
        assert not [name for name in libraries if name.startswith(banned)], (banned, libraries)


METHOD_DOCS = {
    "list": ("($self)", [
        "List metadata for every secret addressable in this session. Out-of-scope",
        "coordinates never appear (I13). No values are returned."]),
    "status": ("($self, coordinate, project=None)", [
        "Metadata for one coordinate (diagnose). Raises `ZantuNotFound` for an",
        "out-of-scope *or* absent coordinate \u2014 the two are indistinguishable (I13)."]),
    "fingerprint": ("($self, coordinate, project=None)", [
        "The truncated fingerprint of a coordinate's value. Raises `ZantuNotFound`",
        "when not addressable (I13)."]),
    "reveal": ("($self, coordinate, project=None)", [
        "Reveal a value into the agent's context \u2014 returns raw `bytes`. Only a",
        "`revealable`, non-prod, non-high literal is ever returned (I11); `prod`,",
        "`high`, and `inject-only` raise `ZantuDenied` (I14), and an out-of-scope",
        "coordinate raises `ZantuNotFound` (I13)."]),
    "set": ("($self, coordinate, value, project=None)", [
        "Create or update a literal value. The value crosses as a tool argument,",
        "never argv (I6). Returns the new metadata (no value). `prod` is born",
        "`high` (I5)."]),
    "request_secret": ("($self, coordinate, sensitivity=None, description=None, project=None, client_identity=None)", [
        "Request a human to CREATE a secret at `coordinate` (ZAN-69a). You name ONLY",
        "the coordinate (and optionally a sensitivity/description) \u2014 there is **no",
        "value parameter**. A human supplies the value out-of-band, so the value",
        "never enters your context (I11/I14). Returns the intake id."]),
    "generate": ("($self, coordinate, length=32, sensitivity=None, description=None, project=None)", [
        "Generate a random value server-side and store it. Returns metadata only \u2014",
        "the value is never returned to the model (I6, AC3)."]),
    "delete": ("($self, coordinate, project=None)", [
        "Delete a secret. Raises `ZantuNotFound` when out of scope or absent (I13)."]),
    "edit_metadata": (
        "($self, coordinate, sensitivity=None, description=None, revealable=None, reference=None, project=None)", [
            "Edit metadata (sensitivity / description / revealable / reference). A",
            "sensitivity downgrade is separately audited (I5). Returns the new metadata."]),
}


def test_methods_in_order_with_their_signatures_and_docs():
    S = zantu_ffi.ZantuSession
    methods = [n for n in S.__dict__ if not n.startswith("_")]
    # All ten, in the order the type lists them.
    assert methods == ["list", "status", "fingerprint", "inject_run", "reveal", "set", "request_secret", "generate",
                       "delete", "edit_metadata"]
    assert [m for m in methods if m in METHOD_DOCS] == list(METHOD_DOCS)
    for name, (sig, lines) in METHOD_DOCS.items():
        m = getattr(S, name)
        assert m.__text_signature__ == sig
        assert m.__doc__ == "\n".join(lines)
        assert m.__qualname__ == f"ZantuSession.{name}"
