"""The constructor's scope dictionary: accepted shapes, refusals and their order."""
import pytest

import zantu_ffi
from vaultfiles import PASSPHRASE, literal
from zantu_ffi import ZantuError, ZantuNotFound, ZantuSession

SALT_MISSING = "reading kdf.salt from the vault root (run `zantu init` first)"
OPS_MISSING = "scope must include an `operations` list"
STR_NOT_LIST = "Can't extract `str` to `Vec`"


def unknown(word):
    return f"unknown scope operation `{word}` (expected metadata|inject|reveal|write)"


def not_seq(type_name):
    return f"'{type_name}' object cannot be converted to 'Sequence'"


def not_str(type_name):
    return f"'{type_name}' object cannot be converted to 'PyString'"


def assert_converts(scope, vault):
    # A scope that converts opens a real session.
    s = ZantuSession(scope, vault.root, PASSPHRASE)
    assert type(s) is ZantuSession
    assert isinstance(s.list(), list)


class Str(str):
    pass


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class GetitemRaises(dict):
    def __getitem__(self, key):
        raise AssertionError("the scope is read with the dict's own lookup")


@pytest.mark.parametrize(
    "scope",
    [
        {"operations": ["Metadata", "REVEAL"]},
        {"operations": []},
        {"operations": ("inject", "write", "WRITE", "wRiTe")},
        {"operations": Seq("metadata"), "projects": Seq("a"), "environments": Seq("dev")},
        {"operations": [Str("metadata")], "projects": Str("a"), "environments": [Str("dev")]},
        {"operations": ["metadata"], "projects": None, "environments": None},
        {"operations": ["metadata"], "projects": "*", "environments": ["dev", "*"]},
        {"operations": ["metadata"], "projects": "a", "environments": ("dev", "staging")},
        {"operations": ["metadata"], "projects": [], "environments": []},
        # Names are taken as given: no trimming, case folding or character check.
        {"operations": ["metadata"], "projects": [" a ", "", "\u00fc", "a/b", "a"], "environments": "Prod "},
        {"operations": ["metadata"], "comment": object(), "Operations": 5},
        GetitemRaises(operations=["metadata"], projects="a"),
    ],
)
def test_accepted_shapes(scope, vault):
    assert_converts(scope, vault)


@pytest.mark.parametrize(
    "projects, reached",
    [
        # An empty filter addresses no project, and no request without one.
        ([], {None: False, "a": False}),
        ("a", {None: False, "a": True, "b": False}),
        (["a", "b", "a"], {None: False, "a": True, "b": True, "c": False}),
        # "*" anywhere in the list means any project, and requests without one.
        (["a", "*"], {None: True, "a": True, "zzz": True}),
        ("*", {None: True, "q": True}),
        (None, {None: True, "q": True}),
    ],
)
def test_project_filter_meaning(vault, projects, reached):
    path = vault.plant(literal("dev/app/db", b"v"))
    s = ZantuSession({"operations": ["metadata"], "projects": projects}, vault.root, PASSPHRASE)
    for project, ok in reached.items():
        if ok:
            assert s.status("secret:" + path, project)["origin"] == "global"
        else:
            with pytest.raises(ZantuNotFound):
                s.status("secret:" + path, project)


@pytest.mark.parametrize(
    "environments, reached",
    [
        ([], {"dev": False}),
        (("dev", "staging"), {"dev": True, "staging": True, "prod": False, "Dev": False}),
        (["prod", "*"], {"dev": True, "prod": True}),
        (" dev", {"dev": False, " dev": True}),
    ],
)
def test_environment_filter_meaning(vault, environments, reached):
    s = ZantuSession({"operations": ["metadata", "write"], "environments": environments}, vault.root, PASSPHRASE)
    full = ZantuSession({"operations": ["write"]}, vault.root, PASSPHRASE)
    for env, ok in reached.items():
        full.set(f"secret:{env}/app/db", "v")
        if ok:
            assert s.status(f"secret:{env}/app/db")["environment"] == env
        else:
            with pytest.raises(ZantuNotFound):
                s.status(f"secret:{env}/app/db")


@pytest.mark.parametrize(
    "scope, exc, message",
    [
        ({}, ZantuError, OPS_MISSING),
        ({"Operations": ["metadata"]}, ZantuError, OPS_MISSING),
        ({"operations": "metadata"}, TypeError, STR_NOT_LIST),
        ({"operations": Str("metadata")}, TypeError, STR_NOT_LIST),
        ({"operations": ""}, TypeError, STR_NOT_LIST),
        ({"operations": None}, TypeError, not_seq("NoneType")),
        ({"operations": {"metadata"}}, TypeError, not_seq("set")),
        ({"operations": {"metadata": 1}}, TypeError, not_seq("dict")),
        ({"operations": ["metadata", 5]}, TypeError, not_str("int")),
        ({"operations": ["metadata", b"write"]}, TypeError, not_str("bytes")),
        ({"operations": ["metadata", "admin"]}, ZantuError, unknown("admin")),
        ({"operations": ["Admin"]}, ZantuError, unknown("admin")),
        # Not trimmed, and only ASCII letters are lowercased.
        ({"operations": [" metadata"]}, ZantuError, unknown(" metadata")),
        ({"operations": ["reveal\n"]}, ZantuError, unknown("reveal\n")),
        ({"operations": ["\u0130NJECT"]}, ZantuError, unknown("\u0130nject")),
        ({"operations": ["*"]}, ZantuError, unknown("*")),
        ({"operations": [""]}, ZantuError, unknown("")),
        ({"operations": [], "projects": 5}, TypeError, not_seq("int")),
        ({"operations": [], "projects": {"a"}}, TypeError, not_seq("set")),
        ({"operations": [], "projects": ["a", None]}, TypeError, not_str("NoneType")),
        ({"operations": [], "environments": {"dev"}}, TypeError, not_seq("set")),
        ({"operations": [], "environments": {"dev": 1}}, TypeError, not_seq("dict")),
        ({"operations": [], "environments": b"dev"}, TypeError, not_str("int")),
        # A str that has no UTF-8 form is refused like a str where a list belongs.
        ({"operations": [], "projects": "\ud800"}, TypeError, STR_NOT_LIST),
        ({"operations": [], "environments": Str("a\udcff")}, TypeError, STR_NOT_LIST),
    ],
)
def test_refusals(scope, exc, message):
    with pytest.raises(exc) as info:
        ZantuSession(scope)
    assert type(info.value) is exc
    assert str(info.value) == message
    # The scope's own errors are raised unchanged: no argument note.
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "scope, exc, message",
    [
        # Missing operations comes before everything else.
        ({"projects": 5, "environments": {"x"}}, ZantuError, OPS_MISSING),
        # The operations value's shape before the filters ...
        ({"operations": "metadata", "projects": 5}, TypeError, STR_NOT_LIST),
        # ... every element's type before any word is matched ...
        ({"operations": ["admin", 5]}, TypeError, not_str("int")),
        # ... projects before environments ...
        ({"operations": [], "environments": 7, "projects": {"a"}}, TypeError, not_seq("set")),
        ({"operations": [], "projects": "\ud800", "environments": 7}, TypeError, STR_NOT_LIST),
        # ... and both filters before the words.
        ({"operations": ["admin"], "projects": 5}, TypeError, not_seq("int")),
        ({"operations": ["admin"], "environments": {"dev"}}, TypeError, not_seq("set")),
        # Words are matched in order; the first unknown one is named.
        ({"operations": ["metadata", "Root", "admin"]}, ZantuError, unknown("root")),
    ],
)
def test_refusals_come_in_step_order(scope, exc, message):
    with pytest.raises(exc) as info:
        ZantuSession(scope)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_element_without_utf8_form_raises_the_host_error():
    with pytest.raises(UnicodeEncodeError):
        ZantuSession({"operations": ["meta\ud800"]})
    with pytest.raises(UnicodeEncodeError):
        ZantuSession({"operations": [], "projects": ["a", "\ud800"]})


class Boom(Exception):
    pass


class CollidingKey:
    """Hashes like a given key and fails every comparison, so a lookup of that key raises."""

    def __init__(self, like):
        self.like = like

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        raise Boom(self.like)


class BrokenSeq(Seq):
    def __getitem__(self, i):
        raise Boom("item")


class LyingLen(Seq):
    def __len__(self):
        return 2


@pytest.mark.parametrize(
    "scope, exc",
    [
        ({CollidingKey("operations"): 1}, Boom),
        ({"operations": [], CollidingKey("projects"): 1}, Boom),
        ({"operations": [], "projects": None, CollidingKey("environments"): 1}, Boom),
        ({"operations": BrokenSeq("metadata")}, Boom),
        ({"operations": LyingLen("metadata")}, IndexError),
        ({"operations": [], "environments": BrokenSeq("dev")}, Boom),
    ],
)
def test_errors_of_lookups_and_sequences_propagate(scope, exc):
    with pytest.raises(exc):
        ZantuSession(scope)


def test_arguments_are_converted_before_the_scope_is_read():
    with pytest.raises(TypeError) as info:
        ZantuSession({}, 5)
    assert info.value.__notes__ == ["while processing 'vault_dir'"]
    with pytest.raises(TypeError) as info:
        ZantuSession({"operations": "metadata"}, None, b"pw")
    assert info.value.__notes__ == ["while processing 'passphrase'"]


def test_scope_by_keyword_and_other_arguments_given(tmp_path):
    # The scope converts, so opening runs and meets the missing salt.
    with pytest.raises(ZantuError) as info:
        ZantuSession(vault_dir=str(tmp_path / "none"), passphrase="", scope={"operations": ["write"]})
    assert info.value.args == (SALT_MISSING,)
    with pytest.raises(ZantuError) as info:
        ZantuSession(scope={"operations": ["admin"]}, vault_dir=None)
    assert info.value.args == (unknown("admin"),)
    assert not isinstance(info.value, (zantu_ffi.ZantuNotFound, zantu_ffi.ZantuDenied))
